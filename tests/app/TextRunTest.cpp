#include "tests/app/AppFixture.h"

#include "tests/support/NginxFixture.h"
#include "tests/support/ScriptedServer.h"

#include "lists/Liste.h"

#include <QLineEdit>
#include <QPlainTextEdit>

namespace {
const QString kReport = QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?");

QByteArray Entry(const std::string &hostPort, const char *path, int count)
{
    return QByteArray("Sito=") + QByteArray::fromStdString(hostPort) + path + " Num=" + QByteArray::number(count) +
           "\r\n";
}
} // namespace

class TextRun : public AppFixture {};

TEST_F(TextRun, TwoEntriesAgainstNginx)
{
    std::unique_ptr<NginxServer> nginx;
    try {
        nginx = std::make_unique<NginxServer>();
    } catch (const std::exception &e) {
        FAIL() << "nginx not available: " << e.what();
    }
    nginx->Serve("alfa.html", "<html>\r\nalfa\r\n</html>");
    nginx->Serve("beta.html", "beta\n");
    const std::string host = "127.0.0.1:" + nginx->PortText().toStdString();
    LoadList("mia.tvx", Entry(host, "/alfa.html", 2) + Entry(host, "/beta.html", 1));

    QStringList pageAfterFirst;
    main->PrimaDellaVisita = [&](const QString &) {
        if (pageAfterFirst.isEmpty() && main->RigheLog().contains(QString::fromStdString(host) + "/alfa.html...fatto."))
            pageAfterFirst = main->RigheCodice();
    };
    boxes.ExpectQuestion(kReport, true);
    main->btIniziaClick();

    const QString alfa = QString::fromStdString(host) + "/alfa.html";
    const QString beta = QString::fromStdString(host) + "/beta.html";
    const QStringList log = SplitLines(DecodeAnsi(folder.Read("LogQuorvi.txt")));
    ASSERT_EQ(log.size(), 12);
    EXPECT_EQ(log.mid(0, 11), (QStringList{"", "Inizio di 1 multi accessi in:", alfa, "Multi accesso numero 1",
                                           alfa + "...fatto.", "Multi accesso numero 2", alfa + "...fatto.", beta,
                                           "Multi accesso numero 1", beta + "...fatto.", ""}));
    // The page's last line is shown whole although it has no line end.
    EXPECT_EQ(pageAfterFirst, (QStringList{"<html>", "alfa", "</html>"}));
    EXPECT_EQ(main->RigheCodice(), QStringList{"beta"});
    int alfaHits = 0, betaHits = 0;
    for (const QString &line : nginx->AccessLog()) {
        alfaHits += line.contains("GET /alfa.html HTTP/1.0");
        betaHits += line.contains("GET /beta.html HTTP/1.0");
    }
    EXPECT_EQ(alfaHits, 2);
    EXPECT_EQ(betaHits, 1);
    EXPECT_EQ(main->AccessiFalliti, 0);
}

TEST_F(TextRun, ProxyFromTheOptionsWindowAtEveryVisit)
{
    ScriptedServer proxy({ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nuno"),
                          ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\ndue")});
    LoadList("mia.tvx", "Sito=www.alfa.example/p.htm Num=2\r\n");
    w.opzioni->editProxy->setText(QString::fromStdString(proxy.HostPort()));
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    ASSERT_TRUE(proxy.WaitFinished(2));
    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string &r : requests)
        EXPECT_EQ(r.substr(0, r.find("\r\n")), "GET http://www.alfa.example/p.htm HTTP/1.0");
    EXPECT_EQ(main->AccessiFalliti, 0);
}

TEST_F(TextRun, NotFoundCountsAsFailureAndLeavesThePageSourceEmpty)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("HTTP/1.0 404 Not Found\r\n\r\n<html>nope</html>")});
    LoadList("mia.tvx", Entry(server.HostPort(), "/x", 1));
    QStringList log;
    boxes.ExpectQuestion(kReport, false, [&] { log = main->RigheLog(); });
    main->btIniziaClick();
    EXPECT_EQ(log.last(), QString::fromStdString(server.HostPort()) + "/x...errore.");
    EXPECT_EQ(main->AccessiFalliti, 1);
    EXPECT_TRUE(main->RigheCodice().isEmpty());
}

TEST_F(TextRun, InterruptDuringAVisitToASilentServer)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Hold()});
    LoadList("mia.tvx", Entry(server.HostPort(), "/muto", 3));
    w.opzioni->cbTimerOut->setChecked(false);
    main->PrimaDellaVisita = [&](const QString &) {
        QTimer::singleShot(100, &scope, [&] { main->sbInterrompi->click(); });
    };
    main->btIniziaClick();
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(main->AccessiFalliti, 1);
    EXPECT_EQ(main->RigheLog(), QStringList{"Si sono verificati errori."});
    EXPECT_FALSE(main->InEsecuzione());
}

TEST_F(TextRun, TimeOutAbortsTheVisitAndTheRunGoesOn)
{
    ScriptedServer server(
        {ConnectionScript().ReadRequest().Hold(), ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nok")});
    LoadList("mia.tvx", Entry(server.HostPort(), "/lento", 2));
    main->TimerOut->setInterval(100);
    QStringList log;
    boxes.ExpectQuestion(kReport, false, [&] { log = main->RigheLog(); });
    main->btIniziaClick();
    const QString site = QString::fromStdString(server.HostPort()) + "/lento";
    EXPECT_EQ(log.mid(4), (QStringList{site + "...errore.", "Multi accesso numero 2", site + "...fatto."}));
    EXPECT_EQ(main->AccessiFalliti, 1);
    EXPECT_FALSE(main->TimerOut->isActive());
}

TEST(StreamInMemoTest, LinesOfThePage)
{
    QPlainTextEdit memo;
    TMemoryStream stream;
    TfrmMain::StreamInMemo(&memo, stream);
    EXPECT_TRUE(memo.toPlainText().isEmpty());
    const std::string page = "a\r\nb\rc\nd\xE8";
    stream.Write(page.data(), int(page.size()));
    TfrmMain::StreamInMemo(&memo, stream);
    EXPECT_EQ(memo.toPlainText(), QStringLiteral("a\nb\nc\ndè"));
}

TEST_F(TextRun, HiddenPageSourceIsShownWhenRevealed)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nuno\r\ndue\xE8"),
                           ConnectionScript().ReadRequest().Send("HTTP/1.0 404 Not Found\r\n\r\nnope")});
    LoadList("mia.tvx", Entry(server.HostPort(), "/p", 1) + Entry(server.HostPort(), "/q", 1));
    QStringList afterFirst;
    main->PrimaDellaVisita = [&](const QString &url) {
        if (url.endsWith("/q"))
            afterFirst = main->RigheCodice();
    };
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    // The page of a good visit is there, one of a failed visit is not.
    EXPECT_EQ(afterFirst, (QStringList{"uno", QStringLiteral("due\u00E8")}));
    EXPECT_TRUE(main->RigheCodice().isEmpty());

    // A good visit last: revealing the memo puts its page in.
    ScriptedServer again({ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\ntre\nquattro")});
    LoadList("mia.tvx", Entry(again.HostPort(), "/r", 1));
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(main->RigheCodice(), (QStringList{"tre", "quattro"}));
    const int heightBefore = main->height();
    RevealPageSourceThroughEditor();
    EXPECT_TRUE(main->DisplayMemo->isVisible());
    // It has room of its own: the log and the preview stay in view beside it,
    // inside a window grown to hold it and still of fixed size.
    const auto inWindow = [&](QWidget *x) { return QRect(x->mapTo(main, QPoint(0, 0)), x->size()); };
    for (QWidget *other : std::initializer_list<QWidget *>{main->MemoLogOperazio, main->MemoLista, main->pnlPulsanti}) {
        EXPECT_TRUE(other->isVisible()) << other->objectName().toStdString();
        EXPECT_FALSE(inWindow(main->DisplayMemo).intersects(inWindow(other))) << other->objectName().toStdString();
    }
    EXPECT_TRUE(main->centralWidget()->rect().contains(main->DisplayMemo->geometry()));
    EXPECT_GT(main->height(), heightBefore + 100);
    EXPECT_EQ(main->minimumSize(), main->maximumSize());
    EXPECT_EQ(main->DisplayMemo->toPlainText(), "tre\nquattro");
    EXPECT_EQ(main->RigheCodice(), (QStringList{"tre", "quattro"}));

    // Once shown, later pages go straight into the memo.
    ScriptedServer third({ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\ncinque")});
    LoadList("mia.tvx", Entry(third.HostPort(), "/s", 1));
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(main->DisplayMemo->toPlainText(), "cinque");
    main->hide();
}

TEST_F(TextRun, TheLogOnScreenCatchesUpAndTheWindowDrawsNormallyAfterwards)
{
    std::vector<ConnectionScript> scripts;
    for (int i = 0; i < 3; ++i)
        scripts.push_back(ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nok"));
    ScriptedServer server(scripts);
    LoadList("mia.tvx", Entry(server.HostPort(), "/p", 3));
    main->show();
    bool drawnNormallyDuringVisits = false;
    main->PrimaDellaVisita = [&](const QString &) { drawnNormallyDuringVisits |= main->updatesEnabled(); };
    QString screenAtQuestion;
    QStringList logAtQuestion;
    bool drawnNormallyAtQuestion = false;
    boxes.ExpectQuestion(kReport, false, [&] {
        screenAtQuestion = main->MemoLogOperazio->toPlainText();
        logAtQuestion = main->RigheLog();
        drawnNormallyAtQuestion = main->updatesEnabled();
    });
    main->btIniziaClick();
    EXPECT_FALSE(drawnNormallyDuringVisits);
    EXPECT_TRUE(drawnNormallyAtQuestion);
    ASSERT_EQ(logAtQuestion.size(), 9);
    // Every line, empty ones included, is on screen when the run ends.
    EXPECT_EQ(screenAtQuestion, logAtQuestion.join('\n'));
    EXPECT_EQ(main->MemoLogOperazio->toPlainText(), "Multi accesso completato.");
    EXPECT_TRUE(main->updatesEnabled());
    main->hide();
}
