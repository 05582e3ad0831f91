#include "lists/Liste.h"
#include "lists/SiteList.h"
#include "platform/ui/Guard.h"
#include "tests/support/TestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

namespace {
const QString kNoSelection = QStringLiteral("Nessuna lista caricata!\rSelezionare una lista e premere carica lista.");
const QString kEsci = QStringLiteral("Se sono state effettuate modifiche esse non verrano salvate, uscire comunque?");
const QString kSaved = QStringLiteral("Salvataggio lista eseguito.");

// n entry lines "Sito=s<i>.it Num=<i>" as a list file.
QByteArray ListFile(int n)
{
    QByteArray bytes;
    for (int i = 1; i <= n; ++i)
        bytes += "Sito=s" + QByteArray::number(i) + ".it Num=" + QByteArray::number(i) + "\r\n";
    return bytes;
}

class ListEditor : public ::testing::Test {
public:
    void TearDown() override
    {
        form.reset();
        boxes.Verify();
    }

    void Open()
    {
        form = std::make_unique<TfrmListe>([this] { ++revealed; });
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }

    template <typename T> T *Find(const char *name)
    {
        T *widget = form->findChild<T *>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit *Sito() { return Find<QLineEdit>("EditSito"); }
    QLineEdit *Volte() { return Find<QLineEdit>("EdVolte"); }
    QLineEdit *Nome() { return Find<QLineEdit>("EditNomeLista"); }
    QListWidget *Memo() { return Find<QListWidget>("MemoLista"); }
    QListWidget *Elenco() { return Find<QListWidget>("BoxElencoListe"); }
    QPushButton *Button(const char *name) { return Find<QPushButton>(name); }

    void Click(const char *button) { QTest::mouseClick(Button(button), Qt::LeftButton); }
    void ClickRow(QListWidget *list, int row)
    {
        list->scrollToItem(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    }
    void ClickList(const QString &item)
    {
        ClickRow(Elenco(), Elenco()->row(Elenco()->findItems(item, Qt::MatchExactly).value(0)));
    }

    // Replaces the field's text by typing, as a user would.
    void Type(QLineEdit *edit, const QString &text)
    {
        QTest::keyClick(edit, Qt::Key_End);
        while (!edit->text().isEmpty())
            QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }
    void AddTyped(const QString &sito, const QString &volte = QStringLiteral("1"))
    {
        Type(Sito(), sito);
        Type(Volte(), volte);
        Click("sbAggiungi");
    }
    static QStringList Items(QListWidget *list)
    {
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items.append(list->item(i)->text());
        return items;
    }
    int Selected() { return static_cast<TListBox *>(Memo())->ItemIndex(); }

    TempProgramFolder folder;
    BoxScript boxes;
    std::unique_ptr<TfrmListe> form;
    int revealed = 0;
};

TEST_F(ListEditor, WindowAndControlsAtTheirPlaces)
{
    Open();
    EXPECT_EQ(form->windowTitle(), "Gestione liste");
    EXPECT_EQ(form->size(), QSize(584, 214));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_FALSE(form->windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint));

    struct Row {
        const char *name;
        QRect geometry;
        QString caption;
        bool enabled;
    };
    const Row buttons[] = {
        {"sbAggiungi", {128, 45, 125, 22}, "Aggiungi url alla lista", true},
        {"sbRimuovi", {258, 45, 125, 22}, "Rimuovi url dalla lista", false},
        {"sbSpostaSu", {368, 77, 17, 60}, "", true},
        {"sbSpostaGiu", {368, 141, 17, 60}, "", true},
        {"sbSalvalista", {398, 42, 90, 22}, "Salva Lista", true},
        {"sbCancellaLista", {490, 42, 90, 22}, "Cancella lista", false},
        {"sbCarica", {400, 190, 90, 22}, "Carica lista", true},
        {"sbEsci", {492, 190, 90, 22}, "Esci", true},
    };
    for (const Row &row : buttons) {
        SCOPED_TRACE(row.name);
        QPushButton *b = Button(row.name);
        EXPECT_EQ(b->geometry(), row.geometry);
        EXPECT_EQ(b->text(), row.caption);
        EXPECT_EQ(b->isEnabled(), row.enabled);
        EXPECT_EQ(b->focusPolicy(), Qt::NoFocus);
        EXPECT_FALSE(b->icon().isNull());
    }
    EXPECT_EQ(Sito()->geometry(), QRect(40, 20, 344, 20));
    EXPECT_EQ(Sito()->maxLength(), 200);
    EXPECT_EQ(Volte()->geometry(), QRect(83, 46, 42, 21));
    EXPECT_EQ(Volte()->maxLength(), 5);
    EXPECT_EQ(Volte()->text(), "1");
    EXPECT_EQ(Nome()->geometry(), QRect(399, 19, 180, 21));
    EXPECT_EQ(Memo()->geometry(), QRect(4, 71, 357, 141));
    EXPECT_EQ(Items(Memo()), QStringList{kVuota});
    EXPECT_EQ(Elenco()->geometry(), QRect(398, 80, 182, 106));
    EXPECT_EQ(Find<QLabel>("Label4")->text(), "http://");
    EXPECT_EQ(QApplication::focusWidget(), Sito());
    // An address typed with its own scheme goes without the "http://" in front.
    QTest::keyClicks(Sito(), "https://a.example/");
    EXPECT_TRUE(Find<QLabel>("Label4")->isHidden());
    Sito()->clear();
    EXPECT_FALSE(Find<QLabel>("Label4")->isHidden());
}

TEST_F(ListEditor, AdditionPositions)
{
    folder.Write("abc.tvx", "Sito=a Num=1\r\nSito=b Num=2\r\nSito=c Num=3\r\n");
    Open();
    // Successive additions into the empty list keep their order.
    AddTyped("uno.it", "5");
    AddTyped("due.it");
    AddTyped("tre.it");
    EXPECT_EQ(Items(Memo()), (QStringList{"Sito=uno.it Num=5", "Sito=due.it Num=1", "Sito=tre.it Num=1"}));
    EXPECT_EQ(Selected(), 2);
    EXPECT_EQ(Sito()->text(), "");
    EXPECT_EQ(Volte()->text(), "1");
    EXPECT_TRUE(Button("sbRimuovi")->isEnabled());

    // Right after a load nothing is selected: the addition goes to the top.
    ClickList("abc.tvx");
    EXPECT_EQ(Nome()->text(), "abc");
    AddTyped("top.it");
    EXPECT_EQ(Memo()->item(0)->text(), "Sito=top.it Num=1");
    // The first entry selected: to the end, not to position 1.
    ClickRow(Memo(), 0);
    AddTyped("fine.it");
    EXPECT_EQ(Memo()->item(4)->text(), "Sito=fine.it Num=1");
    // Any other entry selected: right after it.
    ClickRow(Memo(), 2);
    AddTyped("dopo-b.it");
    EXPECT_EQ(Items(Memo()), (QStringList{"Sito=top.it Num=1", "Sito=a Num=1", "Sito=b Num=2", "Sito=dopo-b.it Num=1",
                                          "Sito=c Num=3", "Sito=fine.it Num=1"}));
    EXPECT_EQ(Selected(), 3);
}

TEST_F(ListEditor, EntryChecksEnterAndCountFilter)
{
    Open();
    struct Row {
        const char *name;
        QString sito;
        QString volte;
        QString warning;
    };
    const Row rows[] = {
        {"prefix", "a.it/?u=http://b.it", "1", AvvisoVoce(EsitoVoce::PrefissoPresente)},
        {"no address", "", "3", AvvisoVoce(EsitoVoce::IndirizzoMancante)},
        {"count marker in the address", "a.it/?Num=3", "1", AvvisoVoce(EsitoVoce::IndirizzoNonValido)},
        {"pasted line break", "a.it\nSito=b.it", "1", AvvisoVoce(EsitoVoce::IndirizzoNonValido)},
        {"IPv6 address without brackets", "::1:8080/x", "1", AvvisoVoce(EsitoVoce::IPv6SenzaParentesi)},
        {"zero count", "a.it", "00", AvvisoVoce(EsitoVoce::NumeroNonValido)},
        {"empty count", "a.it", "", AvvisoVoce(EsitoVoce::NumeroNonValido)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Sito()->setText(row.sito); // as pasted
        Type(Volte(), row.volte);
        boxes.ExpectWarning(row.warning);
        QTest::keyClick(Volte(), Qt::Key_Return);
        boxes.Verify();
        EXPECT_EQ(Items(Memo()), QStringList{kVuota});
        EXPECT_EQ(Sito()->text(), row.sito);
    }
    // Only digits, the comma and Backspace reach the count field.
    Type(Volte(), "");
    QTest::keyClicks(Volte(), "a7 b-.,9x");
    EXPECT_EQ(Volte()->text(), "7,9");
    // Every editing key works in it: Home, Delete (sent with the text 0x7f, as
    // X11 does), End, Backspace, and the Ctrl shortcuts.
    Type(Volte(), "1234");
    QTest::keyClick(Volte(), Qt::Key_Home);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7f)));
    QCoreApplication::sendEvent(Volte(), &del);
    EXPECT_EQ(Volte()->text(), "234");
    QTest::keyClick(Volte(), Qt::Key_End);
    QTest::keyClick(Volte(), Qt::Key_Backspace);
    EXPECT_EQ(Volte()->text(), "23");
    QTest::keyClick(Volte(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(Volte(), Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(Volte(), Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(Volte()->text(), "");
    QTest::keyClick(Volte(), Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(Volte(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Volte()->text(), "2323");
    QTest::keyClick(Volte(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Volte()->text(), "23");
    // Enter in either field adds and never reaches the dialog.
    Type(Volte(), "12");
    Type(Sito(), "uno.it");
    QTest::keyClick(Sito(), Qt::Key_Return);
    Type(Sito(), "due.it");
    QTest::keyClick(Volte(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(Items(Memo()), (QStringList{"Sito=uno.it Num=12", "Sito=due.it Num=1"}));
    EXPECT_TRUE(form->isVisible());
}

TEST_F(ListEditor, FailuresInTheGeneralErrorBoxLeaveTheListWhole)
{
    Open();
    AddTyped("a.it");
    AddTyped("b.it");
    AddTyped("c.it");
    // Removing the selected entry leaves nothing selected.
    Click("sbRimuovi");
    const QStringList before = Items(Memo());
    ASSERT_EQ(before, (QStringList{"Sito=a.it Num=1", "Sito=b.it Num=1"}));

    boxes.Expect({ApplicationTitle(), "'1,5' is not a valid integer value"});
    AddTyped("c.it", "1,5");
    boxes.Verify();
    EXPECT_EQ(Items(Memo()), before);
    EXPECT_EQ(Volte()->text(), "1,5");

    // A remove with nothing selected deletes nothing; both moves are enabled
    // and each fails without touching the list.
    Click("sbRimuovi");
    EXPECT_EQ(Items(Memo()), before);
    for (const char *move : {"sbSpostaSu", "sbSpostaGiu"}) {
        SCOPED_TRACE(move);
        ASSERT_TRUE(Button(move)->isEnabled());
        boxes.Expect({ApplicationTitle(), "List index out of bounds (-1)"});
        Click(move);
        boxes.Verify();
        EXPECT_EQ(Items(Memo()), before);
    }
}

TEST_F(ListEditor, MovesFollowTheEnablingRule)
{
    Open();
    for (const char *s : {"a", "b", "c"})
        AddTyped(s);
    ClickRow(Memo(), 0);
    EXPECT_FALSE(Button("sbSpostaSu")->isEnabled());
    EXPECT_TRUE(Button("sbSpostaGiu")->isEnabled());
    Click("sbSpostaGiu");
    Click("sbSpostaGiu");
    EXPECT_EQ(Items(Memo()), (QStringList{"Sito=b Num=1", "Sito=c Num=1", "Sito=a Num=1"}));
    EXPECT_EQ(Selected(), 2);
    EXPECT_FALSE(Button("sbSpostaGiu")->isEnabled());
    Click("sbSpostaSu");
    EXPECT_EQ(Items(Memo()), (QStringList{"Sito=b Num=1", "Sito=a Num=1", "Sito=c Num=1"}));
    EXPECT_TRUE(Button("sbSpostaGiu")->isEnabled());
    EXPECT_TRUE(Button("sbSpostaSu")->isEnabled());

    // Removing every entry brings the placeholder back and disables remove.
    for (int i = 0; i < 3; ++i) {
        ClickRow(Memo(), 0);
        Click("sbRimuovi");
    }
    EXPECT_EQ(Items(Memo()), QStringList{kVuota});
    EXPECT_FALSE(Button("sbRimuovi")->isEnabled());
}

TEST_F(ListEditor, FiftyEntryLimit)
{
    folder.Write("l49.tvx", ListFile(49));
    folder.Write("l60.tvx", ListFile(60));
    folder.Write("l2.tvx", ListFile(2));
    Open();
    // A list longer than the limit, loaded from its file, still takes additions.
    ClickList("l60.tvx");
    AddTyped("oltre.it");
    EXPECT_EQ(Memo()->count(), 61);
    EXPECT_TRUE(Button("sbAggiungi")->isEnabled());

    ClickList("l49.tvx");
    AddTyped("cinquanta.it");
    EXPECT_EQ(Memo()->count(), 50);
    EXPECT_FALSE(Button("sbAggiungi")->isEnabled());
    // Enter does nothing while the button is disabled.
    Type(Sito(), "altro.it");
    QTest::keyClick(Sito(), Qt::Key_Return);
    EXPECT_EQ(Memo()->count(), 50);

    // Neither a save nor a load lifts the limit; one remove does.
    Type(Nome(), "piena");
    boxes.ExpectInfo(kSaved);
    Click("sbSalvalista");
    ClickList("l2.tvx");
    EXPECT_FALSE(Button("sbAggiungi")->isEnabled());
    ClickRow(Memo(), 0);
    Click("sbRimuovi");
    EXPECT_TRUE(Button("sbAggiungi")->isEnabled());
    // Added right after a load, so at the top.
    EXPECT_EQ(folder.Read("piena.tvx"), "Sito=cinquanta.it Num=1\r\n" + ListFile(49));
}

TEST_F(ListEditor, SaveWritesCrLfWindows1252AndResets)
{
    Open();
    EXPECT_FALSE(Button("sbCancellaLista")->isEnabled());
    // Typed characters beyond ASCII cannot be simulated; the field takes them as text.
    Sito()->setText(QStringLiteral("città.it/è"));
    Type(Volte(), "007");
    Click("sbAggiungi");
    AddTyped("b.it");
    Type(Nome(), "prova");
    boxes.ExpectInfo(kSaved);
    QTest::keyClick(Nome(), Qt::Key_Return);
    boxes.Verify();
    EXPECT_EQ(folder.Read("prova.tvx"), QByteArray("Sito=citt\xE0.it/\xE8 Num=007\r\nSito=b.it Num=1\r\n"));
    EXPECT_EQ(Nome()->text(), "");
    EXPECT_EQ(Items(Memo()), QStringList{kVuota});
    EXPECT_EQ(Items(Elenco()), QStringList{"prova.tvx"});
    // The first list saved can be deleted at once.
    EXPECT_TRUE(Button("sbCancellaLista")->isEnabled());
    // A successful save clears the modified flag: Esci asks nothing.
    Click("sbEsci");
    EXPECT_FALSE(form->isVisible());
}

TEST_F(ListEditor, SaveRefusalsAndFailures)
{
    folder.Write("vuota.tvx", "");
    Open();
    boxes.ExpectWarning("Impossibile salvare la lista, inserire il nome della lista!");
    Click("sbSalvalista");
    boxes.Verify();
    EXPECT_EQ(QApplication::focusWidget(), Nome());

    Type(Nome(), "x");
    boxes.ExpectWarning(QStringLiteral("Impossibile salvare la lista, la lista lista stessa è vuota!"));
    Click("sbSalvalista");
    boxes.Verify();
    EXPECT_EQ(QApplication::focusWidget(), Sito());
    EXPECT_FALSE(QFile::exists(folder.File("x.tvx")));

    // A zero-byte list leaves the list box empty, without placeholder, and is saved as an empty file.
    ClickList("vuota.tvx");
    EXPECT_EQ(Memo()->count(), 0);
    Type(Nome(), "copia");
    boxes.ExpectInfo(kSaved);
    Click("sbSalvalista");
    boxes.Verify();
    EXPECT_TRUE(QFile::exists(folder.File("copia.tvx")));
    EXPECT_EQ(folder.Read("copia.tvx"), QByteArray());

    // Names the file system cannot take as one file in the program's folder,
    // and characters the code page cannot hold: error, the list stays.
    struct Row {
        const char *name;
        QString sito;
        QString nome;
    };
    const Row rows[] = {
        {"separator", "a.it", "sotto/lista"},
        {"unencodable character", QStringLiteral("łódź.pl"), "polacco"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ClickList("vuota.tvx");
        Sito()->setText(row.sito);
        Click("sbAggiungi");
        Type(Nome(), row.nome);
        boxes.ExpectError("Errore durante il salvataggio della lista.");
        Click("sbSalvalista");
        boxes.Verify();
        EXPECT_EQ(Items(Memo()), QStringList{"Sito=" + row.sito + " Num=1"});
        EXPECT_EQ(Nome()->text(), row.nome);
    }
    EXPECT_EQ(Items(Elenco()), (QStringList{"copia.tvx", "vuota.tvx"}));
}

TEST_F(ListEditor, OverwriteQuestion)
{
    for (bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "yes" : "no");
        folder.Write("prova.tvx", "Sito=vecchio Num=1\r\n");
        Open();
        AddTyped("nuovo.it");
        Type(Nome(), "prova");
        boxes.ExpectQuestion(QStringLiteral("Esiste già una lista con il nome \"prova\", sovrascrivere tale lista?"),
                             yes);
        if (yes)
            boxes.ExpectInfo(kSaved);
        Click("sbSalvalista");
        boxes.Verify();
        EXPECT_EQ(folder.Read("prova.tvx"), yes ? QByteArray("Sito=nuovo.it Num=1\r\n") : "Sito=vecchio Num=1\r\n");
        EXPECT_EQ(Items(Memo()), yes ? QStringList{kVuota} : QStringList{"Sito=nuovo.it Num=1"});
        EXPECT_EQ(Nome()->text(), yes ? "" : "prova");
    }
}

TEST_F(ListEditor, InvalidListIsOfferedForDeletion)
{
    for (bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "yes" : "no");
        folder.Write("buona.tvx", "Sito=a Num=1\r\n");
        folder.Write("rotta.tvx", "Sito=a Num=1\r\nsito=b Num=2\r\n");
        Open();
        ClickList("buona.tvx");
        boxes.ExpectWarning(QStringLiteral("La lista rotta non è stata riconosciuta valida."));
        boxes.ExpectQuestion("Cacnellare la lista rotta.tvx definitivamente?", yes);
        ClickList("rotta.tvx");
        boxes.Verify();
        EXPECT_EQ(QFile::exists(folder.File("rotta.tvx")), !yes);
        EXPECT_EQ(Items(Memo()), QStringList{kVuota});
        EXPECT_EQ(Nome()->text(), "");
        EXPECT_EQ(Items(Elenco()).contains("rotta.tvx"), !yes);
    }
}

TEST_F(ListEditor, DeleteAndLoadWithoutSelection)
{
    folder.Write("a.tvx", "Sito=a Num=1\r\n");
    folder.Write("b.tvx", "Sito=b Num=1\r\n");
    Open();
    EXPECT_TRUE(Button("sbCancellaLista")->isEnabled());
    boxes.ExpectWarning(kNoSelection);
    Click("sbCarica");
    boxes.ExpectError("Errore durante l'eliminazione della lista.");
    Click("sbCancellaLista");
    boxes.Verify();

    ClickList("b.tvx");
    boxes.ExpectQuestion("Cacnellare la lista b.tvx definitivamente?", false);
    Click("sbCancellaLista");
    boxes.Verify();
    EXPECT_TRUE(QFile::exists(folder.File("b.tvx")));
    EXPECT_EQ(Nome()->text(), "b");
    boxes.ExpectQuestion("Cacnellare la lista b.tvx definitivamente?", true);
    Click("sbCancellaLista");
    boxes.Verify();
    EXPECT_FALSE(QFile::exists(folder.File("b.tvx")));
    EXPECT_EQ(Items(Elenco()), QStringList{"a.tvx"});
    EXPECT_EQ(Items(Memo()), QStringList{kVuota});
    EXPECT_EQ(Nome()->text(), "");
    EXPECT_TRUE(Button("sbCancellaLista")->isEnabled());

    // A file that vanished behind the editor's back: the read failure leaves
    // the list box as it was, and the delete is reported, not taken as done.
    AddTyped("x.it");
    QFile::remove(folder.File("a.tvx"));
    boxes.Expect({ApplicationTitle(), {}});
    ClickList("a.tvx");
    boxes.Verify();
    EXPECT_EQ(Items(Memo()), QStringList{"Sito=x.it Num=1"});
    boxes.ExpectQuestion("Cacnellare la lista a.tvx definitivamente?", true);
    boxes.ExpectError("Errore durante l'eliminazione della lista.");
    Click("sbCancellaLista");
    boxes.Verify();
    EXPECT_EQ(Items(Memo()), QStringList{"Sito=x.it Num=1"});
}

TEST_F(ListEditor, ExitAsksOnlyAfterTyping)
{
    folder.Write("l.tvx", "Sito=a Num=3\r\n");
    struct Row {
        const char *name;
        std::function<void(ListEditor &)> edit;
        bool asks;
    };
    const Row rows[] = {
        {"nothing", [](ListEditor &) {}, false},
        {"mouse only",
         [](ListEditor &t) {
             t.ClickList("l.tvx");
             t.ClickRow(t.Memo(), 0);
             t.Click("sbAggiungi");
             t.ClickRow(t.Memo(), 0);
             t.Click("sbSpostaGiu");
             t.Click("sbRimuovi");
         },
         false},
        {"address", [](ListEditor &t) { QTest::keyClicks(t.Sito(), "x"); }, true},
        {"backspace in name", [](ListEditor &t) { QTest::keyClick(t.Nome(), Qt::Key_Backspace); }, true},
        {"filtered count character", [](ListEditor &t) { QTest::keyClicks(t.Volte(), "z"); }, true},
        {"enter in count",
         [](ListEditor &t) {
             t.boxes.ExpectWarning(AvvisoVoce(EsitoVoce::IndirizzoMancante));
             QTest::keyClick(t.Volte(), Qt::Key_Return);
         },
         true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Open();
        row.edit(*this);
        boxes.Verify();
        if (row.asks) {
            boxes.ExpectQuestion(kEsci, false);
            Click("sbEsci");
            boxes.Verify();
            EXPECT_TRUE(form->isVisible());
            // Escape is no way out either, and closing by the window manager asks the same.
            QTest::keyClick(Sito(), Qt::Key_Escape);
            EXPECT_TRUE(form->isVisible());
            boxes.ExpectQuestion(kEsci, true);
            form->close();
        } else {
            Click("sbEsci");
        }
        boxes.Verify();
        EXPECT_FALSE(form->isVisible());
    }
}

TEST_F(ListEditor, ArrowKeysLoadListsAndCopyEntries)
{
    folder.Write("a.tvx", "Sito=a1 Num=1\r\n");
    folder.Write("b.tvx", "Sito=b1 Num=2\r\nSito=b2 Num=33\r\n");
    folder.Write("c.tvx", "Sito=c1 Num=3\r\n");
    Open();
    Elenco()->setFocus(Qt::TabFocusReason);
    const struct {
        Qt::Key key;
        const char *nome;
        QString first;
    } steps[] = {
        {Qt::Key_Down, "a", "Sito=a1 Num=1"},
        {Qt::Key_Down, "b", "Sito=b1 Num=2"},
        {Qt::Key_Down, "c", "Sito=c1 Num=3"},
        {Qt::Key_Up, "b", "Sito=b1 Num=2"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.nome);
        QTest::keyClick(Elenco(), step.key);
        EXPECT_EQ(Nome()->text(), step.nome);
        EXPECT_EQ(Memo()->item(0)->text(), step.first);
    }
    Memo()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Memo(), Qt::Key_Down);
    EXPECT_EQ(Sito()->text(), "b1");
    EXPECT_EQ(Volte()->text(), "2");
    QTest::keyClick(Memo(), Qt::Key_Down);
    EXPECT_EQ(Sito()->text(), "b2");
    EXPECT_EQ(Volte()->text(), "33");
    // A click on the entry already selected copies it again.
    Type(Sito(), "cambiato");
    ClickRow(Memo(), 1);
    EXPECT_EQ(Sito()->text(), "b2");
    EXPECT_EQ(Items(Memo()), (QStringList{"Sito=b1 Num=2", "Sito=b2 Num=33"}));
}

TEST_F(ListEditor, HiddenSwitchOnLeavingTheAddressField)
{
    Open();
    Type(Sito(), "quazo ");
    Volte()->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    EXPECT_EQ(revealed, 0);

    Type(Sito(), "quazo");
    Sito()->setFocus(Qt::TabFocusReason);
    boxes.ExpectInfo("Apertura visualizzatore riuscita.");
    QTest::keyClick(Sito(), Qt::Key_Tab);
    EXPECT_TRUE(PumpUntil([&] { return revealed == 1; }));
    boxes.Verify();
    EXPECT_EQ(Sito()->text(), "quazo");
    // The code is an ordinary address to the add action.
    Click("sbAggiungi");
    EXPECT_EQ(Items(Memo()), QStringList{"Sito=quazo Num=1"});
}
TEST_F(ListEditor, HiddenSwitchWhenAClickOnAListTakesTheFocus)
{
    folder.Write("altra.tvx", "Sito=b.it Num=2\r\n");
    Open();
    AddTyped("a.it", "3");
    struct Row {
        const char *name;
        std::function<void()> click;
        QString fieldAfter;
    };
    const Row rows[] = {
        {"an entry of the list", [&] { ClickRow(Memo(), 0); }, "a.it"},
        {"a list file", [&] { ClickList("altra.tvx"); }, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const int before = revealed;
        Type(Sito(), "quazo");
        Sito()->setFocus(Qt::TabFocusReason);
        boxes.ExpectInfo("Apertura visualizzatore riuscita.");
        row.click();
        EXPECT_TRUE(PumpUntil([&] { return revealed == before + 1; }));
        boxes.Verify();
        EXPECT_EQ(Sito()->text(), row.fieldAfter);
    }
}
} // namespace

namespace {
// Counts the blocking a modal window imposes on another top-level window.
class BlockSpy : public QObject {
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::WindowBlocked)
            blocked = true;
        else if (event->type() == QEvent::WindowUnblocked)
            blocked = false;
        return false;
    }
    bool blocked = false;
};
} // namespace

TEST(ListEditorModality, OwnerlessBoxesStayUsableWhileTheEditorRuns)
{
    TempProgramFolder folder;
    QWidget owner;
    owner.show();
    TfrmListe form({}, &owner);
    BlockSpy ownerSpy, boxSpy;
    owner.installEventFilter(&ownerSpy);
    bool checked = false;
    QTimer::singleShot(0, &form, [&] {
        // Stands in for a message box: a window without owner shown during exec().
        QWidget box;
        box.installEventFilter(&boxSpy);
        box.show();
        QCoreApplication::processEvents();
        EXPECT_FALSE(boxSpy.blocked);
        EXPECT_TRUE(ownerSpy.blocked);
        checked = true;
        form.done(0);
    });
    form.exec();
    EXPECT_TRUE(checked);
}
