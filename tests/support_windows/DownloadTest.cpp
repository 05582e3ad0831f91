#include "app/Main.h"
#include "app/Programma.h"
#include "platform/web/WebBrowser.h"
#include "support/About.h"
#include "support/ControllaVersione.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>

namespace {

// The program file the site hands out, in pieces far enough apart that the
// transfer is still under way when a test acts on it.
ConnectionScript ProgramFile(const std::string &body, std::size_t fragment = 0, int pauseMs = 0)
{
    return ConnectionScript().ReadRequest().Send(
        "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body,
        fragment, pauseMs);
}

std::string SomeBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 + 3);
    return bytes;
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class ChooserScope {
public:
    explicit ChooserScope(SaveFileChooser chooser) { SetSaveFileChooser(std::move(chooser)); }
    ~ChooserScope() { SetSaveFileChooser({}); }
};

} // namespace

TEST(BrowserDownload, SavedWhereTheUserChoosesAndToldWhenDone)
{
    QTemporaryDir dir;
    const std::string body = SomeBytes(200000);
    ScriptedServer server({ProgramFile(body)});
    BoxScript boxes;
    QStringList suggested;
    ChooserScope chooser([&](const QString &path) {
        suggested << path;
        return dir.filePath("quorvi-nuovo.exe");
    });
    boxes.Expect({"T4V_Quorvi", "Download completato: " + QDir::toNativeSeparators(dir.filePath("quorvi-nuovo.exe"))});

    WebBrowser browser;
    browser.SetAcceptDownloads(true);
    browser.Navigate(QString::fromStdString("http://" + server.HostPort() + "/prg/quorvi.exe"));
    ASSERT_TRUE(PumpUntil([&] { return boxes.AllShown(); }, 30000));
    ASSERT_EQ(suggested.size(), 1);
    EXPECT_TRUE(suggested[0].endsWith("/quorvi.exe")) << suggested[0].toStdString();
    EXPECT_EQ(ReadFile(dir.filePath("quorvi-nuovo.exe")), QByteArray::fromStdString(body));
}

TEST(BrowserDownload, RefusedOrNotAcceptedSavesNothing)
{
    struct Row {
        const char *name;
        bool accept;
        bool chooserCalled;
    };
    const Row rows[] = {
        {"user cancels the save dialog", true, true},
        {"control that takes no downloads", false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        ScriptedServer server({ProgramFile(SomeBytes(1000))});
        BoxScript boxes;
        int calls = 0;
        ChooserScope chooser([&](const QString &) {
            ++calls;
            return QString();
        });
        WebBrowser browser;
        browser.SetAcceptDownloads(row.accept);
        bool complete = false;
        browser.OnDocumentComplete = [&](const QString &) { complete = true; };
        browser.Navigate(QString::fromStdString("http://" + server.HostPort() + "/prg/quorvi.exe"));
        ASSERT_TRUE(PumpUntil([&] { return complete && server.Connections() > 0; }, 30000));
        // Time for a box or a file that should not come.
        PumpUntil([] { return false; }, 300);
        EXPECT_EQ(calls, row.chooserCalled ? 1 : 0);
        EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
        EXPECT_TRUE(boxes.Shown().empty());
    }
}

// A transfer cut off half way is not passed off as done.
TEST(BrowserDownload, CutOffTransferIsReportedAsFailed)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("quorvi.exe");
    ScriptedServer server({ConnectionScript().ReadRequest().Send(
        "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 100000\r\n\r\n" +
        SomeBytes(1000))});
    BoxScript boxes;
    ChooserScope chooser([&](const QString &) { return path; });
    boxes.Expect({"T4V_Quorvi", ""});
    WebBrowser browser;
    browser.SetAcceptDownloads(true);
    browser.Navigate(QString::fromStdString("http://" + server.HostPort() + "/prg/quorvi.exe"));
    ASSERT_TRUE(PumpUntil([&] { return boxes.AllShown(); }, 30000));
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].icon, BoxIcon::Error);
    EXPECT_TRUE(boxes.Shown()[0].text.startsWith("Download non riuscito: " + QDir::toNativeSeparators(path)))
        << boxes.Shown()[0].text.toStdString();
    EXPECT_FALSE(QFile::exists(path));
}

// The user is told to close the program once the download has started: the
// file must still arrive whole when the window and its control are gone.
TEST(BrowserDownload, GoesOnAfterTheControlIsGone)
{
    QTemporaryDir dir;
    const std::string body = SomeBytes(256 * 1024);
    ScriptedServer server({ProgramFile(body, 32 * 1024, 100)}, std::chrono::seconds(30));
    BoxScript boxes;
    const QString path = dir.filePath("quorvi.exe");
    auto browser = std::make_unique<WebBrowser>();
    ChooserScope chooser([&](const QString &) {
        // Gone as soon as the engine has the answer, long before the last piece.
        QTimer::singleShot(50, [&] { browser.reset(); });
        return path;
    });
    boxes.Expect({"T4V_Quorvi", "Download completato: " + QDir::toNativeSeparators(path)});
    browser->SetAcceptDownloads(true);
    browser->Navigate(QString::fromStdString("http://" + server.HostPort() + "/prg/quorvi.exe"));
    ASSERT_TRUE(PumpUntil([&] { return boxes.AllShown(); }, 30000));
    EXPECT_EQ(browser, nullptr);
    EXPECT_EQ(ReadFile(path), QByteArray::fromStdString(body));
}

// "Scarica" of the version window, with the control it makes itself: the save
// dialog offers the user's download folder and the file's name, the file
// arrives where the user chose and the user is told.
TEST(VersionWindowDownload, ScaricaAsksWhereToSaveAndTellsWhenDone)
{
    QTemporaryDir dir;
    const std::string body = SomeBytes(100000);
    ScriptedServer server({ConnectionScript().ReadRequest().Send(
                               "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>Versione - 11</p>"),
                           ProgramFile(body)});
    TFrmControllaVersione::SetSitoPerTest(QString::fromStdString(server.HostPort()));
    BoxScript boxes;
    QStringList suggested;
    ChooserScope chooser([&](const QString &path) {
        suggested << path;
        return dir.filePath("scaricato.exe");
    });
    boxes.ExpectQuestion(
        "Per eseguire il controllo di evetuali nuove versioni bisogna essere connessi ad internet, continuo?", true);
    TFrmAbout about;
    {
        TFrmControllaVersione w(&about);
        w.show();
        ASSERT_TRUE(PumpUntil([&] { return boxes.AllShown() && w.sbScarica->isEnabled(); }, 10000));
        boxes.Expect({"T4V_Quorvi", "Download completato: " + QDir::toNativeSeparators(dir.filePath("scaricato.exe"))});
        w.sbScarica->click();
        EXPECT_TRUE(PumpUntil([&] { return boxes.AllShown(); }, 30000));
    }
    TFrmControllaVersione::SetSitoPerTest(QString());
    ASSERT_EQ(suggested.size(), 1);
    EXPECT_EQ(suggested[0],
              QDir(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)).filePath("quorvi.exe"));
    EXPECT_EQ(ReadFile(dir.filePath("scaricato.exe")), QByteArray::fromStdString(body));
}

// The main window's button and menu item open a fresh window each time and
// free it when it closes.
TEST(VersionCheckFromMainWindow, ButtonAndMenuOpenAFreshWindow)
{
    TempProgramFolder folder;
    BoxScript boxes;
    Finestre w = CreaFinestre(std::make_unique<WebBrowser>());
    const QString question =
        "Per eseguire il controllo di evetuali nuove versioni bisogna essere connessi ad internet, continuo?";
    const std::function<void()> open[] = {[&] { w.main->sbcontrollaVersione->click(); },
                                          [&] { w.main->AggiornaVersione1->trigger(); }};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "button" : "menu item");
        TFrmControllaVersione *seen = nullptr;
        bool modal = false;
        boxes.ExpectQuestion(question, false, [&] {
            seen = w.main->findChild<TFrmControllaVersione *>();
            ASSERT_NE(seen, nullptr);
            modal = seen->isModal() && seen->isVisible();
            QTimer::singleShot(0, [&] { seen->sbEsci->click(); });
        });
        open[i]();
        boxes.Verify();
        EXPECT_NE(seen, nullptr);
        EXPECT_TRUE(modal);
        EXPECT_EQ(w.main->findChild<TFrmControllaVersione *>(), nullptr);
    }
}
