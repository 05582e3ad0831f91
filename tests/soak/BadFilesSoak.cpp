#include "lists/Liste.h"
#include "lists/SiteList.h"
#include "settings/SettingsFile.h"
#include "tests/app/AppFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <random>

namespace {
const QString kLoadFailed = QStringLiteral("Impossibile eseguire caricamento impostazioni.");
constexpr int kMiB = 1024 * 1024;

QByteArray RandomBytes(std::uint32_t seed, int size)
{
    std::mt19937 random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

struct BadFile {
    const char *name;
    QByteArray bytes;
    // What a list reader makes of it: the lines shown when they pass as a
    // list, nothing when the list is refused.
    std::optional<QStringList> listLines;
};

std::vector<BadFile> BadFileRows()
{
    const QByteArray tenMiB(10 * kMiB, 'a');
    return {
        {"random bytes, 256 KiB", RandomBytes(1, 256 * 1024), std::nullopt},
        {"random bytes, 2 KiB", RandomBytes(2, 2048), std::nullopt},
        {"an entry, then random bytes", "Sito=alfa.it Num=1\r\n" + RandomBytes(3, 4096), std::nullopt},
        {"NULs only", QByteArray(4096, '\0'), QStringList{}},
        {"an entry, then a NUL and more", QByteArray("Sito=alfa.it Num=1\r\n\0Sito=beta Num=2\r\n", 39),
         QStringList{"Sito=alfa.it Num=1"}},
        {"a NUL in the middle of the marker", QByteArray("Sit\0o=alfa Num=1\r\n", 18), std::nullopt},
        {"one 10 MiB line", tenMiB, std::nullopt},
        {"a 10 MiB line among entries", "Sito=alfa Num=1\r\n" + tenMiB + "\r\nSito=beta Num=1\r\n", std::nullopt},
        {"an entry with a 10 MiB address", "Sito=" + tenMiB + " Num=1\r\n",
         QStringList{"Sito=" + QString(tenMiB) + " Num=1"}},
        {"10 MiB of line ends", QByteArray(10 * kMiB, '\n'), std::nullopt},
        {"two short lines of text", "\x80x\rabc\n", std::nullopt},
    };
}

QString Nome(const char *row)
{
    return QString::fromLatin1(row).replace(' ', '_').replace(',', '_');
}
} // namespace

class BadFiles : public AppFixture {};

TEST_F(BadFiles, ListsThroughTheMainWindow)
{
    main->show();
    for (const BadFile &row : BadFileRows()) {
        SCOPED_TRACE(row.name);
        const QString file = Nome(row.name) + ".tvx";
        if (!row.listLines)
            boxes.ExpectWarning(AvvisoListaNonValida(NomeLista(file)));
        LoadList(file, row.bytes);
        EXPECT_EQ(Preview(), row.listLines.value_or(QStringList{kVuota}));
        if (row.listLines) {
            EXPECT_EQ(main->LabelListaProvenienza->text(), file);
        }
        EXPECT_TRUE(boxes.AllShown());
        EXPECT_EQ(folder.Read(file), row.bytes);
    }
    main->hide();
}

TEST_F(BadFiles, ListsThroughTheListEditor)
{
    for (const BadFile &row : BadFileRows()) {
        SCOPED_TRACE(row.name);
        const QString file = Nome(row.name) + ".tvx";
        folder.Write(file, row.bytes);
        TfrmListe editor;
        editor.show();
        auto *elenco = editor.findChild<TListBox *>("BoxElencoListe");
        auto *memo = editor.findChild<TListBox *>("MemoLista");
        ASSERT_NE(elenco, nullptr);
        ASSERT_NE(memo, nullptr);
        const int index = elenco->Items().indexOf(file);
        ASSERT_GE(index, 0);
        if (!row.listLines) {
            boxes.ExpectWarning(AvvisoListaNonValida(NomeLista(file)));
            // Declining the offer to delete must keep the file as it was.
            boxes.ExpectQuestion(QStringLiteral("Cacnellare la lista ") + file + QStringLiteral(" definitivamente?"),
                                 false);
        }
        elenco->SetItemIndex(index);
        editor.BoxElencoListeClick();
        EXPECT_TRUE(boxes.AllShown());
        EXPECT_EQ(memo->Items(), row.listLines.value_or(QStringList{kVuota}));
        EXPECT_EQ(folder.Read(file), row.bytes);
        editor.hide();
        folder.Write(file, {});
        QFile::remove(folder.File(file));
    }
}

TEST_F(BadFiles, SettingsThroughTheOptionsWindow)
{
    const Impostazioni chosen{1, QStringLiteral("10.0.0.1:3128"), false, true, false};
    w.opzioni->TrackBarBanda->setValue(chosen.banda);
    w.opzioni->editProxy->setText(chosen.proxy);
    w.opzioni->cbAvvisaDopo10->setChecked(chosen.avvisaDopo10);
    w.opzioni->cbTimerOut->setChecked(chosen.timerOut);
    w.opzioni->cbModalitaGrafica->setChecked(chosen.modalitaGrafica);
    for (const BadFile &row : BadFileRows()) {
        SCOPED_TRACE(row.name);
        folder.Write(kSettingsFileName, row.bytes);
        boxes.ExpectError(kLoadFailed);
        w.opzioni->sbCaricaImpClick();
        EXPECT_TRUE(boxes.AllShown());
        EXPECT_EQ(w.opzioni->Valori(), chosen);
        EXPECT_EQ(folder.Read(kSettingsFileName), row.bytes);
    }
}

TEST_F(BadFiles, SettingsAtProgramStart)
{
    const QByteArray bytes = RandomBytes(4, 300 * 1024);
    folder.Write(kSettingsFileName, bytes);
    boxes.ExpectError(kLoadFailed);
    main->show();
    EXPECT_TRUE(main->isVisible());
    EXPECT_EQ(w.opzioni->Valori(), Impostazioni{});
    EXPECT_EQ(folder.Read(kSettingsFileName), bytes);
    main->hide();
}

// Entries the list editor would never write but a list file may hold: the run
// must neither choke on them nor quote megabytes in a message.
TEST_F(BadFiles, RunOverEntriesOfTenMiB)
{
    const QByteArray huge(10 * kMiB, 'a');
    LoadList("enorme.tvx", "Sito=" + huge + " Num=1\r\nSito=" + huge + "\r\n");
    boxes.ExpectWarning(QStringLiteral("La voce \"Sito=") + QString(195, 'a') +
                        QStringLiteral("...\" (riga 2) non è nel formato corretto e non verrà visitata: manca \" "
                                       "Num=\" con il numero di accessi."));
    QStringList log;
    boxes.ExpectQuestion(QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?"), false,
                         [&] { log = main->RigheLog(); });
    main->btIniziaClick();
    ASSERT_EQ(log.size(), 5);
    EXPECT_EQ(log[4], QString(huge) + "...errore.");
    EXPECT_EQ(main->AccessiFalliti, 1);
    EXPECT_FALSE(main->InEsecuzione());
    EXPECT_EQ(main->HttpCli1->State(), hsReady);
}
