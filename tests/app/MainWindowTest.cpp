#include "tests/app/AppFixture.h"

#include "app/Start.h"
#include "lists/Liste.h"
#include "settings/SettingsFile.h"
#include "support/Bug.h"

#include <QLineEdit>

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>

using MainWindow = AppFixture;

TEST(ProgramStart, WindowsAreCreatedInOrder)
{
    QStringList order;
    Finestre f = CreaFinestre(std::make_unique<FakeBrowser>(), [&](const char *name) { order << name; });
    EXPECT_EQ(order, (QStringList{"TfrmMain", "TFrmAbout", "TfrmStart", "TFrmOpzioni"}));
    EXPECT_EQ(f.main->windowTitle(), "T4V_Quorvi");
    EXPECT_EQ(f.start->TimerStart->interval(), 10000);
    EXPECT_EQ(f.main->TimerOut->interval(), 30000);
    EXPECT_EQ(f.main->centralWidget()->size() + QSize(0, f.main->StatusBar->height()), QSize(582, 300));
}

TEST_F(MainWindow, StartWindowStandsAloneThenMainWindowAndSettings)
{
    SaveSettingsFile(SettingsFilePath(), Impostazioni{1, "proxy:8080", false, true, true});
    TfrmStart *start = w.start.get();
    EXPECT_EQ(start->windowTitle(), "Caricamento T4V_Quorvi");
    EXPECT_FALSE(start->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(start->TimerStart->isActive());

    bool mainVisibleDuringStart = true;
    bool startVisibleDuringStart = false;
    bool timerRunningDuringStart = false;
    start->TimerStart->setInterval(50);
    QTimer::singleShot(10, &scope, [&] {
        mainVisibleDuringStart = main->isVisible();
        startVisibleDuringStart = start->isVisible();
        timerRunningDuringStart = start->TimerStart->isActive();
    });
    main->show();
    EXPECT_FALSE(mainVisibleDuringStart);
    EXPECT_TRUE(startVisibleDuringStart);
    EXPECT_TRUE(timerRunningDuringStart);
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(start->isVisible());
    EXPECT_FALSE(start->TimerStart->isActive());
    // The settings file was loaded once the start window had gone.
    EXPECT_EQ(w.opzioni->Valori(), (Impostazioni{1, "proxy:8080", false, true, true}));
    main->hide();
}

TEST_F(MainWindow, FixedSizeWithoutMaximiseAndAStatusBarMenusLeaveAlone)
{
    EXPECT_FALSE(main->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(main->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(main->minimumSize(), main->maximumSize());
    EXPECT_EQ(main->minimumSize(), main->size());

    main->StatusBar->showMessage("Accesso n. 2 di 3 totali");
    // What a menu does when the mouse passes over its items.
    main->mnuSetupDate->showStatusText(main->menuBar());
    main->About1->showStatusText(main->mnuHelp);
    QStatusTipEvent tip(QString{});
    QCoreApplication::sendEvent(main->MemoLista, &tip);
    EXPECT_EQ(main->StatusBar->currentMessage(), "Accesso n. 2 di 3 totali");
}

TEST_F(MainWindow, StartLogoOpensTheMakersSite)
{
    QTest::mouseClick(w.start->ImageLogo, Qt::LeftButton);
    EXPECT_EQ(shell.Targets(), QStringList{"http://www.dudirirada.example"});
}

TEST_F(MainWindow, StartsIdleWithPlaceholder)
{
    EXPECT_EQ(Preview(), QStringList{"Vuota..."});
    EXPECT_EQ(main->LabelSito->text(), "");
    EXPECT_EQ(main->LabelVolte->text(), "1");
    EXPECT_EQ(main->LabelListaProvenienza->text(), "Nessuna");
    EXPECT_FALSE(main->sbPausa->isEnabled());
    EXPECT_FALSE(main->sbInterrompi->isEnabled());
    EXPECT_TRUE(main->btInizia->isEnabled());
    EXPECT_FALSE(main->DisplayMemo->isVisible());
    EXPECT_EQ(main->MemoLogOperazio->toPlainText(), "Pronto...");
}

TEST_F(MainWindow, LoadsAValidList)
{
    LoadList("mia.tvx", "Sito=alfa Num=2\r\nSito=beta Num=1\r\n");
    EXPECT_EQ(Preview(), (QStringList{"Sito=alfa Num=2", "Sito=beta Num=1"}));
    EXPECT_EQ(main->LabelListaProvenienza->text(), "mia.tvx");
}

TEST_F(MainWindow, InvalidListWarnsAndKeepsTheFormerName)
{
    LoadList("buona.tvx", "Sito=alfa Num=2\r\n");
    boxes.ExpectWarning(QStringLiteral("La lista mia non è stata riconosciuta valida."));
    LoadList("mia.tvx", "Sito=alfa Num=2\r\n\r\nSito=beta Num=1\r\n");
    EXPECT_EQ(Preview(), QStringList{"Vuota..."});
    EXPECT_EQ(main->LabelListaProvenienza->text(), "buona.tvx");
}

TEST_F(MainWindow, UnreadableListKeepsThePreview)
{
    LoadList("buona.tvx", "Sito=alfa Num=2\r\n");
    folder.Write("sparita.tvx", "");
    main->AggiornaElencoListe();
    QFile::remove(folder.File("sparita.tvx"));
    main->BoxElencoListe->setCurrentItem(main->BoxElencoListe->findItems("sparita.tvx", Qt::MatchExactly)[0]);
    boxes.Expect({"T4V_Quorvi", "", IDOK});
    RunGuarded([&] { main->BoxElencoListeClick(); });
    EXPECT_EQ(Preview(), QStringList{"Sito=alfa Num=2"});
}

TEST_F(MainWindow, ClickingEntriesShowsSiteAndCount)
{
    // The placeholder shows nothing.
    main->MemoLista->setCurrentRow(0);
    main->MemoListaClick();
    EXPECT_EQ(main->LabelSito->text(), "");
    EXPECT_EQ(main->LabelVolte->text(), "1");

    main->show();
    LoadList("mia.tvx", "Sito=alfa Num=7\r\nSito=beta Num=007\r\n");
    const QRect second = main->MemoLista->visualItemRect(main->MemoLista->item(1));
    QTest::mouseClick(main->MemoLista->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(main->LabelSito->text(), "beta");
    EXPECT_EQ(main->LabelVolte->text(), "007");
    QTest::keyClick(main->MemoLista, Qt::Key_Up);
    EXPECT_EQ(main->LabelSito->text(), "alfa");
    EXPECT_EQ(main->LabelVolte->text(), "7");
    main->hide();
}

// An https entry shows once, with its own scheme, where "http://" stands for
// the others; the next plain entry brings "http://" back.
TEST_F(MainWindow, AnHttpsEntryShowsItsOwnScheme)
{
    main->show();
    LoadList("mia.tvx", "Sito=HTTPS://sicuro.example/pagina Num=2\r\nSito=alfa Num=1\r\n");
    const QRect plainSite = main->LabelSito->geometry();
    main->MemoLista->setCurrentRow(0);
    main->MemoListaClick();
    EXPECT_EQ(main->LabelSito->text(), "HTTPS://sicuro.example/pagina");
    EXPECT_TRUE(main->Label4->isHidden());
    EXPECT_EQ(main->LabelSito->x(), main->Label4->x());
    EXPECT_EQ(main->LabelSito->geometry().right(), plainSite.right());
    main->MemoLista->setCurrentRow(1);
    main->MemoListaClick();
    EXPECT_EQ(main->LabelSito->text(), "alfa");
    EXPECT_FALSE(main->Label4->isHidden());
    EXPECT_EQ(main->LabelSito->geometry(), plainSite);
    main->hide();
}

TEST_F(MainWindow, HelpPageOpensWhenPresent)
{
    boxes.ExpectError("Impossibile aprire la guida, file help.html non trovato");
    main->sbHelpClick();
    EXPECT_TRUE(shell.Targets().isEmpty());
    folder.Write("help.html", "<html></html>");
    main->mnuHelpHelp->trigger();
    EXPECT_EQ(shell.Targets(), QStringList{folder.File("help.html")});
}

TEST_F(MainWindow, MakerLinksAndMail)
{
    QTest::mouseClick(main->lblLink, Qt::LeftButton);
    QTest::mouseClick(main->Label15, Qt::LeftButton);
    EXPECT_EQ(shell.Targets(), (QStringList{"http://www.dudirirada.example",
                                            "mailto:supporto@dudirirada.example?subject=Clic interno T4V_Quorvi , "
                                            "04.2003-10&body=Scrivere di seguito la richiesta:"}));
}

TEST_F(MainWindow, AboutWindowFromButtonAndMenu)
{
    int shown = 0;
    for (auto open : {std::function<void()>([&] { main->sbInfo->click(); }),
                      std::function<void()>([&] { main->About1->trigger(); })}) {
        QTimer::singleShot(0, &scope, [&] {
            if (w.about->isVisible()) {
                ++shown;
                EXPECT_EQ(w.about->LabelPrg->text(), "T4V_Quorvi");
                EXPECT_EQ(w.about->LabelVers->text(), "04.2003-10");
                w.about->sbEsci->click();
            }
        });
        open();
    }
    EXPECT_EQ(shown, 2);
}

TEST_F(MainWindow, ListFilesAreListedCaseBlind)
{
    folder.Write("b.tvx", "");
    folder.Write("A.TVX", "");
    folder.Write("c.txt", "");
    main->AggiornaElencoListe();
    ASSERT_EQ(main->BoxElencoListe->count(), 2);
    EXPECT_EQ(main->BoxElencoListe->item(0)->text(), "A.TVX");
    EXPECT_EQ(main->BoxElencoListe->item(1)->text(), "b.tvx");
}

TEST_F(MainWindow, ListEditorOpensAndTheListFilesAreReadAgain)
{
    LoadList("vecchia.tvx", "Sito=alfa Num=1\r\n");
    bool editorShown = false;
    QTimer::singleShot(0, &scope, [&] {
        auto *editor = main->findChild<TfrmListe *>();
        ASSERT_NE(editor, nullptr);
        editorShown = editor->isVisible();
        folder.Write("nuova.tvx", "Sito=beta Num=2\r\n");
        editor->sbEsciClick();
    });
    main->sbGestListe->click();
    EXPECT_TRUE(editorShown);
    EXPECT_EQ(main->findChild<TfrmListe *>(), nullptr);
    EXPECT_EQ(main->BoxElencoListe->count(), 2);
    EXPECT_EQ(Preview(), QStringList{"Vuota..."});
    EXPECT_EQ(main->LabelListaProvenienza->text(), "vecchia.tvx");
}

TEST_F(MainWindow, RunWithoutListFilesOpensTheEditor)
{
    boxes.ExpectWarning(QStringLiteral("Impossibile iniziare la procedura, nessun elenco lista presente, accesso "
                                       "alla gestione liste automatico."));
    bool editorShown = false;
    QTimer::singleShot(0, &scope, [&] {
        if (auto *editor = main->findChild<TfrmListe *>()) {
            editorShown = true;
            editor->sbEsciClick();
        }
    });
    main->btInizia->click();
    EXPECT_TRUE(editorShown);
    EXPECT_TRUE(main->btInizia->isEnabled());
}

TEST_F(MainWindow, QuazoInTheEditorRevealsThePageSource)
{
    RevealPageSourceThroughEditor();
    EXPECT_TRUE(main->DisplayMemo->isVisible());
    main->hide();
}

TEST_F(MainWindow, BugReportWindowIsMadeForEachUse)
{
    for (auto open : {std::function<void()>([&] { main->sbBug->click(); }),
                      std::function<void()>([&] { main->Segnalabug1->trigger(); })}) {
        bool shown = false;
        QTimer::singleShot(0, &scope, [&] {
            if (auto *bug = main->findChild<TfrmBug *>()) {
                shown = bug->isVisible();
                bug->sbScrivici->click();
                bug->sbEsci->click();
            }
        });
        open();
        EXPECT_TRUE(shown);
        EXPECT_EQ(main->findChild<TfrmBug *>(), nullptr);
    }
    EXPECT_EQ(shell.Targets().size(), 2);
    EXPECT_TRUE(
        shell.Targets()[0].startsWith("mailto:supporto@dudirirada.example?subject=Bug: T4V_Quorvi, 04.2003-10"));
}
