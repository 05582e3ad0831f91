#include "app/ArchivioCorse.h"
#include "app/Main.h"
#include "app/Programma.h"
#include "app/Start.h"
#include "platform/web/WebBrowser.h"
#include "settings/Opzioni.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
// The engine's helper processes this process has started.
int EngineProcesses()
{
    int n = 0;
    const QString self = QString::number(getpid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...; the name may hold blanks, the ')' ends it.
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        const qsizetype open = line.indexOf('(');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> rest = line.mid(close + 2).split(' ');
        if (rest.size() > 1 && rest[1] == self.toLatin1() &&
            line.mid(open + 1, close - open - 1).startsWith("QtWebEngine"))
            ++n;
    }
    return n;
}

// A minimal page server on the UI thread: it is served whenever the run
// processes messages, which is exactly while a graphic visit waits. Paths
// choose the answer:
//   /lenta...      never answered
//   /adagio...     answered after a second
//   /mancante...   404
//   /errata...     400
//   /protetta...   401 asking for Basic credentials
//   /rinfresca...  a page that reloads itself at once
//   /battiti...    a page that asks for /battito every 200 ms; it finishes
//                  loading only after a second, so it beats during the visit
//   /sonda...      a page that tells what a tracker sees: its state as its
//                  first script runs (/stato?visibile,nascosta,fuoco), an
//                  image 300 ms after load (/dopo300), a beacon as it is
//                  hidden (/nascosta) and two in pagehide, 100 ms of work
//                  apart (/addio?<ticks of a 100 ms interval>,<ms alive>
//                  and /addio2)
//   /rimanda...    a page whose script goes to /altrove 100 ms after load
//   /troppe...     429, /occupato... 503
//   /allegato...   a file sent as an attachment
//   /scarica...    a page whose script clicks a download link of /allegato
//                  at once, while the page still waits a second for an image
//   anything else  a small page
// Asked as a proxy, it answers every page itself (the path is then the whole
// address) and refuses every tunnel.
class PageServer : public QObject {
public:
    PageServer()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server_.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] { Serve(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    quint16 Port() const { return server_.serverPort(); }
    QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(Port()); }
    int Hits(const QString &prefix) const
    {
        int n = 0;
        for (const QString &path : paths)
            n += path.startsWith(prefix) ? 1 : 0;
        return n;
    }
    // Every request path as it arrived, favicon requests included.
    QStringList paths;

private:
    void Serve(QTcpSocket *s)
    {
        buffer_[s] += s->readAll();
        if (!buffer_[s].contains("\r\n\r\n"))
            return;
        const QList<QByteArray> words = buffer_[s].split(' ');
        buffer_.remove(s);
        const QString path = QString::fromLatin1(words.size() > 1 ? words[1] : QByteArray("/"));
        paths << path;
        QByteArray status = "200 OK", headers = "Content-Type: text/html\r\n";
        QByteArray body = "<html><body>pagina " + path.toLatin1() + "</body></html>";
        if (path.startsWith("/lenta"))
            return;
        if (path.startsWith("/adagio") || path == "/ritardo.png") {
            QTimer::singleShot(1000, s, [s, path] {
                Send(s, "200 OK", "Content-Type: text/html\r\n", "<html><body>" + path.toLatin1() + "</body></html>");
            });
            return;
        }
        if (words[0] == "CONNECT") {
            status = "502 Bad Gateway";
        } else if (path.startsWith("/mancante")) {
            status = "404 Not Found";
        } else if (path.startsWith("/errata")) {
            status = "400 Bad Request";
        } else if (path.startsWith("/protetta")) {
            status = "401 Unauthorized";
            headers += "WWW-Authenticate: Basic realm=\"quorvi\"\r\n";
        } else if (path.startsWith("/rinfresca")) {
            body = "<html><head><meta http-equiv=\"refresh\" content=\"0\"></head><body>r</body></html>";
        } else if (path.startsWith("/battiti")) {
            body = "<html><body><script>setInterval(function(){var x=new XMLHttpRequest();"
                   "x.open('GET','/battito?'+Date.now());x.send();},200);</script>"
                   "<img src=\"/ritardo.png\"></body></html>";
        } else if (path.startsWith("/sonda")) {
            body = "<html><body><script>var t0=Date.now(),n=0;setInterval(function(){n++;},100);"
                   "function img(p){new Image().src=p;}"
                   "img('/stato?'+[document.visibilityState,document.hidden,document.hasFocus()].join());"
                   "addEventListener('load',function(){setTimeout(function(){img('/dopo300');},300);});"
                   "document.addEventListener('visibilitychange',function(){"
                   "if(document.hidden)navigator.sendBeacon('/nascosta');});"
                   "addEventListener('pagehide',function(){navigator.sendBeacon('/addio?'+n+','+(Date.now()-t0));"
                   "var e=Date.now()+100;while(Date.now()<e){}navigator.sendBeacon('/addio2');});"
                   "</script>sonda</body></html>";
        } else if (path.startsWith("/rimanda")) {
            body = "<html><body><script>addEventListener('load',function(){"
                   "setTimeout(function(){location.href='/altrove';},100);});</script>r</body></html>";
        } else if (path.startsWith("/troppe")) {
            status = "429 Too Many Requests";
            headers += "Retry-After: 1\r\n";
        } else if (path.startsWith("/occupato")) {
            status = "503 Service Unavailable";
        } else if (path.startsWith("/sicuro")) {
            // /sicuro/<port>: on to the TLS server on that port.
            status = "302 Found";
            headers += "Location: https://127.0.0.1:" + path.section('/', 2, 2).toLatin1() + "/\r\n";
        } else if (path.startsWith("/scarica")) {
            body = "<html><body><img src=\"/ritardo.png\"><a id=\"f\" href=\"/allegato\" download>f</a>"
                   "<script>document.getElementById('f').click();</script></body></html>";
        } else if (path.startsWith("/allegato")) {
            headers = "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
                      "filename=\"allegato.bin\"\r\n";
            body = QByteArray(4096, 'x');
        }
        Send(s, status, headers, body);
    }
    static void Send(QTcpSocket *s, const QByteArray &status, const QByteArray &headers, const QByteArray &body)
    {
        s->write("HTTP/1.0 " + status + "\r\n" + headers + "Content-Length: " + QByteArray::number(body.size()) +
                 "\r\nConnection: close\r\n\r\n" + body);
        s->disconnectFromHost();
    }

    QTcpServer server_;
    QMap<QTcpSocket *, QByteArray> buffer_;
};

// A TLS server whose certificate no browser trusts, made on the spot, or one
// with the certificate it is given.
class TlsServer : public PeerProcess {
public:
    TlsServer()
    {
        QProcess req;
        req.start(FindProgram("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout",
                   FilePath("key.pem"), "-out", FilePath("cert.pem")});
        if (!req.waitForFinished(60000) || req.exitCode() != 0)
            throw std::runtime_error("openssl req failed");
        Serve(FilePath("cert.pem"), FilePath("key.pem"));
    }
    TlsServer(const QString &certificate, const QString &key) { Serve(certificate, key); }

private:
    void Serve(const QString &certificate, const QString &key)
    {
        Start("openssl", [&](std::uint16_t port) {
            const QString accept = "127.0.0.1:" + QString::number(port);
            return QStringList{"s_server", "-accept", accept, "-cert", certificate, "-key", key, "-www"};
        });
    }
};

// A port nobody listens on: taken and given back.
quint16 ClosedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// Sets or clears environment variables for the length of a test.
class ScopedEnvironment {
public:
    void Set(const char *name, const QByteArray &value)
    {
        Keep(name);
        qputenv(name, value);
    }
    void Unset(const char *name)
    {
        Keep(name);
        qunsetenv(name);
    }
    ~ScopedEnvironment()
    {
        for (const auto &[name, value] : saved_)
            value ? qputenv(name, *value) : qunsetenv(name);
    }

private:
    void Keep(const char *name)
    {
        saved_.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
    }
    std::vector<std::pair<const char *, std::optional<QByteArray>>> saved_;
};

// The desktop's proxy variables, which the engine follows when the options name no proxy.
void ClearDesktopProxy(ScopedEnvironment &env)
{
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"})
        env.Unset(name);
}

const QString kResoconto = QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?");

// The program's windows with the real engine, a list loaded and graphic mode on.
class GraphicRunTest : public ::testing::Test {
protected:
    void Load(const QString &entries)
    {
        w = CreaFinestre(std::make_unique<WebBrowser>());
        w.opzioni->cbModalitaGrafica->setChecked(true);
        folder.Write("mia.tvx", entries.toUtf8());
        w.main->AggiornaElencoListe();
        w.main->BoxElencoListe->setCurrentRow(0);
        w.main->BoxElencoListeClick();
    }
    // Runs the list; the log as it stands at the end question.
    QStringList Run()
    {
        QStringList log;
        boxes.ExpectQuestion(kResoconto, false, [&] { log = w.main->RigheLog(); });
        w.main->btIniziaClick();
        boxes.Verify();
        EXPECT_FALSE(w.main->InEsecuzione());
        return log;
    }

    TempProgramFolder folder;
    BoxScript boxes;
    ShellLog shell;
    PageServer server;
    Finestre w;
};
} // namespace

// Under ctest each case has a process of its own, so this is the engine's
// first start: the visits still work and are counted.
TEST_F(GraphicRunTest, VisitsEveryPageItsNumberOfTimesThroughTheRealEngine)
{
    ASSERT_GT(server.Port(), 0);
    const QString host = server.Host();
    Load("Sito=" + host + "/alfa Num=2\r\nSito=" + host + "/beta Num=1\r\n");
    const QStringList log = Run();

    EXPECT_EQ(server.Hits("/alfa"), 2);
    EXPECT_EQ(server.Hits("/beta"), 1);
    // Nothing but the pages: no icon, no error page.
    EXPECT_EQ(server.paths.size(), 3) << server.paths.join(' ').toStdString();
    EXPECT_EQ(log.count(host + "/alfa...fatto."), 2);
    EXPECT_EQ(log.count(host + "/beta...fatto."), 1);
    EXPECT_EQ(w.main->AccessiFalliti, 0);
    EXPECT_GT(EngineProcesses(), 0);
}

// A text run has no use for the engine and does not start it.
TEST_F(GraphicRunTest, TextRunStartsNoEngine)
{
    const bool startedBefore = WebBrowser::EngineStarted();
    Load("Sito=" + server.Host() + "/alfa Num=3\r\n");
    w.opzioni->cbModalitaGrafica->setChecked(false);
    const QStringList log = Run();
    EXPECT_EQ(log.count(server.Host() + "/alfa...fatto."), 3);
    EXPECT_EQ(server.Hits("/alfa"), 3);
    // An earlier case of this same process may have started it; alone, as
    // ctest runs it, the process has no engine at all.
    if (!startedBefore) {
        EXPECT_FALSE(WebBrowser::EngineStarted());
        EXPECT_EQ(EngineProcesses(), 0);
    }
}

// A page that does not load is a failed visit, counted towards the warning
// like a text visit: refused, an error answer, stopped by the time-out.
TEST_F(GraphicRunTest, PagesThatDoNotLoadAreFailedVisits)
{
    const QString host = server.Host();
    const QString closed = QStringLiteral("127.0.0.1:%1").arg(ClosedPort());
    Load("Sito=" + closed + "/ Num=10\r\nSito=" + host + "/alfa Num=1\r\nSito=" + host +
         "/mancante Num=1\r\nSito=" + host + "/lenta Num=1\r\nSito=" + host + "/protetta Num=1\r\n");
    w.main->TimerOut->setInterval(2000);
    bool warned = false;
    boxes.ExpectQuestion(QStringLiteral("Si sono verificati più di accessi 10 non riusciti, interrompo l'operazione?"),
                         false, [&] { warned = true; });
    const QStringList log = Run();

    EXPECT_TRUE(warned);
    EXPECT_EQ(log.count(closed + "/...errore."), 10);
    EXPECT_EQ(log.count(host + "/alfa...fatto."), 1);
    EXPECT_EQ(log.count(host + "/mancante...errore."), 1);
    EXPECT_EQ(log.count(host + "/lenta...errore."), 1);
    EXPECT_EQ(log.count(host + "/protetta...errore."), 1);
    EXPECT_EQ(log.filter("...fatto.").size(), 1) << log.join('\n').toStdString();
    // Asked once: no retries, with empty credentials or any others.
    EXPECT_EQ(server.Hits("/protetta"), 1);
    // Counted after the warning set the count back.
    EXPECT_EQ(w.main->AccessiFalliti, 3);
}

// What the control tells of the last load, which the visit record reads.
TEST_F(GraphicRunTest, ControlTellsHowTheLastLoadEnded)
{
    struct Row {
        const char *name;
        QString path;
        int status;
        QString error; // empty for a visit that succeeded
    };
    const Row rows[] = {
        {"page", "/alfa", 200, ""},
        {"missing", "/mancante", 404, "Risposta HTTP 404"},
        // The least of the error answers: the answer, not the engine's words.
        {"bad request", "/errata", 400, "Risposta HTTP 400"},
        {"credentials asked", "/protetta", 401, "Il sito richiede un'autenticazione (HTTP 401)."},
    };
    WebBrowser browser;
    bool complete = false;
    browser.OnDocumentComplete = [&](const QString &) { complete = true; };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        complete = false;
        browser.Navigate("http://" + server.Host() + row.path);
        ASSERT_TRUE(PumpUntil([&] { return complete; }, 30000));
        EXPECT_EQ(browser.LastLoadStatus(), row.status);
        EXPECT_EQ(browser.LastLoadError(), row.error);
        // A page that loaded stays for its stay; one that did not goes by itself.
        if (row.error.isEmpty())
            EXPECT_TRUE(browser.PageOpen());
        else
            EXPECT_TRUE(PumpUntil([&] { return !browser.PageOpen(); }, 10000));
    }
    complete = false;
    browser.Navigate(QStringLiteral("http://127.0.0.1:%1/").arg(ClosedPort()));
    ASSERT_TRUE(PumpUntil([&] { return complete; }, 30000));
    EXPECT_EQ(browser.LastLoadStatus(), 0);
    // In the program's words, as every cause a user reads.
    EXPECT_EQ(browser.LastLoadError(), "Connessione rifiutata.");
}

// A certificate the engine does not trust ends the visit as a failure at
// once: nobody is asked, nothing is accepted.
TEST_F(GraphicRunTest, UntrustedCertificateEndsTheVisitAsAFailure)
{
    TlsServer tls;
    Load("Sito=" + server.Host() + "/sicuro/" + tls.PortText() + " Num=1\r\n");
    const QStringList log = Run();
    EXPECT_EQ(log.count(server.Host() + "/sicuro/" + tls.PortText() + "...errore."), 1) << log.join('\n').toStdString();
    EXPECT_EQ(w.main->Browser()->LastLoadError(),
              "Certificato del sito non valido: non viene da un'autorità di cui il programma si fida.");
}

// The list editor takes these; the engine encodes them its own way and they
// reach the server as the same address.
TEST_F(GraphicRunTest, AddressesTheEditorTakesReachTheServer)
{
    const QString host = server.Host();
    Load("Sito=" + host + "/cerca?q=a b Num=1\r\nSito=" + host + "/cerca?q=a|b Num=1\r\nSito=" + host +
         "/x^y Num=1\r\n");
    const QStringList log = Run();

    EXPECT_EQ(log.filter("...fatto.").size(), 3) << log.join('\n').toStdString();
    QStringList decoded;
    for (const QString &path : server.paths)
        decoded << QUrl::fromPercentEncoding(path.toLatin1());
    EXPECT_EQ(decoded, (QStringList{"/cerca?q=a b", "/cerca?q=a|b", "/x^y"}));
}

TEST(GraphicControl, AddressWithoutAHostRaises)
{
    WebBrowser browser;
    EXPECT_THROW(browser.Navigate(QStringLiteral("http://")), Exception);
    EXPECT_THROW(browser.Navigate(QStringLiteral("http://a b/")), Exception);
    EXPECT_THROW(browser.Navigate(QStringLiteral("http:///solo-percorso")), Exception);
}

// Only the two warnings about the OpenGL the program keeps off are dropped;
// anything else, or the same words at another level or inside another text,
// still reaches the output.
TEST(GraphicControl, OnlyTheUnusedOpenGlWarningsAreDropped)
{
    const QString xcb =
        QStringLiteral("QXcbIntegration: Cannot create platform OpenGL context, neither GLX nor EGL are enabled");
    const QString engine = QStringLiteral("No suitable graphics backend found");
    const struct {
        QtMsgType type;
        QString message;
        bool dropped;
    } rows[] = {
        {QtWarningMsg, xcb, true},
        {QtWarningMsg, engine, true},
        {QtWarningMsg, engine + "\n", true},
        {QtCriticalMsg, engine, false},
        {QtInfoMsg, xcb, false},
        {QtWarningMsg, "Errore: " + engine, false},
        {QtWarningMsg, QStringLiteral("QXcbIntegration: Cannot create platform OpenGL context"), false},
        {QtWarningMsg, QString(), false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(IsUnusedGlNotice(row.type, row.message), row.dropped) << row.type << " " << qPrintable(row.message);
}

// Nothing of a visited page goes on once its visit has ended: neither a page
// that reloads itself nor one whose script keeps sending requests.
TEST_F(GraphicRunTest, AVisitedPageStopsWithItsVisit)
{
    struct Row {
        const char *name;
        QString path;
        QString beat; // the requests the page sends by itself
    };
    const Row rows[] = {
        {"reloads itself", "/rinfresca", "/rinfresca"},
        {"script sends every 200 ms", "/battiti", "/battito"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        server.paths.clear();
        Load("Sito=" + server.Host() + row.path + " Num=2\r\n");
        // Between the two visits: the page of the first has gone quiet.
        int afterFirst = -1;
        int visite = 0;
        w.main->PrimaDellaVisita = [&](const QString &) {
            if (++visite == 2) {
                PumpUntil([] { return false; }, 1000);
                afterFirst = server.Hits(row.beat);
                PumpUntil([] { return false; }, 1000);
                EXPECT_EQ(server.Hits(row.beat), afterFirst) << "between visits";
            }
        };
        const QStringList log = Run();
        EXPECT_EQ(log.filter("...fatto.").size(), 2);
        EXPECT_GE(afterFirst, 0);
        // After the run: within a second it has stopped, and stays stopped.
        PumpUntil([] { return false; }, 1000);
        const int afterRun = server.Hits(row.beat);
        PumpUntil([] { return false; }, 1500);
        EXPECT_EQ(server.Hits(row.beat), afterRun) << "after the run";
        // Two visits; a page reloading at the very moment it completes may
        // ask once more each time, never more.
        if (row.beat == row.path) {
            EXPECT_LE(afterRun, 4);
        }
        w = Finestre();
    }
}

// A page the run visits may not start a download: no save dialog in the
// middle of a run, no box, no file. Neither an address that is a file nor a
// page that asks for one by itself while it is still loading, its own page
// alive to take the answer.
TEST_F(GraphicRunTest, DownloadStartedByAVisitedPageIsRefusedSilently)
{
    struct Row {
        const char *name;
        QString path;
    };
    const Row rows[] = {
        {"the address is a file", "/allegato"},
        {"the page's script clicks a download link while it loads", "/scarica"},
    };
    int asked = 0;
    SetSaveFileChooser([&](const QString &) {
        ++asked;
        return QString();
    });
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const bool before = QFile::exists(QDir(downloads).filePath("allegato.bin"));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        asked = 0;
        server.paths.clear();
        Load("Sito=" + server.Host() + row.path + " Num=1\r\n");
        const size_t shown = boxes.Shown().size();
        Run();
        PumpUntil([] { return false; }, 500);
        // The file was asked for: there was a download to refuse.
        EXPECT_GE(server.Hits("/allegato"), 1) << server.paths.join(' ').toStdString();
        EXPECT_EQ(asked, 0);
        EXPECT_EQ(boxes.Shown().size(), shown + 1); // only the end question
        EXPECT_EQ(QFile::exists(QDir(downloads).filePath("allegato.bin")), before);
        EXPECT_TRUE(QDir(folder.Path()).entryList({"allegato*"}, QDir::Files).isEmpty());
        w = Finestre();
    }
    SetSaveFileChooser({});
}

// The engine takes its proxy as it starts: these cases need a process whose
// engine has not started yet, as each case has under ctest.
#define REQUIRE_ENGINE_NOT_STARTED()                                                                                   \
    if (WebBrowser::EngineStarted())                                                                                   \
    GTEST_SKIP() << "the engine of this process started earlier with its own proxy; run this case alone"

// With a proxy in the options, graphic visits ask it for every page, as text
// visits do: a name only the proxy knows, an address of this machine, and the
// tunnel of an https page.
TEST_F(GraphicRunTest, ProxyOfTheOptionsCarriesGraphicVisits)
{
    REQUIRE_ENGINE_NOT_STARTED();
    ScopedEnvironment env;
    ClearDesktopProxy(env);
    PageServer proxy;
    const QString vicino = server.Host() + "/vicino";
    Load("Sito=sito.invalid/pagina Num=2\r\nSito=" + vicino + " Num=1\r\nSito=https://sito.invalid/sicura Num=1\r\n");
    w.opzioni->editProxy->setText(proxy.Host());
    const QStringList log = Run();

    EXPECT_EQ(log.count("sito.invalid/pagina...fatto."), 2) << log.join('\n').toStdString();
    EXPECT_EQ(log.count(vicino + "...fatto."), 1);
    EXPECT_EQ(log.count("https://sito.invalid/sicura...errore."), 1);
    EXPECT_EQ(proxy.Hits("http://sito.invalid/pagina"), 2) << proxy.paths.join(' ').toStdString();
    EXPECT_EQ(proxy.Hits("http://" + vicino), 1);
    EXPECT_EQ(proxy.Hits("sito.invalid:443"), 1);
    EXPECT_TRUE(server.paths.isEmpty()) << server.paths.join(' ').toStdString();
    EXPECT_TRUE(QString::fromUtf8(folder.Read("LogQuorvi.csv"))
                    .contains("Il proxy non ha aperto la connessione verso il sito."));
    // The switches were for the engine alone: a program opened from here
    // (a browser of the same engine) does not find them.
    EXPECT_FALSE(qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").contains("proxy"));

    // The engine keeps that proxy: a new one is told of as it is typed.
    boxes.ExpectInfo(QStringLiteral("Il nuovo proxy vale da subito per gli accessi in modalità testo; quelli in "
                                    "modalità grafica passano ancora per %1 fino al riavvio del programma.")
                         .arg(proxy.Host()));
    w.opzioni->editProxy->setText(QStringLiteral("altro:3128"));
    emit w.opzioni->editProxy->editingFinished();
    boxes.Verify();
}

// With no proxy anywhere the same visits go straight to the site: the name
// is unknown, and the would-be proxy hears nothing.
TEST_F(GraphicRunTest, WithoutAProxyGraphicVisitsGoStraightToTheSite)
{
    REQUIRE_ENGINE_NOT_STARTED();
    ScopedEnvironment env;
    ClearDesktopProxy(env);
    PageServer proxy;
    Load("Sito=sito.invalid/pagina Num=1\r\nSito=" + server.Host() + "/alfa Num=1\r\n");
    const QStringList log = Run();

    EXPECT_EQ(log.count("sito.invalid/pagina...errore."), 1) << log.join('\n').toStdString();
    EXPECT_EQ(log.count(server.Host() + "/alfa...fatto."), 1);
    EXPECT_EQ(server.paths, QStringList{"/alfa"});
    EXPECT_TRUE(proxy.paths.isEmpty()) << proxy.paths.join(' ').toStdString();
    EXPECT_TRUE(QString::fromUtf8(folder.Read("LogQuorvi.csv")).contains("Indirizzo del sito non trovato."));
}

// With none in the options, the desktop's proxy variables are followed.
TEST_F(GraphicRunTest, WithoutAProxyInTheOptionsTheDesktopsIsFollowed)
{
    REQUIRE_ENGINE_NOT_STARTED();
    ScopedEnvironment env;
    ClearDesktopProxy(env);
    PageServer proxy;
    env.Set("http_proxy", "http://" + proxy.Host().toLatin1());
    Load("Sito=sito.invalid/pagina Num=1\r\n");
    const QStringList log = Run();

    EXPECT_EQ(log.count("sito.invalid/pagina...fatto."), 1) << log.join('\n').toStdString();
    EXPECT_EQ(proxy.Hits("http://sito.invalid/pagina"), 1);
}

// A proxy text the engine cannot take fails the visit rather than sending it
// another way, and leaves the engine unstarted for a corrected one.
TEST_F(GraphicRunTest, UnusableProxyFailsTheVisitAndStartsNoEngine)
{
    REQUIRE_ENGINE_NOT_STARTED();
    Load("Sito=" + server.Host() + "/alfa Num=1\r\n");
    w.opzioni->editProxy->setText(QStringLiteral("p --no-sandbox"));
    const QStringList log = Run();

    EXPECT_EQ(log.count(server.Host() + "/alfa...errore."), 1) << log.join('\n').toStdString();
    EXPECT_TRUE(QString::fromUtf8(folder.Read("LogQuorvi.csv")).contains("Indirizzo del proxy non valido"));
    EXPECT_FALSE(WebBrowser::EngineStarted());
    EXPECT_TRUE(server.paths.isEmpty());
}

// The engine keeps its own trust store: an authority of the user's own is
// trusted for graphic visits once it is in the user's NSS database, as the
// README has it (certutil -A into ~/.pki/nssdb).
TEST_F(GraphicRunTest, PrivateAuthorityInTheUsersStoreIsTrustedByGraphicVisits)
{
    REQUIRE_ENGINE_NOT_STARTED();
    TestAuthority authority;
    const TestAuthority::Issued issued = authority.Issue("sito", {"127.0.0.1"});
    TlsServer tls(issued.certificateFile, issued.keyFile);
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkpath(".pki/nssdb"));
    QProcess certutil;
    certutil.start(FindProgram("certutil"), {"-d", "sql:" + home.path() + "/.pki/nssdb", "-A", "-t", "C,,", "-n",
                                             "Quorvi Test CA", "-i", authority.CertificateFile()});
    ASSERT_TRUE(certutil.waitForFinished(60000) && certutil.exitCode() == 0) << certutil.readAllStandardError().data();
    ScopedEnvironment env;
    env.Set("HOME", home.path().toLocal8Bit());

    const QString site = "https://127.0.0.1:" + tls.PortText() + "/";
    Load("Sito=" + site + " Num=1\r\n");
    const QStringList log = Run();
    EXPECT_EQ(log.count(site + "...fatto."), 1) << log.join('\n').toStdString();
}

TEST(GraphicControl, ProxyOfTheOptionsBecomesTheEnginesSwitches)
{
    const QByteArray loopback = " --proxy-bypass-list=<-loopback>";
    const struct {
        const char *name;
        QString proxy;
        std::optional<QByteArray> switches;
    } rows[] = {
        {"none", "", QByteArray()},
        {"a name, port 80", "proxy", "--proxy-server=http://proxy:80" + loopback},
        {"an address and a port", "10.0.0.1:3128", "--proxy-server=http://10.0.0.1:3128" + loopback},
        {"upper case and a scheme", "HTTP://Proxy.Lan:8080", "--proxy-server=http://proxy.lan:8080" + loopback},
        {"an empty port", "proxy:", "--proxy-server=http://proxy:80" + loopback},
        {"a bracketed address", "[::1]:3128", "--proxy-server=http://[::1]:3128" + loopback},
        {"port 0", "proxy:0", std::nullopt},
        {"port too high", "proxy:65536", std::nullopt},
        {"a switch of its own", "p --no-sandbox", std::nullopt},
        {"a blank in front", " proxy", std::nullopt},
        {"a list", "a;b", std::nullopt},
        {"credentials", "u:p@proxy", std::nullopt},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(BrowserProxySwitches(row.proxy), row.switches);
    }
}

// A visited page is the foreground tab of a person's browser: seen and
// focused from its first script, its timers at full rate, alive while its
// network works, and closed so that its handlers finish. Every hit a tracker
// would send arrives once per visit, and nothing after the run.
TEST_F(GraphicRunTest, AVisitedPageIsAForegroundTabClosedAsATabCloses)
{
    Load("Sito=" + server.Host() + "/sonda Num=3\r\n");
    const QStringList log = Run();
    EXPECT_EQ(log.filter("...fatto.").size(), 3);
    // The run has waited for the close: its beacons are here already.
    const QStringList atEnd = server.paths;
    PumpUntil([] { return false; }, 1500);
    EXPECT_EQ(server.paths, atEnd) << "after the run";

    EXPECT_EQ(server.Hits("/stato?visible,false,true"), 3) << server.paths.join(' ').toStdString();
    for (const char *hit : {"/sonda", "/dopo300", "/nascosta", "/addio?", "/addio2"}) {
        SCOPED_TRACE(hit);
        EXPECT_EQ(server.Hits(hit), 3) << server.paths.join(' ').toStdString();
    }
    // A hidden page's timers run once a second: a 100 ms interval then ticks
    // about once in ten of its tries.
    for (const QString &path : server.paths.filter("/addio?")) {
        const int ticks = path.section('?', 1).section(',', 0, 0).toInt();
        const int alive = path.section(',', 1).toInt();
        EXPECT_GE(alive, 500) << "the page stayed after its load";
        EXPECT_GE(ticks * 200, alive) << path.toStdString();
    }
}

// A page whose network never goes quiet stays no more than a few seconds
// after its load; the next visit then finds it gone.
TEST_F(GraphicRunTest, APageThatNeverGoesQuietStaysAFewSeconds)
{
    Load("Sito=" + server.Host() + "/battiti Num=1\r\n");
    const QStringList log = Run();
    EXPECT_EQ(log.filter("...fatto.").size(), 1);
    // It beats every 200 ms: it was kept well past the quiet window, and
    // let go within the few seconds of a stay (the first of them loading).
    const int beats = server.Hits("/battito");
    EXPECT_GE(beats, 10);
    EXPECT_LE(beats, 45);
    PumpUntil([] { return false; }, 1000);
    EXPECT_EQ(server.Hits("/battito"), beats);
}

// The time-out and Interrompi end a stay as they end a visit: the page that
// never goes quiet (it loads in about a second, beating every 200 ms) goes
// long before its few seconds are up, and after Interrompi no visit follows.
TEST_F(GraphicRunTest, TimeOutAndInterrompiEndAStay)
{
    const struct {
        const char *name;
        bool interrompi; // else the time-out, 2.5 s from the visit's start
    } rows[] = {{"Interrompi", true}, {"time-out", false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        server.paths.clear();
        // A fresh start each time: the run interrupted before is not offered again.
        QFile::remove(QDir(folder.Path()).filePath("LogQuorvi.csv"));
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(QDir(folder.Path()).filePath(kNomeArchivioCorse + suffix));
        Load("Sito=" + server.Host() + "/battiti Num=2\r\n");
        QTimer watch;
        if (row.interrompi) {
            // Eight beats: the page has loaded, and stays.
            QObject::connect(&watch, &QTimer::timeout, [&] {
                if (server.Hits("/battito") >= 8 && w.main->sbInterrompi->isEnabled()) {
                    watch.stop();
                    w.main->sbInterrompi->click();
                }
            });
            watch.start(20);
            w.main->btIniziaClick();
        } else {
            w.main->TimerOut->setInterval(2500);
            Run();
        }
        EXPECT_EQ(server.Hits("/battiti"), row.interrompi ? 1 : 2) << server.paths.join(' ').toStdString();
        // Unbounded, a stay would hear some 25 beats, each visit.
        EXPECT_LE(server.Hits("/battito"), row.interrompi ? 14 : 40);
        EXPECT_EQ(QString::fromUtf8(folder.Read("LogQuorvi.csv")).count(",fatto,"), row.interrompi ? 1 : 2);
        w = Finestre();
    }
}

// A navigation the page starts after its load is its end: the server sees
// the visits the list asks for, and no other page.
TEST_F(GraphicRunTest, NavigationsAPageStartsAfterItsLoadAreNotFollowed)
{
    const struct {
        const char *name;
        QString path;
        QString elsewhere;
    } rows[] = {
        {"reloads itself", "/rinfresca", ""},
        {"a script sends it elsewhere", "/rimanda", "/altrove"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        server.paths.clear();
        Load("Sito=" + server.Host() + row.path + " Num=2\r\n");
        const QStringList log = Run();
        EXPECT_EQ(log.filter("...fatto.").size(), 2);
        PumpUntil([] { return false; }, 500);
        EXPECT_EQ(server.Hits(row.path), 2) << server.paths.join(' ').toStdString();
        if (!row.elsewhere.isEmpty()) {
            EXPECT_EQ(server.Hits(row.elsewhere), 0);
        }
        w = Finestre();
    }
}

// The engine shows no headers: a 429 or a 503 makes the run wait its own
// default before the next visit, says so, and never asks again to learn more.
TEST_F(GraphicRunTest, ServerThatAsksForLessWaitsTheDefault)
{
    for (const QString path : {"/troppe", "/occupato"}) {
        SCOPED_TRACE(path.toStdString());
        server.paths.clear();
        Load("Sito=" + server.Host() + path + " Num=2\r\n");
        QList<std::uint32_t> waits;
        w.main->DurataAttesa = [&](std::uint32_t ms) {
            waits << ms;
            return 10u;
        };
        const QStringList log = Run();
        // Counted from the answer, so a moment less by the time it starts.
        ASSERT_EQ(waits.size(), 1);
        EXPECT_GT(waits[0], 55000u);
        EXPECT_LE(waits[0], 60000u);
        EXPECT_EQ(server.Hits(path), 2) << server.paths.join(' ').toStdString();
        EXPECT_EQ(log.filter("Attesa predefinita di 60 s").size(), 2) << log.join('\n').toStdString();
        EXPECT_TRUE(QString::fromUtf8(folder.Read("LogQuorvi.csv")).contains("attesa di 60 s, predefinita"));
        w = Finestre();
    }
}

// Interrompi during that wait ends the run there: no further visit.
TEST_F(GraphicRunTest, InterrompiEndsTheWaitAfterA429)
{
    Load("Sito=" + server.Host() + "/troppe Num=2\r\n");
    QString countdown;
    w.main->DurataAttesa = [&](std::uint32_t ms) {
        QTimer::singleShot(300, w.main.get(), [&] {
            countdown = w.main->StatusBar->currentMessage();
            w.main->sbInterrompi->click();
        });
        return ms;
    };
    w.main->btIniziaClick();
    EXPECT_FALSE(w.main->InEsecuzione());
    EXPECT_EQ(countdown, "Il server chiede di attendere: ancora 60 s...");
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(server.Hits("/troppe"), 1) << server.paths.join(' ').toStdString();
}
