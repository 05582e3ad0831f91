#include "settings/Opzioni.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <optional>

namespace {
const QByteArray kDefaultFile("2\r\n\r\nTrue\r\nTrue\r\nFalse\r\n");
const QString kSaved = QStringLiteral("Salvataggio effettuato.");
const QString kOverwrite = QStringLiteral("Sovrascrivere il precedente salvataggio?");
const QString kUpdated = QStringLiteral("Il file delle impostazioni è stato aggiornato.");
const QString kLoadFailed = QStringLiteral("Impossibile eseguire caricamento impostazioni.");

// A fresh program folder, a message-box script and the window, shown.
class OpzioniTest : public ::testing::Test {
protected:
    void SetUp() override { window.show(); }
    void TearDown() override { boxes.Verify(); }

    template <typename T> T *Control(const char *name)
    {
        T *control = window.findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    void Click(const char *name) { QTest::mouseClick(Control<QAbstractButton>(name), Qt::LeftButton); }
    // Sets the controls the way a user would.
    void Enter(const Impostazioni &v)
    {
        Control<QSlider>("TrackBarBanda")->setValue(v.banda);
        auto *proxy = Control<QLineEdit>("editProxy");
        proxy->clear();
        QTest::keyClicks(proxy, v.proxy);
        Control<QCheckBox>("cbAvvisaDopo10")->setChecked(v.avvisaDopo10);
        Control<QCheckBox>("cbTimerOut")->setChecked(v.timerOut);
        Control<QCheckBox>("cbModalitaGrafica")->setChecked(v.modalitaGrafica);
    }
    bool LoadEnabled() { return Control<QToolButton>("sbCaricaImp")->isEnabled(); }

    TempProgramFolder folder;
    BoxScript boxes;
    TFrmOpzioni window;
};
} // namespace

TEST_F(OpzioniTest, StartsWithDefaultsAndEnablesLoadingOnlyAfterASave)
{
    EXPECT_EQ(window.Valori(), Impostazioni{});
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Opzioni"));
    EXPECT_FALSE(LoadEnabled());

    boxes.ExpectInfo(kSaved);
    Click("sbSalvaImp");
    EXPECT_TRUE(LoadEnabled());
    EXPECT_EQ(folder.Read(kSettingsFileName), kDefaultFile);

    // Shown again later, the window finds the file.
    window.hide();
    window.show();
    EXPECT_TRUE(LoadEnabled());
}

TEST_F(OpzioniTest, SavedValuesComeBackThroughTheControls)
{
    const Impostazioni saved{0, QStringLiteral(" 192.168.1.1:80 "), false, true, true};
    ASSERT_EQ(saved.proxy.size(), 16);
    Enter(saved);
    boxes.ExpectInfo(kSaved);
    Click("sbSalvaImp");
    EXPECT_EQ(folder.Read(kSettingsFileName), QByteArray("0\r\n 192.168.1.1:80 \r\nFalse\r\nTrue\r\nTrue\r\n"));

    Enter(Impostazioni{1, "x", true, false, false});
    Click("sbCaricaImp");
    EXPECT_EQ(window.Valori(), saved);
}

TEST_F(OpzioniTest, HandEditedLongProxyLoadsWholeAndIsSavedAgain)
{
    const QByteArray file("2\r\nproxy.example.com:8080\r\nTrue\r\nTrue\r\nFalse\r\n");
    folder.Write(kSettingsFileName, file);
    window.sbCaricaImpClick();
    EXPECT_EQ(Control<QLineEdit>("editProxy")->text(), "proxy.example.com:8080");
    EXPECT_EQ(window.Valori().proxy, "proxy.example.com:8080");
    boxes.ExpectQuestion(kOverwrite, true);
    boxes.ExpectInfo(kSaved);
    Click("sbSalvaImp");
    EXPECT_EQ(folder.Read(kSettingsFileName), file);
}

TEST_F(OpzioniTest, OverwriteQuestionGuardsTheOldFile)
{
    const QByteArray old("1\r\nold\r\nFalse\r\nFalse\r\nFalse\r\n");
    folder.Write(kSettingsFileName, old);
    Enter(Impostazioni{2, "new", true, true, true});

    boxes.ExpectQuestion(kOverwrite, false);
    Click("sbSalvaImp");
    EXPECT_EQ(folder.Read(kSettingsFileName), old);

    boxes.ExpectQuestion(kOverwrite, true);
    boxes.ExpectInfo(kSaved);
    Click("sbSalvaImp");
    EXPECT_EQ(folder.Read(kSettingsFileName), QByteArray("2\r\nnew\r\nTrue\r\nTrue\r\nTrue\r\n"));
}

TEST_F(OpzioniTest, OneLineFileIsCompletedWithAMessageForEachLine)
{
    folder.Write(kSettingsFileName, "1\r\n");
    for (int i = 0; i < 4; ++i)
        boxes.ExpectInfo(kUpdated);
    window.sbCaricaImpClick();
    EXPECT_EQ(window.Valori(), (Impostazioni{1, "", false, false, false}));
    EXPECT_EQ(folder.Read(kSettingsFileName), QByteArray("1\r\n\r\n\r\n\r\n\r\n"));
}

TEST_F(OpzioniTest, FailedLoadChangesNoSetting)
{
    const struct {
        const char *name;
        QByteArray bytes;
    } rows[] = {
        {"letters", "due\r\n\r\nTrue\r\nTrue\r\nFalse\r\n"},
        {"empty first line", "\r\nproxy\r\nTrue\r\nTrue\r\nFalse\r\n"},
        {"10 MiB line", QByteArray(10 * 1024 * 1024, '1')},
        {"random bytes", QByteArray("\x8f\x01\xfe\x00\x7f\r\x80", 7)},
    };
    const Impostazioni before{1, QStringLiteral("keep"), false, true, true};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Enter(before);
        folder.Write(kSettingsFileName, row.bytes);
        boxes.ExpectError(kLoadFailed);
        window.sbCaricaImpClick();
        EXPECT_EQ(window.Valori(), before);
        boxes.Verify();
    }
}

TEST_F(OpzioniTest, SaveFailuresAreReportedAndKeepTheOldFile)
{
    folder.Write(kSettingsFileName, kDefaultFile);
    Control<QLineEdit>("editProxy")->setText(QStringLiteral("проксі"));
    boxes.ExpectQuestion(kOverwrite, true);
    boxes.ExpectError(QStringLiteral("Impossibile eseguire salvataggio impostazioni."));
    Click("sbSalvaImp");
    EXPECT_EQ(folder.Read(kSettingsFileName), kDefaultFile);
}

TEST_F(OpzioniTest, ProxyFieldTakesSixteenCharactersAndEnterDoesNotClose)
{
    auto *proxy = Control<QLineEdit>("editProxy");
    QTest::keyClicks(proxy, QStringLiteral("123456789012345678"));
    EXPECT_EQ(proxy->text(), QStringLiteral("1234567890123456"));
    QTest::keyClick(proxy, Qt::Key_Return);
    EXPECT_TRUE(window.isVisible());
    Click("btnEsci");
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.Valori().proxy, QStringLiteral("1234567890123456"));
}

// Graphic visits keep the proxy the browser engine started with: a change of
// it is told once, as it is made, and only while graphic mode is on.
TEST_F(OpzioniTest, ProxyChangeGraphicVisitsCannotFollowIsToldOnce)
{
    const QString testo = QStringLiteral("Il nuovo proxy vale da subito per gli accessi in modalità testo; ");
    const QString ancora =
        QStringLiteral("quelli in modalità grafica passano ancora per %1 fino al riavvio del programma.");
    struct Row {
        const char *name;
        QString engine; // the engine's proxy; "-" for no engine yet
        bool grafica;
        QString typed;
        QString message; // empty: none
    };
    const Row rows[] = {
        {"another proxy", "vecchio:3128", true, "nuovo:8080", testo + ancora.arg("vecchio:3128")},
        {"a proxy where the engine has none", "", true, "nuovo",
         testo + "quelli in modalità grafica lo useranno dal prossimo avvio del programma."},
        {"no proxy where the engine has one", "vecchio", true, "",
         "Da subito gli accessi in modalità testo non passano più dal proxy; " + ancora.arg("vecchio")},
        {"the engine's own proxy", "stesso:3128", true, "stesso:3128", ""},
        {"text mode", "vecchio", false, "nuovo", ""},
        {"no engine yet", "-", true, "nuovo", ""},
    };
    auto *proxy = Control<QLineEdit>("editProxy");
    auto *grafica = Control<QCheckBox>("cbModalitaGrafica");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        window.ProxyGraficoAltro = {};
        grafica->setChecked(row.grafica);
        proxy->setText(row.engine == "-" ? QString() : row.engine);
        window.ProxyGraficoAltro = [&row](const QString &p) -> std::optional<QString> {
            if (row.engine == "-" || p == row.engine)
                return std::nullopt;
            return row.engine;
        };
        emit proxy->editingFinished();
        if (!row.message.isEmpty())
            boxes.ExpectInfo(row.message);
        proxy->clear();
        QTest::keyClicks(proxy, row.typed);
        QTest::keyClick(proxy, Qt::Key_Return);
        // Enter, then leaving the field: the same change, told once.
        emit proxy->editingFinished();
        boxes.Verify();
    }
    // Graphic mode switched on with a proxy the engine does not have.
    window.ProxyGraficoAltro = [](const QString &) { return std::optional<QString>("vecchio"); };
    grafica->setChecked(false);
    proxy->setText("nuovo");
    emit proxy->editingFinished();
    boxes.ExpectInfo(testo + ancora.arg("vecchio"));
    grafica->setChecked(true);
    boxes.Verify();

    // A proxy loaded from the settings file is a change as much as a typed one.
    folder.Write(kSettingsFileName, "2\r\nterzo:81\r\nTrue\r\nTrue\r\nTrue\r\n");
    boxes.ExpectInfo(testo + ancora.arg("vecchio"));
    window.sbCaricaImpClick();
    EXPECT_EQ(proxy->text(), "terzo:81");
}
