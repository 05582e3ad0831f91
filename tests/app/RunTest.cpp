#include "tests/app/AppFixture.h"

#include "platform/TextCodec.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>

namespace {
const QString kReport = QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?");
const QString kPause = QStringLiteral("Stato di pausa, per riprendere la scansione premere OK.");
QString Warning(int n)
{
    return QStringLiteral("Si sono verificati più di accessi %1 non riusciti, interrompo l'operazione?").arg(n);
}
} // namespace

class Run : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        GraphicMode();
    }
    void ExpectIdle()
    {
        EXPECT_FALSE(main->InEsecuzione());
        EXPECT_TRUE(main->btInizia->isEnabled());
        EXPECT_TRUE(main->BtEsci->isEnabled());
        EXPECT_TRUE(main->BoxElencoListe->isEnabled());
        EXPECT_TRUE(main->MemoLista->isEnabled());
        EXPECT_TRUE(main->sbGestListe->isEnabled());
        EXPECT_TRUE(main->AggiornaVersione1->isEnabled());
        EXPECT_FALSE(main->sbPausa->isEnabled());
        EXPECT_FALSE(main->sbInterrompi->isEnabled());
        EXPECT_EQ(Preview(), QStringList{"Vuota..."});
        EXPECT_EQ(main->LabelListaProvenienza->text(), "Nessuna");
        EXPECT_EQ(main->LabelVolte->text(), "1");
        EXPECT_EQ(main->LabelSito->text(), "");
        EXPECT_EQ(main->StatusBar->currentMessage(), "Pronto per nuovo quorvi.");
        EXPECT_FALSE(main->CorsaInMano().Interrotto);
        EXPECT_EQ(main->PrgBar1->value(), 0);
    }
};

TEST_F(Run, TwoEntriesLogLineByLineAndWriteTheLogFile)
{
    LoadList("mia.tvx", "Sito=alfa Num=2\r\nSito=beta Num=1\r\n");
    QList<int> previewSizes;
    bool runningState = false;
    main->PrimaDellaVisita = [&](const QString &) {
        previewSizes << main->MemoLista->count();
        runningState = !main->btInizia->isEnabled() && main->sbInterrompi->isEnabled() &&
                       !main->AggiornaVersione1->isEnabled() && !main->BtEsci->isEnabled();
    };
    QString statusAtEnd;
    boxes.ExpectQuestion(kReport, true, [&] { statusAtEnd = main->StatusBar->currentMessage(); });
    main->btInizia->click();

    EXPECT_EQ(fake->navigated, (QStringList{"http://alfa", "http://alfa", "http://beta"}));
    EXPECT_EQ(previewSizes, (QList<int>{2, 2, 1}));
    EXPECT_TRUE(runningState);
    EXPECT_EQ(statusAtEnd, "Accesso n. 1 di 1 totali");

    const QStringList log = SplitLines(DecodeAnsi(folder.Read("LogQuorvi.txt")));
    ASSERT_EQ(log.size(), 12);
    EXPECT_EQ(log.mid(0, 11), (QStringList{"", "Inizio di 1 multi accessi in:", "alfa", "Multi accesso numero 1",
                                           "alfa...fatto.", "Multi accesso numero 2", "alfa...fatto.", "beta",
                                           "Multi accesso numero 1", "beta...fatto.", ""}));
    EXPECT_TRUE(log[11].startsWith("Multi accesso eseguito in data ")) << log[11].toStdString();
    EXPECT_TRUE(log[11].contains(" concluso alle ore "));
    // Written whole, every line ended by CR LF.
    const QByteArray bytes = folder.Read("LogQuorvi.txt");
    EXPECT_TRUE(bytes.startsWith("\r\nInizio di 1 multi accessi in:\r\nalfa\r\n"));
    EXPECT_TRUE(bytes.endsWith("\r\n"));
    EXPECT_EQ(bytes.count("\r\n"), 12);
    EXPECT_EQ(bytes.count('\n'), 12);
    EXPECT_EQ(shell.Targets(), QStringList{folder.File("LogQuorvi.txt")});
    EXPECT_EQ(main->RigheLog(), QStringList{"Multi accesso completato."});
    ExpectIdle();
}

TEST_F(Run, ClickedEntryCountOpensTheLog)
{
    LoadList("mia.tvx", "Sito=alfa Num=7\r\n");
    main->MemoLista->setCurrentRow(0);
    main->MemoListaClick();
    fake->onNavigate = [&](const QString &) {
        if (fake->navigated.size() == 1) {
            EXPECT_EQ(main->RigheLog().mid(0, 2), (QStringList{"", "Inizio di 7 multi accessi in:"}));
        }
    };
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 7);
}

TEST_F(Run, FailureWarningComesEveryTenFailures)
{
    LoadList("mia.tvx", "Sito=alfa Num=15\r\nSito=beta Num=20\r\n");
    fake->failNext = 1000;
    int visitsAtFirstWarning = -1, visitsAtSecondWarning = -1;
    boxes.ExpectQuestion(Warning(10), false, [&] { visitsAtFirstWarning = fake->navigated.size(); });
    boxes.ExpectQuestion(Warning(10), true, [&] { visitsAtSecondWarning = fake->navigated.size(); });
    main->btIniziaClick();
    EXPECT_EQ(visitsAtFirstWarning, 10);
    EXPECT_EQ(visitsAtSecondWarning, 20);
    // The visit in hand when Yes was answered still takes place; nothing after it.
    EXPECT_EQ(fake->navigated.size(), 21);
    EXPECT_EQ(main->RigheLog(), QStringList{"Si sono verificati errori."});
    EXPECT_FALSE(QFile::exists(folder.File("LogQuorvi.txt")));
    ExpectIdle();
}

TEST_F(Run, TenFailuresAtTheVeryEndGiveNoWarning)
{
    LoadList("mia.tvx", "Sito=alfa Num=10\r\n");
    fake->failNext = 10;
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(main->AccessiFalliti, 10);
    EXPECT_EQ(main->RigheLog(), QStringList{"Multi accesso completato."});
}

TEST_F(Run, NoWarningWhenSwitchedOff)
{
    w.opzioni->cbAvvisaDopo10->setChecked(false);
    LoadList("mia.tvx", "Sito=alfa Num=25\r\n");
    fake->failNext = 25;
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 25);
}

TEST_F(Run, PauseDuringTheLastVisitIsHonouredInTheNextRun)
{
    LoadList("mia.tvx", "Sito=alfa Num=1\r\n");
    fake->onNavigate = [&](const QString &) { main->sbPausa->click(); };
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_TRUE(main->CorsaInMano().PausaRichiesta);

    fake->onNavigate = {};
    LoadList("mia.tvx", "Sito=alfa Num=1\r\n");
    int visitsWhilePaused = -1;
    boxes.ExpectInfo(kPause, [&] { visitsWhilePaused = fake->navigated.size(); });
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(visitsWhilePaused, 1);
    EXPECT_EQ(fake->navigated.size(), 2);
    EXPECT_FALSE(main->CorsaInMano().PausaRichiesta);
}

TEST_F(Run, InterruptWhileThePauseMessageIsUp)
{
    LoadList("mia.tvx", "Sito=alfa Num=3\r\nSito=beta Num=2\r\n");
    main->sbPausaClick();
    boxes.ExpectInfo(kPause, [&] {
        ASSERT_TRUE(main->sbInterrompi->isEnabled());
        main->sbInterrompi->click();
    });
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated, QStringList{"http://alfa"});
    EXPECT_EQ(main->RigheLog(), QStringList{"Si sono verificati errori."});
    ExpectIdle();
}

TEST_F(Run, CountZeroIsLoggedAndRemovedWithoutVisits)
{
    LoadList("mia.tvx", "Sito=zero Num=0\r\nSito=uno Num=1\r\n");
    QStringList logAtEnd;
    boxes.ExpectQuestion(kReport, false, [&] { logAtEnd = main->RigheLog(); });
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated, QStringList{"http://uno"});
    EXPECT_EQ(logAtEnd, (QStringList{"", "Inizio di 1 multi accessi in:", "zero", "uno", "Multi accesso numero 1",
                                     "uno...fatto."}));
}

TEST_F(Run, ReportDeclinedWritesNoFile)
{
    folder.Write("LogQuorvi.txt", "vecchio");
    LoadList("mia.tvx", "Sito=alfa Num=1\r\n");
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(folder.Read("LogQuorvi.txt"), QByteArray("vecchio"));
    EXPECT_TRUE(shell.Targets().isEmpty());
    EXPECT_EQ(main->MemoLogOperazio->toPlainText(), "Multi accesso completato.");
}

TEST_F(Run, CompletionBetweenVisitsEndsTheNextWaitAtOnce)
{
    LoadList("mia.tvx", "Sito=alfa Num=2\r\n");
    bool rescued = false;
    main->PrimaDellaVisita = [&](const QString &) {
        if (fake->navigated.size() == 1) {
            // A late report of the first page arrives after its flag was cleared;
            // the second page itself never reports.
            fake->Complete("late");
            fake->completeOnNavigate = false;
            // Tied to the window, so it cannot fire into a later test.
            QTimer::singleShot(5000, main, [&] {
                rescued = true;
                fake->Complete("rescue");
            });
        }
    };
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 2);
    EXPECT_FALSE(rescued);
}

TEST_F(Run, FailedNavigationDoesNotWaitAndCounts)
{
    LoadList("mia.tvx", "Sito=alfa Num=2\r\n");
    fake->failNext = 1;
    fake->completeOnNavigate = true;
    QStringList log;
    boxes.ExpectQuestion(kReport, false, [&] { log = main->RigheLog(); });
    main->btIniziaClick();
    EXPECT_EQ(log.mid(4), (QStringList{"alfa...errore.", "Multi accesso numero 2", "alfa...fatto."}));
    EXPECT_EQ(main->AccessiFalliti, 1);
}

// Judged by how the page ended, not by the navigation having started; the
// log line comes once the page has ended.
TEST_F(Run, PageThatDoesNotLoadIsAFailedVisit)
{
    LoadList("mia.tvx", "Sito=alfa Num=3\r\n");
    fake->onNavigate = [&](const QString &) {
        fake->loadError = fake->navigated.size() == 2 ? QStringLiteral("connessione rifiutata") : QString();
    };
    QStringList log;
    boxes.ExpectQuestion(kReport, false, [&] { log = main->RigheLog(); });
    main->btIniziaClick();
    EXPECT_EQ(log.mid(3), (QStringList{"Multi accesso numero 1", "alfa...fatto.", "Multi accesso numero 2",
                                       "alfa...errore.", "Multi accesso numero 3", "alfa...fatto."}));
    EXPECT_EQ(main->AccessiFalliti, 1);
}

TEST_F(Run, InterruptStopsAPageThatNeverCompletes)
{
    w.opzioni->cbTimerOut->setChecked(false);
    LoadList("mia.tvx", "Sito=alfa Num=3\r\n");
    fake->completeOnNavigate = false;
    fake->onNavigate = [&](const QString &) { QTimer::singleShot(10, &scope, [&] { main->sbInterrompi->click(); }); };
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 1);
    EXPECT_EQ(fake->stops, 1);
    ExpectIdle();
}

TEST_F(Run, TimeOutStopsTheControlAndRepeats)
{
    LoadList("mia.tvx", "Sito=alfa Num=1\r\n");
    main->TimerOut->setInterval(20);
    fake->completeOnNavigate = false;
    int stopsBeforeComplete = 0;
    fake->onNavigate = [&](const QString &) {
        // The timer keeps firing while the page does not report; the test lets
        // the page complete after the third stop.
        QTimer *watch = new QTimer(main);
        watch->setInterval(5);
        QObject::connect(watch, &QTimer::timeout, [&, watch] {
            if (fake->stops >= 3) {
                stopsBeforeComplete = fake->stops;
                watch->deleteLater();
                fake->Complete("done");
            }
        });
        watch->start();
    };
    fake->stopCompletes = false;
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_GE(stopsBeforeComplete, 3);
    EXPECT_FALSE(main->TimerOut->isActive());
}

TEST_F(Run, BandwidthWaitsBeforeEachVisit)
{
    LoadList("mia.tvx", "Sito=alfa Num=2\r\n");
    w.opzioni->TrackBarBanda->setValue(0);
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{10000, 10000}));
    waits.clear();
    LoadList("mia.tvx", "Sito=alfa Num=1\r\n");
    w.opzioni->TrackBarBanda->setValue(1);
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{5000}));
}

TEST_F(Run, BandwidthPauseKeepsTheWindowAliveAndAnswersAtOnce)
{
    main->show();
    LoadList("mia.tvx", "Sito=alfa Num=2\r\n");
    w.opzioni->TrackBarBanda->setValue(0);
    waitFor = [](std::uint32_t ms) { return ms; }; // the real ten seconds
    struct Paints : QObject {
        int count = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            count += e->type() == QEvent::Paint;
            return false;
        }
    } paints;
    main->installEventFilter(&paints);
    QElapsedTimer clock;
    clock.start();
    int paintsBeforePause = -1;
    bool visitedBeforePause = true;
    QTimer::singleShot(300, main, [&] { main->sbPausa->click(); });
    boxes.ExpectInfo(kPause, [&] {
        paintsBeforePause = paints.count;
        visitedBeforePause = !fake->navigated.isEmpty();
        main->sbInterrompi->click();
    });
    main->btIniziaClick();
    // Pausa answered during the wait, the window was drawn meanwhile, and
    // Interrompi ended the run there, without that visit.
    EXPECT_FALSE(visitedBeforePause);
    EXPECT_GT(paintsBeforePause, 0);
    EXPECT_TRUE(fake->navigated.isEmpty());
    EXPECT_LT(clock.elapsed(), 9000);
    EXPECT_EQ(main->RigheLog(), QStringList{"Si sono verificati errori."});
    ExpectIdle();
    main->removeEventFilter(&paints);
    main->hide();
}

TEST_F(Run, AShortRunIsDrawnBeforeTheQuestion)
{
    main->show();
    LoadList("mia.tvx", "Sito=alfa Num=2\r\n");
    struct LastPaint : QObject {
        QPlainTextEdit *memo = nullptr;
        QString shown;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                shown = memo->toPlainText();
            return false;
        }
    } paint;
    paint.memo = main->MemoLogOperazio;
    main->MemoLogOperazio->viewport()->installEventFilter(&paint);
    QString drawnAtQuestion;
    int barAtQuestion = -1;
    boxes.ExpectQuestion(kReport, false, [&] {
        drawnAtQuestion = paint.shown;
        barAtQuestion = main->PrgBar1->value();
    });
    main->btIniziaClick();
    EXPECT_EQ(drawnAtQuestion, "\nInizio di 1 multi accessi in:\nalfa\nMulti accesso numero 1\nalfa...fatto.\n"
                               "Multi accesso numero 2\nalfa...fatto.");
    EXPECT_EQ(barAtQuestion, 2) << "the bar is full when the question comes";
    main->MemoLogOperazio->viewport()->removeEventFilter(&paint);
    main->hide();
}

TEST_F(Run, MalformedEntryIsSkippedWithAWarning)
{
    LoadList("mia.tvx", "Sito=alfa\r\nSito=beta Num=1\r\nSito=gamma Num=x\r\n");
    boxes.ExpectWarning(QStringLiteral("La voce \"Sito=alfa\" (riga 1) non è nel formato corretto e non verrà "
                                       "visitata: manca \" Num=\" con il numero di accessi."));
    boxes.ExpectWarning(QStringLiteral("La voce \"Sito=gamma Num=x\" (riga 3) non è nel formato corretto e non verrà "
                                       "visitata: numero di accessi non valido: \"x\"."));
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated, QStringList{"http://beta"});
    ExpectIdle();
}

TEST_F(Run, RefusedWithoutAList)
{
    folder.Write("mia.tvx", "Sito=alfa Num=1\r\n");
    main->AggiornaElencoListe();
    boxes.ExpectWarning(QStringLiteral(
        "Impossibile iniziare la procedura, la lista dei siti è vuota, selezionare una lista dall'elenco."));
    main->btIniziaClick();
    EXPECT_TRUE(fake->navigated.isEmpty());
    EXPECT_EQ(main->MemoLogOperazio->toPlainText(), "Pronto...");
}

TEST_F(Run, EmptyListFileRunsWithoutVisits)
{
    LoadList("vuota.tvx", "");
    EXPECT_EQ(main->MemoLista->count(), 0);
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_TRUE(fake->navigated.isEmpty());
    ExpectIdle();
}
