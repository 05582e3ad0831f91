#include "tests/app/AppFixture.h"

#include "app/RegistroCorse.h"
#include "app/RegistroVisite.h"
#include "tests/support/NginxFixture.h"
#include "tests/support/ScriptedServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTimeZone>
#include <csignal>
#include <ctime>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString kReport = QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?");
const QStringList kHeader{"inizio", "lista", "indirizzo", "accesso",   "di",     "modalita",
                          "esito",  "stato", "byte",      "durata_ms", "motivo", "corsa"};
enum Col { Inizio, Lista, Indirizzo, Accesso, Di, Modalita, Esito, Stato, Byte, Durata, Motivo, IdCorsa };

// Every record ends with CR LF; a lone LF or CR may only stand inside quotes.
bool RecordsEndWithCrLf(const QByteArray &bytes)
{
    bool quoted = false;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n'))
            return false;
        else if (!quoted && c == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            return false;
    }
    return !quoted && bytes.endsWith("\r\n");
}

QByteArray Entry(const std::string &hostPort, const char *path, int count)
{
    return QByteArray("Sito=") + QByteArray::fromStdString(hostPort) + path + " Num=" + QByteArray::number(count) +
           "\r\n";
}

// A port on this machine where nobody listens.
std::string ClosedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}
} // namespace

class VisitRecord : public AppFixture {
protected:
    std::vector<QStringList> Rows()
    {
        const QByteArray bytes = folder.Read(kNomeRegistroVisite);
        EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
        EXPECT_TRUE(RecordsEndWithCrLf(bytes)) << bytes.toStdString();
        std::vector<QStringList> rows = ReadCsvWithPython(folder.File(kNomeRegistroVisite));
        if (rows.empty()) {
            ADD_FAILURE() << "no header row";
            return rows;
        }
        EXPECT_EQ(rows.front(), kHeader);
        rows.erase(rows.begin());
        for (const QStringList &row : rows)
            EXPECT_EQ(row.size(), kHeader.size()) << row.join('|').toStdString();
        return rows;
    }
};

TEST_F(VisitRecord, OneRowPerVisitWithItsOutcome)
{
    std::unique_ptr<NginxServer> nginx;
    try {
        nginx = std::make_unique<NginxServer>();
    } catch (const std::exception &e) {
        FAIL() << "nginx not available: " << e.what();
    }
    nginx->Serve("ok.html", "<html>ok</html>\n");
    const std::string web = "127.0.0.1:" + nginx->PortText().toStdString();
    const std::string closed = ClosedPort();
    ScriptedServer silent({ConnectionScript().ReadRequest().Hold()});
    LoadList("mia.tvx", Entry(web, "/ok.html", 2) + Entry(web, "/manca.html", 1) + Entry(closed, "/x", 1) +
                            Entry(silent.HostPort(), "/muto", 1));
    main->TimerOut->setInterval(300);
    const QDateTime before = QDateTime::currentDateTime();
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    const QDateTime after = QDateTime::currentDateTime();

    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 5u);
    const QString okUrl = "http://" + QString::fromStdString(web) + "/ok.html";
    struct Expected {
        QString indirizzo, accesso, di, esito, stato, byte;
    };
    const Expected expected[] = {
        {okUrl, "1", "2", "fatto", "200", "16"},
        {okUrl, "2", "2", "fatto", "200", "16"},
        {"http://" + QString::fromStdString(web) + "/manca.html", "1", "1", "errore", "404", "*"},
        {"http://" + QString::fromStdString(closed) + "/x", "1", "1", "errore", "", "0"},
        {"http://" + QString::fromStdString(silent.HostPort()) + "/muto", "1", "1", "errore", "", "0"},
    };
    const QRegularExpression iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)");
    QDateTime previous = before.addMSecs(-1000);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const QStringList &r = rows[i];
        EXPECT_TRUE(iso.match(r[Inizio]).hasMatch()) << r[Inizio].toStdString();
        const QDateTime start = QDateTime::fromString(r[Inizio], Qt::ISODateWithMs);
        EXPECT_GE(start, previous);
        EXPECT_LE(start, after);
        previous = start;
        EXPECT_EQ(r[Lista], "mia.tvx");
        EXPECT_EQ(r[Indirizzo], expected[i].indirizzo);
        EXPECT_EQ(r[Accesso], expected[i].accesso);
        EXPECT_EQ(r[Di], expected[i].di);
        EXPECT_EQ(r[Modalita], "testo");
        EXPECT_EQ(r[Esito], expected[i].esito);
        EXPECT_EQ(r[Stato], expected[i].stato);
        if (expected[i].byte == "*")
            EXPECT_GT(r[Byte].toInt(), 0) << r[Byte].toStdString();
        else
            EXPECT_EQ(r[Byte], expected[i].byte);
        bool number = false;
        EXPECT_GE(r[Durata].toLongLong(&number), 0);
        EXPECT_TRUE(number);
    }
    EXPECT_EQ(rows[0][Motivo], "");
    EXPECT_EQ(rows[2][Motivo], "Risposta HTTP 404");
    EXPECT_EQ(rows[3][Motivo], "Connessione rifiutata.");
    EXPECT_EQ(rows[4][Motivo], "timeout");
    // The silent server held the visit until the time-out.
    EXPECT_GE(rows[4][Durata].toInt(), 250);

    // A second run appends below, without a second header.
    LoadList("mia.tvx", Entry(web, "/ok.html", 1));
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    const std::vector<QStringList> again = Rows();
    ASSERT_EQ(again.size(), 6u);
    EXPECT_EQ(again[5][Esito], "fatto");
}

TEST_F(VisitRecord, FieldsWithCommasQuotesAndLineBreaksReadBack)
{
    const QString path = folder.File(kNomeRegistroVisite);
    {
        RegistroVisite registro(path);
        RigaVisita riga;
        riga.inizio = QDateTime::currentDateTime();
        riga.lista = QStringLiteral("città, \"prova\".tvx");
        riga.indirizzo = QStringLiteral("http://a.example/x?q=a,b&c=\"d\"\r\ne\nf");
        riga.accesso = 1;
        riga.di = 3;
        riga.esito = QStringLiteral("errore");
        riga.stato = 500;
        riga.byte = 12;
        riga.durataMs = 7;
        riga.motivo = QStringLiteral("Errore, \"grave\"\rriga due \U0001F600");
        registro.Aggiungi(riga);
        riga.grafica = true;
        riga.byte.reset();
        riga.stato = 0;
        riga.motivo.clear();
        registro.Aggiungi(riga);
        // What a spreadsheet would run as a formula is kept as text; a quote
        // alone is quoted too.
        riga.lista = QStringLiteral("-meno.tvx");
        riga.indirizzo = QStringLiteral("http://a.example/?q=\"x\"");
        riga.motivo = QStringLiteral("=HYPERLINK(\"http://evil.example\")");
        registro.Aggiungi(riga);
        riga.indirizzo = QStringLiteral("@x");
        riga.motivo = QStringLiteral("+1");
        registro.Aggiungi(riga);
        // A line feed alone is enough to need quotes.
        riga.indirizzo = QStringLiteral("http://a.example/");
        riga.motivo = QStringLiteral("riga uno\nriga due");
        registro.Aggiungi(riga);
    }
    const QByteArray bytes = folder.Read(kNomeRegistroVisite);
    EXPECT_TRUE(bytes.contains(",\"http://a.example/?q=\"\"x\"\"\",")) << bytes.toStdString();
    EXPECT_TRUE(bytes.contains(",\"riga uno\nriga due\",")) << bytes.toStdString();
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[4][Motivo], "riga uno\nriga due");
    EXPECT_EQ(rows[2][Lista], "'-meno.tvx");
    EXPECT_EQ(rows[2][Indirizzo], "http://a.example/?q=\"x\"");
    EXPECT_EQ(rows[2][Motivo], "'=HYPERLINK(\"http://evil.example\")");
    EXPECT_EQ(rows[3][Indirizzo], "'@x");
    EXPECT_EQ(rows[3][Motivo], "'+1");
    EXPECT_EQ(rows[0][Lista], QStringLiteral("città, \"prova\".tvx"));
    EXPECT_EQ(rows[0][Indirizzo], QStringLiteral("http://a.example/x?q=a,b&c=\"d\"\r\ne\nf"));
    EXPECT_EQ(rows[0][Motivo], QStringLiteral("Errore, \"grave\"\rriga due \U0001F600"));
    EXPECT_EQ(rows[0].mid(Modalita, 5), (QStringList{"testo", "errore", "500", "12", "7"}));
    EXPECT_EQ(rows[1].mid(Modalita, 5), (QStringList{"grafica", "errore", "", "", "7"}));
}

TEST_F(VisitRecord, GraphicVisitsTakeTheControlsResult)
{
    GraphicMode();
    LoadList("mia.tvx", "Sito=alfa Num=2\r\nSito=beta Num=1\r\n");
    fake->onNavigate = [&](const QString &url) {
        if (url.endsWith("beta")) {
            fake->loadStatus = 0;
            fake->loadError = QStringLiteral("host sconosciuto,\r\nnessuna risposta");
        }
    };
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].mid(Indirizzo, 7), (QStringList{"http://alfa", "1", "2", "grafica", "fatto", "200", ""}));
    EXPECT_EQ(rows[1].mid(Indirizzo, 7), (QStringList{"http://alfa", "2", "2", "grafica", "fatto", "200", ""}));
    EXPECT_EQ(rows[2].mid(Indirizzo, 7), (QStringList{"http://beta", "1", "1", "grafica", "errore", "", ""}));
    EXPECT_EQ(rows[2][Motivo], QStringLiteral("host sconosciuto,\r\nnessuna risposta"));
    EXPECT_EQ(rows[0][Motivo], "");
}

TEST_F(VisitRecord, ARequestRefusedBeforeItStartsHasNoAnswerOfItsOwn)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nuno")});
    LoadList("mia.tvx", Entry(server.HostPort(), "/p", 2));
    main->PrimaDellaVisita = [&](const QString &) {
        if (server.Connections() == 1)
            w.opzioni->editProxy->setText("proxy\r.example");
    };
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].mid(Esito, 3), (QStringList{"fatto", "200", "3"}));
    EXPECT_EQ(rows[1].mid(Esito, 3), (QStringList{"errore", "", "0"}));
    EXPECT_EQ(rows[1][Motivo], "Invalid character in proxy address");
}

TEST_F(VisitRecord, AnInterruptedRunKeepsTheRowsOfItsVisits)
{
    ScriptedServer server(
        {ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nuno"), ConnectionScript().ReadRequest().Hold()});
    LoadList("mia.tvx", Entry(server.HostPort(), "/p", 3));
    w.opzioni->cbTimerOut->setChecked(false);
    std::vector<QStringList> onDiskDuringSecond;
    main->PrimaDellaVisita = [&](const QString &) {
        if (server.Connections() == 1) {
            // Written as the first visit ended, not at the end of the run.
            onDiskDuringSecond = Rows();
            QTimer::singleShot(200, main, [&] { main->sbInterrompi->click(); });
        }
    };
    main->btIniziaClick();
    ASSERT_EQ(onDiskDuringSecond.size(), 1u);
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][Esito], "fatto");
    EXPECT_EQ(rows[1].mid(Accesso, 4), (QStringList{"2", "3", "testo", "interrotto"}));
    EXPECT_EQ(rows[1][Motivo], "interrotto");
    // The interrupted visit is not one the run made: a resume makes it again.
    const PreparazioneCorsa next = PreparaCorsa(folder.File("mia.tvx"), "mia.tvx",
                                                {QString::fromLatin1(Entry(server.HostPort(), "/p", 3)).trimmed()});
    ASSERT_TRUE(next.ripresa);
    EXPECT_EQ(next.ripresa->accessiFatti, 1);
}

// Interrompi pressed while a box is up lets the visit in hand take place:
// when it fails, it failed on its own account, and is recorded so.
TEST_F(VisitRecord, AVisitThatGoesAheadAfterInterrompiAndFailsIsAnError)
{
    GraphicMode();
    const QString pause = QStringLiteral("Stato di pausa, per riprendere la scansione premere OK.");
    const QString question =
        QStringLiteral("Si sono verificati più di accessi 10 non riusciti, interrompo l'operazione?");
    const struct {
        const char *name;
        bool pauseFirst;
        int count;
        std::size_t rows;
    } cases[] = {{"the pause message", true, 3, 1u}, {"the ten-failures question", false, 12, 11u}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(folder.File(kNomeRegistroVisite));
        LoadList(QStringLiteral("l%1.tvx").arg(c.count), "Sito=alfa Num=" + QByteArray::number(c.count) + "\r\n");
        fake->loadStatus = 0;
        fake->loadError = QStringLiteral("host sconosciuto");
        const auto interrupt = [&] { main->sbInterrompi->click(); };
        if (c.pauseFirst) {
            main->sbPausaClick();
            boxes.ExpectInfo(pause, interrupt);
        } else {
            boxes.ExpectQuestion(question, false, interrupt);
        }
        main->btIniziaClick();
        const std::vector<QStringList> rows = Rows();
        ASSERT_EQ(rows.size(), c.rows);
        EXPECT_EQ(rows.back()[Esito], "errore");
        EXPECT_EQ(rows.back()[Motivo], "host sconosciuto");
    }
}

TEST_F(VisitRecord, AWriteFailureIsReportedOnceAndTheRunGoesOn)
{
    GraphicMode();
    ASSERT_TRUE(QDir().mkpath(folder.File(kNomeRegistroVisite)));
    LoadList("mia.tvx", "Sito=alfa Num=3\r\n");
    boxes.Expect({QStringLiteral("Errore"), QString(), IDOK});
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 3);
    ASSERT_GE(boxes.Shown().size(), 1u);
    const QString text = boxes.Shown()[0].text;
    EXPECT_TRUE(text.startsWith("Impossibile scrivere il registro delle visite (3 righe non scritte): "))
        << text.toStdString();
    EXPECT_TRUE(text.contains(kNomeRegistroVisite));
}

// A row cut short — by a killed program, or a write the disk took only half
// of — is never joined by the next one: the file stays a valid CSV.
TEST_F(VisitRecord, ARowCutShortIsNotJoinedByTheNext)
{
    const QString path = folder.File(kNomeRegistroVisite);
    RigaVisita riga;
    riga.inizio = QDateTime::currentDateTime();
    riga.lista = QStringLiteral("mia.tvx");
    riga.indirizzo = QStringLiteral("http://alfa/");
    riga.accesso = 1;
    riga.di = 1;
    riga.esito = QStringLiteral("fatto");
    riga.stato = 200;
    riga.motivo = QStringLiteral("a reason, \"quoted\"");
    { // killed in the middle of a row, inside a quoted field
        RegistroVisite registro(path);
        registro.Aggiungi(riga);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(RecordVisita(riga).left(60) + "\"half");
    file.close();
    { // the disk fills up in the middle of the next row
        RegistroVisite registro(path);
        rlimit old{};
        ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = old;
        tight.rlim_cur = static_cast<rlim_t>(QFileInfo(path).size() - 70 + 100);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &tight));
        riga.accesso = 2;
        riga.motivo = QString(300, u'x');
        EXPECT_THROW(registro.Aggiungi(riga), Exception);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
        std::signal(SIGXFSZ, oldSignal);
        EXPECT_TRUE(folder.Read(kNomeRegistroVisite).endsWith("\r\n")) << "the half row was taken back at once";
    }
    riga.accesso = 3;
    riga.motivo.clear();
    RegistroVisite(path).Aggiungi(riga);
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][Accesso], "1");
    EXPECT_EQ(rows[0][Motivo], "a reason, \"quoted\"");
    EXPECT_EQ(rows[1][Accesso], "3");
}

TEST_F(VisitRecord, RetryAfterDelaysTheNextRequest)
{
    ScriptedServer server(
        {ConnectionScript().ReadRequest().Send(
             "HTTP/1.1 429 Too Many Requests\r\nRetry-After: 2\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
         ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nok")});
    LoadList("mia.tvx", Entry(server.HostPort(), "/p", 2));
    waitFor = [](std::uint32_t ms) { return ms; };
    QStringList statusDuringWait;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString now = main->StatusBar->currentMessage();
        if (now.startsWith("Il server") && (statusDuringWait.isEmpty() || statusDuringWait.last() != now))
            statusDuringWait << now;
    });
    watch.start();
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    const auto accepted = server.AcceptTimes();
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(accepted[1] - accepted[0]).count(), 2000);
    EXPECT_EQ(statusDuringWait, (QStringList{"Il server chiede di attendere: ancora 2 s...",
                                             "Il server chiede di attendere: ancora 1 s..."}));
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].mid(Esito, 2), (QStringList{"errore", "429"}));
    EXPECT_EQ(rows[0][Motivo], "Risposta HTTP 429; attesa di 2 s chiesta dal server");
    EXPECT_EQ(rows[1][Esito], "fatto");
    // The visit that got the 429 failed, as any answer of 400 or above does.
    EXPECT_EQ(main->AccessiFalliti, 1);
}

TEST_F(VisitRecord, InterruptDuringTheServersWaitEndsTheRunAtOnce)
{
    ScriptedServer server(
        {ConnectionScript().ReadRequest().Send("HTTP/1.0 503 Service Unavailable\r\nRetry-After: 60\r\n\r\n")});
    LoadList("mia.tvx", Entry(server.HostPort(), "/p", 3));
    waitFor = [](std::uint32_t ms) { return ms; };
    // Interrompi as soon as the status bar shows the wait.
    QElapsedTimer sinceClick;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (main->StatusBar->currentMessage().startsWith("Il server chiede di attendere")) {
            watch.stop();
            sinceClick.start();
            main->sbInterrompi->click();
        }
    });
    watch.start();
    main->btIniziaClick();
    ASSERT_TRUE(sinceClick.isValid());
    EXPECT_LT(sinceClick.elapsed(), 5000);
    // The wait asked for is the server's minute; a busy machine may take a
    // millisecond of it before the wait starts.
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_GE(waits[0], 59000u);
    EXPECT_LE(waits[0], 60000u);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_FALSE(main->InEsecuzione());
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][Motivo], "Risposta HTTP 503; attesa di 60 s chiesta dal server");
}

TEST_F(VisitRecord, WaitsWithoutRetryAfterAndTheCap)
{
    struct Row {
        const char *name;
        std::string answer;
        std::vector<std::uint32_t> waits;
        QString motivo;
    };
    const Row rows[] = {
        {"429 alone waits as Min",
         "HTTP/1.0 429 Too Many Requests\r\n\r\n",
         {10000},
         "Risposta HTTP 429; attesa di 10 s chiesta dal server"},
        {"503 alone does not wait", "HTTP/1.0 503 Service Unavailable\r\n\r\n", {}, "Risposta HTTP 503"},
        {"a day is cut to ten minutes",
         "HTTP/1.0 429 Slow down\r\nRetry-After: 86400\r\n\r\n",
         {600000},
         "Risposta HTTP 429; attesa di 600 s chiesta dal server (ridotta da 86400 s)"},
        {"the last visit of a run waits for nothing", "", {}, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        waits.clear();
        folder.Write(kNomeRegistroVisite, "");
        if (row.answer.empty()) {
            ScriptedServer server({ConnectionScript().ReadRequest().Send("HTTP/1.0 429 X\r\nRetry-After: 5\r\n\r\n")});
            LoadList("mia.tvx", Entry(server.HostPort(), "/p", 1));
            boxes.ExpectQuestion(kReport, false);
            main->btIniziaClick();
            EXPECT_TRUE(waits.empty());
            continue;
        }
        ScriptedServer server({ConnectionScript().ReadRequest().Send(row.answer),
                               ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nok")});
        LoadList("mia.tvx", Entry(server.HostPort(), "/p", 2));
        boxes.ExpectQuestion(kReport, false);
        main->btIniziaClick();
        EXPECT_EQ(waits, row.waits);
        const std::vector<QStringList> r = Rows();
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0][Motivo], row.motivo);
    }
}

TEST(VisitTime, LocalTimeWithItsOffset)
{
    const QDateTime system = QDateTime::currentDateTime();
    const QDateTime ours = AdessoLocale();
    EXPECT_EQ(ours.offsetFromUtc(), system.offsetFromUtc());
    EXPECT_LE(qAbs(system.msecsTo(ours)), 2000);
    EXPECT_EQ(MomentoIso(QDateTime(QDate(2026, 12, 7), QTime(16, 49, 5, 123), Qt::OffsetFromUTC, -(5 * 3600 + 1800))),
              "2026-12-07T16:49:05.123-05:30");
    EXPECT_EQ(MomentoIso(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, 0)),
              "2026-01-02T03:04:05.006+00:00");
}

TEST(RetryAfter, SecondsOrAnHttpDate)
{
    const QDateTime now(QDate(2026, 12, 7), QTime(16, 0, 0), QTimeZone::utc());
    struct Row {
        const char *name;
        std::vector<std::string> header;
        std::optional<qint64> ms;
    };
    const Row rows[] = {
        {"seconds", {"HTTP/1.1 429 Too Many Requests", "Retry-After: 2"}, 2000},
        {"blanks and case", {"HTTP/1.1 503 x", "retry-after:   120  "}, 120000},
        {"IMF date", {"Retry-After: Mon, 07 Dec 2026 16:00:05 GMT"}, 5000},
        {"RFC 850 date", {"Retry-After: Monday, 07-Dec-26 16:01:00 GMT"}, 60000},
        {"asctime date", {"Retry-After: Mon Dec  7 16:00:30 2026"}, 30000},
        {"date in the past", {"Retry-After: Mon, 07 Dec 2026 15:00:00 GMT"}, 0},
        {"huge number is a long wait", {"Retry-After: 99999999999999999999"}, Q_INT64_C(999999999999000)},
        {"negative", {"Retry-After: -5"}, std::nullopt},
        {"words", {"Retry-After: soon"}, std::nullopt},
        {"missing", {"HTTP/1.1 429 Too Many Requests", "Content-Length: 0"}, std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(RetryAfterMs(row.header, now), row.ms);
    }
    // The date is UTC whatever the zone here: not lost in a daylight-saving
    // gap of the local clock (02:30 did not exist in Rome that night), nor
    // moved by an hour.
    const QByteArray oldZone = qgetenv("TZ");
    qputenv("TZ", "Europe/Rome");
    tzset();
    const QDateTime night(QDate(2026, 3, 29), QTime(2, 0, 0), QTimeZone::utc());
    EXPECT_EQ(RetryAfterMs({"Retry-After: Sun, 29 Mar 2026 02:30:00 GMT"}, night), 1800000);
    EXPECT_EQ(RetryAfterMs({"Retry-After: Sun Mar 29 02:30:00 2026"}, night), 1800000);
    EXPECT_EQ(RetryAfterMs({"Retry-After: Sun, 29 Mar 2026 02:30:00 CET"}, night), std::nullopt);
    if (oldZone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldZone);
    tzset();
    EXPECT_EQ(StatoRisposta({"HTTP/1.1 429 Too Many Requests", "Retry-After: 2"}), 429);
    EXPECT_EQ(StatoRisposta({"HTTP/1.0 200"}), 200);
    EXPECT_EQ(StatoRisposta({}), 0);
    EXPECT_EQ(StatoRisposta({"Server: x"}), 0);
}
