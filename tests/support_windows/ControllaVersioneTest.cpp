#include "support/ControllaVersione.h"
#include "support/About.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include "platform/ui/Guard.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

const QString kDomanda =
    "Per eseguire il controllo di evetuali nuove versioni bisogna essere connessi ad internet, continuo?";
const QString kErrore = "Impossibile accedere al server per controllare eventuali aggiornamenti disponibili, "
                        "riprovare in un secondo momento.";
const QString kInCorso = "Controllo versione in corso...";

class RecordingBrowser : public BrowserControl {
public:
    explicit RecordingBrowser(QStringList &navigated) : navigated_(navigated) {}
    void Navigate(const QString &url) override { navigated_.append(url); }
    void Stop() override {}
    int LastLoadStatus() const override { return 0; }
    QString LastLoadError() const override { return {}; }

private:
    QStringList &navigated_;
};

ConnectionScript Reply(const std::string &status, const std::string &body)
{
    return ConnectionScript().ReadRequest().Send("HTTP/1.0 " + status + "\r\nContent-Type: text/html\r\n\r\n" + body);
}

// The site stands in on a port of its own, which Host names.
std::string ExpectedRequest(const ScriptedServer &site)
{
    return "GET /index.php?show=ctrlvers&prg=T4V_Quorvi HTTP/1.0\r\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
           "User-Agent: Mozilla/3.0 (compatible)\r\nHost: " +
           site.HostPort() + "\r\n\r\n";
}

QColor TextColour(const QLabel *label)
{
    return label->palette().color(QPalette::WindowText);
}

// One window against one loopback server, with the boxes scripted and the
// download recorded instead of made.
class VersionCheck : public ::testing::Test {
protected:
    void Start(std::vector<ConnectionScript> scripts)
    {
        server = std::make_unique<ScriptedServer>(std::move(scripts));
        TFrmControllaVersione::SetSitoPerTest(QString::fromStdString(server->HostPort()));
        w = std::make_unique<TFrmControllaVersione>(&about, nullptr, std::make_unique<RecordingBrowser>(navigated));
    }
    void TearDown() override
    {
        boxes.Verify();
        w.reset();
        TFrmControllaVersione::SetSitoPerTest(QString());
    }

    // Shows the window and waits until the opening question, and the check it
    // may start, are over.
    void ShowAndSettle()
    {
        w->show();
        EXPECT_TRUE(PumpUntil([&] { return boxes.AllShown() && w->sbControlla->isEnabled(); }));
    }

    BoxScript boxes;
    TFrmAbout about;
    QStringList navigated;
    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<TFrmControllaVersione> w;
};

} // namespace

TEST_F(VersionCheck, LayoutAndAddresses)
{
    Start({});
    EXPECT_EQ(w->windowTitle(), "Controllo eventuali aggiornamenti disponibili");
    EXPECT_EQ(w->size(), QSize(392, 81));
    EXPECT_EQ(w->minimumSize(), w->maximumSize());
    EXPECT_TRUE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w->windowFlags() & Qt::WindowSystemMenuHint);

    struct Row {
        const char *name;
        QPoint pos;
        bool bold;
        QString text;
        QString tip;
    };
    const Row rows[] = {
        {"Label1", {5, 6}, true, "Versione attuale", ""},
        {"LabVerAttuale", {5, 22}, false, "", ""},
        {"Label2", {209, 8}, true, "Versione disponibile su internet", ""},
        {"LabVerInternet", {212, 24}, false, "", ""},
        {"LabMessaggioGrande", {5, 37}, true, kInCorso, ""},
        {"LabMessaggioPiccolo", {6, 61}, false, "", ""},
        {"sbScarica",
         {196, 56},
         true,
         "Scarica",
         "http://" + QString::fromStdString(server->HostPort()) + "/prg/quorvi.exe"},
        {"sbControlla", {278, 56}, true, "Controlla", "Controlla versione"},
        {"sbEsci", {360, 57}, false, "", "Esci senza salvare le modifiche"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto *control = w->findChild<QWidget *>(row.name);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->pos(), row.pos);
        EXPECT_EQ(control->font().bold(), row.bold);
        EXPECT_EQ(control->toolTip(), row.tip);
        if (auto *label = qobject_cast<QLabel *>(control)) {
            EXPECT_EQ(label->text(), row.text);
        }
        if (auto *button = qobject_cast<QToolButton *>(control)) {
            EXPECT_EQ(button->text(), row.text);
            EXPECT_FALSE(button->icon().isNull());
        }
    }
    EXPECT_EQ(w->sbScarica->size(), QSize(80, 21));
    EXPECT_EQ(w->sbEsci->size(), QSize(25, 20));
    EXPECT_EQ(w->LabMessaggioGrande->size(), QSize(378, 25));
    EXPECT_EQ(w->LabMessaggioGrande->font().pixelSize(), 16);
    EXPECT_FALSE(w->sbScarica->isEnabled());
    for (const char *hidden : {"DisplayMemo", "ListURL", "Editurl"}) {
        SCOPED_TRACE(hidden);
        auto *control = w->findChild<QWidget *>(hidden);
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->isHidden());
    }
    EXPECT_EQ(w->Editurl->text(), w->sbScarica->toolTip());
    EXPECT_EQ(w->IndirizzoRichiesta(),
              "http://" + QString::fromStdString(server->HostPort()) + "/index.php?show=ctrlvers&prg=T4V_Quorvi");
}

TEST_F(VersionCheck, VerdictForTheVersionOnTheSite)
{
    const QColor green(0, 128, 0), red(255, 0, 0);
    const QString newer = "Disponibile una nuove versione!!", none = "Nessuna nuova versione disponibile.";
    const QString press = "Premi su scarica e chiudi il programma.",
                  cannot = "Impossibile scaricare la nuova versione.";
    struct Row {
        const char *name;
        QString ownVersion;
        std::string body;
        QString shown;
        QString big;
        QColor colour;
        QString small;
        bool download;
    };
    const Row rows[] = {
        {"newer", "04.2003-10", "<html>\r\n<b>Versione - 11</b>\r\n</html>\r\n", "11", newer, green, press, true},
        {"equal", "04.2003-10", "<p>Versione - 10</p>", "10", none, red, cannot, false},
        {"lower, no blanks", "04.2003-10", "<p>Versione-9</p>", "9", none, red, cannot, false},
        {"number on the line after the marker", "04.2003-10", "Versione\n- 12<br>\n", "12", newer, green, press, true},
        {"lone CR line ends", "04.2003-10", "x\rVersione\r-13<\r", "13", newer, green, press, true},
        {"no version in the reply", "04.2003-10", "<html>pagina</html>", "", none, red, cannot, false},
        {"blank before the tag", "04.2003-10", "Versione - 14 <br>", "", none, red, cannot, false},
        {"negative number", "04.2003-10", "Versione --3<", "", none, red, cannot, false},
        {"site version 0", "04.2003-10", "Versione - 0<", "0", none, red, cannot, false},
        {"own version read from the about window", "04.2003-12", "Versione - 11<", "11", none, red, cannot, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        about.LabelVers->setText(row.ownVersion);
        Start({Reply("200 OK", row.body)});
        boxes.ExpectQuestion(kDomanda, true);
        ShowAndSettle();

        EXPECT_EQ(w->LabVerAttuale->text(), row.ownVersion.mid(8));
        EXPECT_EQ(w->LabVerInternet->text(), row.shown);
        EXPECT_EQ(w->LabMessaggioGrande->text(), row.big);
        EXPECT_EQ(TextColour(w->LabMessaggioGrande), row.colour);
        EXPECT_EQ(w->LabMessaggioPiccolo->text(), row.small);
        EXPECT_EQ(w->sbScarica->isEnabled(), row.download);
        EXPECT_FALSE(w->Fallito());
        EXPECT_TRUE(w->DisplayMemo->toPlainText().isEmpty());
        ASSERT_TRUE(server->WaitFinished(1));
        EXPECT_EQ(server->Requests(), std::vector<std::string>{ExpectedRequest(*server)});
        boxes.Verify();
        w.reset();
    }
}

TEST_F(VersionCheck, FailedRequestKeepsTheRunningMessage)
{
    struct Row {
        const char *name;
        ConnectionScript script;
    };
    const Row rows[] = {
        {"not found, with a version in the error page", Reply("404 Not Found", "Versione - 99<")},
        {"server error", Reply("500 Internal Server Error", "")},
        {"closed before any reply", ConnectionScript().ReadRequest().Close()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Start({row.script});
        boxes.ExpectQuestion(kDomanda, true);
        boxes.ExpectError(kErrore);
        ShowAndSettle();

        EXPECT_TRUE(w->Fallito());
        EXPECT_EQ(w->LabVerInternet->text(), "Non disponibile");
        EXPECT_EQ(w->LabMessaggioPiccolo->text(), "Impossibile scaricare la nuova versione");
        EXPECT_EQ(w->LabMessaggioGrande->text(), kInCorso);
        EXPECT_EQ(TextColour(w->LabMessaggioGrande), QColor(Qt::black));
        EXPECT_FALSE(w->sbScarica->isEnabled());
        EXPECT_TRUE(w->sbControlla->isEnabled());
        EXPECT_EQ(w->ListURL->count(), 0);
        boxes.Verify();
        w.reset();
    }
}

TEST_F(VersionCheck, RetryAfterAFailureShowsTheVerdict)
{
    Start({Reply("404 Not Found", ""), Reply("200 OK", "Versione - 11<")});
    boxes.ExpectQuestion(kDomanda, true);
    boxes.ExpectError(kErrore);
    ShowAndSettle();
    ASSERT_TRUE(w->Fallito());

    w->sbControlla->click();
    EXPECT_FALSE(w->Fallito());
    EXPECT_EQ(w->LabVerInternet->text(), "11");
    EXPECT_EQ(TextColour(w->LabMessaggioGrande), QColor(0, 128, 0));
    EXPECT_TRUE(w->sbScarica->isEnabled());
}

TEST_F(VersionCheck, NoToTheQuestionWaitsForControlla)
{
    Start({Reply("200 OK", "Versione - 10<")});
    boxes.ExpectQuestion(kDomanda, false);
    ShowAndSettle();
    EXPECT_EQ(w->LabMessaggioGrande->text(), "");
    EXPECT_EQ(w->LabVerAttuale->text(), "10");
    EXPECT_EQ(w->LabVerInternet->text(), "");
    // Nothing may have reached the server meanwhile.
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(server->Connections(), 0);

    // Showing or activating the window again asks nothing more.
    w->hide();
    w->show();
    w->activateWindow();
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(boxes.Shown().size(), 1u);

    w->sbControlla->click();
    EXPECT_EQ(server->Connections(), 1);
    EXPECT_EQ(w->LabVerInternet->text(), "10");
    EXPECT_EQ(w->LabMessaggioGrande->text(), "Nessuna nuova versione disponibile.");
}

TEST_F(VersionCheck, DownloadGoesToTheBrowserControl)
{
    Start({Reply("200 OK", "Versione - 11<")});
    boxes.ExpectQuestion(kDomanda, true);
    ShowAndSettle();
    ASSERT_TRUE(w->sbScarica->isEnabled());
    w->sbScarica->click();
    EXPECT_FALSE(w->sbScarica->isEnabled());
    EXPECT_EQ(navigated, QStringList{"http://" + QString::fromStdString(server->HostPort()) + "/prg/quorvi.exe"});
}

// A request the server never answers: leaving the window, whichever way,
// aborts it, the failure is told, and the window closes.
TEST_F(VersionCheck, LeavingDuringAnUnansweredRequest)
{
    struct Row {
        const char *name;
        std::function<void(TFrmControllaVersione &)> leave;
    };
    const Row rows[] = {
        {"Esci", [](TFrmControllaVersione &w) { w.sbEsci->click(); }},
        {"title bar", [](TFrmControllaVersione &w) { w.close(); }},
        {"Escape", [](TFrmControllaVersione &w) { w.reject(); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Start({ConnectionScript().ReadRequest().Hold()});
        boxes.ExpectQuestion(kDomanda, true);
        bool visibleDuringError = true;
        boxes.ExpectError(kErrore, [&] { visibleDuringError = w->isVisible(); });

        // Leaves once the request has arrived; a guard ends a request that
        // nothing else ended, so a fault fails instead of hanging.
        bool left = false, guardFired = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            RunGuarded([&] {
                if (!left && server->Requests().size() == 1 && server->Requests()[0] == ExpectedRequest(*server)) {
                    left = true;
                    row.leave(*w);
                }
            });
        });
        poll.start(10);
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            guardFired = true;
            w->HttpCli1.Abort();
        });
        guard.start(5000);

        const int result = w->exec();
        poll.stop();
        guard.stop();
        EXPECT_TRUE(left);
        EXPECT_FALSE(guardFired);
        EXPECT_EQ(result, QDialog::Rejected);
        EXPECT_FALSE(w->isVisible());
        EXPECT_FALSE(visibleDuringError);
        EXPECT_TRUE(w->Fallito());
        EXPECT_EQ(w->LabVerInternet->text(), "Non disponibile");
        // The held connection ends only when the client closes it.
        EXPECT_TRUE(server->WaitFinished(1));
        boxes.Verify();
        w.reset();
    }
}
