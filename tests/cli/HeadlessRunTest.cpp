#include "tests/support/NginxFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTime>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

enum Col { Inizio, Lista, Indirizzo, Accesso, Di, Modalita, Esito, Stato, Byte, Durata, Motivo, IdCorsa, Colonne };

// The program as installed: a bin folder with its share folder beside it, so
// that its files go to the data folder of whatever HOME it is given.
class InstalledCopy {
public:
    InstalledCopy()
    {
        QDir().mkpath(dir_.filePath("bin"));
        QDir().mkpath(dir_.filePath("share/quorvi"));
        const QString target = dir_.filePath("bin/quorvi");
        // A hard link when the folders share a file system, else a copy.
        if (::link(QUORVI_BINARY, QFile::encodeName(target).constData()) != 0)
            QFile::copy(QStringLiteral(QUORVI_BINARY), target);
    }
    QString Program() const { return dir_.filePath("bin/quorvi"); }

private:
    QTemporaryDir dir_;
};

QByteArray Entry(const QString &hostPort, const QString &path, int count)
{
    return ("Sito=" + hostPort + path + " Num=" + QString::number(count) + "\r\n").toLatin1();
}

int Hits(const QStringList &accessLog, const QString &path)
{
    int hits = 0;
    for (const QString &line : accessLog)
        hits += line.contains("GET " + path + " HTTP/1.0") ? 1 : 0;
    return hits;
}

class HeadlessRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { copy_ = new InstalledCopy; }
    static void TearDownTestSuite()
    {
        delete copy_;
        copy_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(copy_->Program()).isExecutable());
        try {
            nginx_ = std::make_unique<NginxServer>();
        } catch (const std::exception &e) {
            FAIL() << "nginx not available: " << e.what();
        }
        web_ = "127.0.0.1:" + nginx_->PortText();
        nginx_->Serve("ok.html", "<html>ok</html>\n");
    }

    QString Data(const QString &name) const { return home_.filePath(".local/share/T4V_Quorvi/" + name); }
    void WriteData(const QString &name, const QByteArray &bytes) const
    {
        QDir().mkpath(home_.filePath(".local/share/T4V_Quorvi"));
        QFile f(Data(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    // No display, no settings of the machine's user: an empty HOME; and as
    // bare an environment as cron gives.
    // changeEnv: the environment to change; prepare: where its standard
    // streams go, before it starts.
    std::unique_ptr<QProcess> Start(const QStringList &arguments,
                                    const std::function<void(QProcessEnvironment &)> &changeEnv = {},
                                    const std::function<void(QProcess &)> &prepare = {}) const
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env;
        env.insert("HOME", home_.path());
        env.insert("PATH", qEnvironmentVariable("PATH"));
        env.insert("LANG", lang_);
        env.insert("ASAN_OPTIONS", "detect_leaks=0:new_delete_type_mismatch=0");
        if (changeEnv)
            changeEnv(env);
        p->setProcessEnvironment(env);
        if (prepare)
            prepare(*p);
        p->start(copy_->Program(), arguments);
        EXPECT_TRUE(p->waitForStarted(10000));
        return p;
    }
    struct Ended {
        int status;
        QString out, err;
    };
    Ended Finish(QProcess &p, int timeoutMs = 120000) const
    {
        EXPECT_TRUE(p.waitForFinished(timeoutMs)) << "the program did not end";
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -p.error(),
                QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }
    Ended Run(const QStringList &arguments, const std::function<void(QProcessEnvironment &)> &changeEnv = {}) const
    {
        auto p = Start(arguments, changeEnv);
        return Finish(*p);
    }
    std::vector<QStringList> Rows() const
    {
        std::vector<QStringList> rows = ReadCsvWithPython(Data("LogQuorvi.csv"));
        if (rows.empty()) {
            ADD_FAILURE() << "no record";
            return rows;
        }
        EXPECT_EQ(rows.front().size(), Colonne);
        EXPECT_EQ(rows.front().last(), "corsa");
        rows.erase(rows.begin());
        for (const QStringList &row : rows)
            EXPECT_EQ(row.size(), Colonne) << row.join('|').toStdString();
        return rows;
    }

    static InstalledCopy *copy_;
    QString lang_ = "C.UTF-8";
    QTemporaryDir home_;
    std::unique_ptr<NginxServer> nginx_;
    QString web_;
};
InstalledCopy *HeadlessRun::copy_ = nullptr;

bool WaitFor(const std::function<bool()> &cond, int timeoutMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (!cond()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

} // namespace

TEST_F(HeadlessRun, AListAgainstNginxWithItsOutputSummaryLogAndRecord)
{
    nginx_->Serve("due.html", "due\n");
    WriteData("mia.tvx", Entry(web_, "/ok.html", 2) + Entry(web_, "/due.html", 1));
    // A date in the log is Italian as its sentence, whatever the locale says.
    lang_ = "en_US.UTF-8";
    const Ended end = Run({"--esegui", "mia"});
    EXPECT_EQ(end.status, 0) << end.err.toStdString();
    // Standard error is no terminal here: no progress line, and nothing else,
    // not even what Qt says of a bare environment: cron would mail it.
    EXPECT_TRUE(end.err.isEmpty()) << end.err.toStdString();

    // A line a visit, wget -nv's way, then the summary.
    const QStringList out = end.out.split('\n');
    const QString ok = web_ + "/ok.html", due = web_ + "/due.html";
    ASSERT_GE(out.size(), 5);
    const QString visits[][3] = {{ok, "1/2", "16"}, {ok, "2/2", "16"}, {due, "1/1", "4"}};
    for (int k = 0; k < 3; ++k) {
        const QStringList words = out[k].split(' ', Qt::SkipEmptyParts);
        ASSERT_EQ(words.size(), 9) << out[k].toStdString();
        EXPECT_TRUE(QTime::fromString(words[0], "HH:mm:ss").isValid()) << out[k].toStdString();
        EXPECT_EQ(words.mid(1, 7),
                  (QStringList{visits[k][0], visits[k][1], "fatto", "200", visits[k][2], "B", words[7]}));
        EXPECT_EQ(words[8], "ms");
        // Aligned: the addresses padded to the longest.
        EXPECT_EQ(out[k].indexOf(visits[k][1]), out[2].indexOf("1/1")) << out[k].toStdString();
    }
    EXPECT_EQ(out[3], "Riepilogo: completato.");
    EXPECT_TRUE(end.out.contains("  accessi richiesti: 3\n  fatti: 3\n  non riusciti: 0\n")) << end.out.toStdString();
    EXPECT_TRUE(end.out.contains("  byte ricevuti: 36\n")) << end.out.toStdString();
    EXPECT_TRUE(end.out.contains("  durata (ms): minima ")) << end.out.toStdString();
    EXPECT_TRUE(end.out.contains("  tempo trascorso: ")) << end.out.toStdString();

    // The log keeps the system's own lines, written where the window writes it.
    QFile log(Data("LogQuorvi.txt"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QStringList logLines = QString::fromLatin1(log.readAll()).split("\r\n");
    ASSERT_GE(logLines.size(), 12);
    EXPECT_EQ(logLines.mid(0, 11), (QStringList{"", "Inizio di 1 multi accessi in:", ok, "Multi accesso numero 1",
                                                ok + "...fatto.", "Multi accesso numero 2", ok + "...fatto.", due,
                                                "Multi accesso numero 1", due + "...fatto.", ""}));
    EXPECT_TRUE(QRegularExpression("^Multi accesso eseguito in data \\d\\d/\\d\\d/\\d\\d concluso alle ore "
                                   "\\d\\d:\\d\\d:\\d\\d$")
                    .match(logLines[11])
                    .hasMatch())
        << logLines[11].toStdString();
    lang_ = "C.UTF-8";

    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    for (const QStringList &r : rows) {
        EXPECT_EQ(r[Lista], "mia.tvx");
        EXPECT_EQ(r[Esito], "fatto");
        EXPECT_EQ(r[IdCorsa], rows[0][IdCorsa]);
    }
    EXPECT_FALSE(rows[0][IdCorsa].isEmpty());
    EXPECT_EQ(Hits(nginx_->AccessLog(), "/ok.html"), 2);
    EXPECT_EQ(Hits(nginx_->AccessLog(), "/due.html"), 1);

    // A list named by its path; a run afresh has an id of its own.
    const QString elsewhere = home_.filePath("altrove.tvx");
    QFile f(elsewhere);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(Entry(web_, "/ok.html", 1));
    f.close();
    const Ended byPath = Run({"--esegui", elsewhere, "--testo"});
    EXPECT_EQ(byPath.status, 0) << byPath.err.toStdString();
    const std::vector<QStringList> after = Rows();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[3][Lista], "altrove.tvx");
    EXPECT_NE(after[3][IdCorsa], rows[0][IdCorsa]);

    // What the store knows, for a person: every list, or one.
    const Ended all = Run({"--corse"});
    EXPECT_EQ(all.status, 0) << all.err.toStdString();
    const QStringList table = all.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(table.size(), 3) << all.out.toStdString();
    EXPECT_TRUE(table[0].startsWith("corsa ")) << table[0].toStdString();
    EXPECT_TRUE(table[0].contains(QRegularExpression("esito +richiesti +fatti +falliti +lista$")))
        << table[0].toStdString();
    EXPECT_TRUE(table[1].startsWith(rows[0][IdCorsa])) << table[1].toStdString();
    EXPECT_TRUE(table[1].contains(QRegularExpression(" completato +3 +3 +0  .*/mia\\.tvx$"))) << table[1].toStdString();
    EXPECT_TRUE(table[2].endsWith(QFileInfo(elsewhere).canonicalFilePath())) << table[2].toStdString();
    const Ended one = Run({"--corse", "mia"});
    EXPECT_EQ(one.out.count('\n'), 2) << one.out.toStdString();
    EXPECT_TRUE(one.out.contains(rows[0][IdCorsa])) << one.out.toStdString();
}

TEST_F(HeadlessRun, GraphicModeNeedsNoDisplayEither)
{
    WriteData("mia.tvx", Entry(web_, "/ok.html", 2) + Entry(web_, "/manca.html", 1));
    const Ended end = Run({"--esegui", "mia", "--grafica"});
    EXPECT_EQ(end.status, 1) << end.err.toStdString();
    EXPECT_TRUE(QRegularExpression(" " + QRegularExpression::escape(web_) + "/manca.html +1/1 errore +404 +- B")
                    .match(end.out)
                    .hasMatch())
        << end.out.toStdString();
    // Nothing the user could act on: not even the engine's note, as root, that
    // its sandbox is off.
    EXPECT_TRUE(end.err.isEmpty()) << end.err.toStdString();
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].mid(Modalita, 3), (QStringList{"grafica", "fatto", "200"}));
    EXPECT_EQ(rows[2].mid(Modalita, 3), (QStringList{"grafica", "errore", "404"}));
    // The engine speaks HTTP/1.1.
    int pages = 0;
    for (const QString &line : nginx_->AccessLog())
        pages += line.contains("GET /ok.html ") ? 1 : 0;
    EXPECT_EQ(pages, 2);

    // Through the proxy the command line names, as a text run goes: one that
    // refuses every connection fails each visit, and the site hears nothing.
    const qsizetype heard = nginx_->AccessLog().size();
    const Ended proxied = Run({"--esegui", "mia", "--grafica", "--proxy", "127.0.0.1:1"});
    EXPECT_EQ(proxied.status, 1) << proxied.err.toStdString();
    EXPECT_FALSE(proxied.out.contains(" fatto ")) << proxied.out.toStdString();
    EXPECT_EQ(nginx_->AccessLog().size(), heard);
    const std::vector<QStringList> after = Rows();
    ASSERT_EQ(after.size(), 6u);
    EXPECT_EQ(after[3][Motivo], "Proxy 127.0.0.1:1: connessione non riuscita.");
}

TEST_F(HeadlessRun, FailedVisitsGiveOneAndTheirCauses)
{
    WriteData("mia.tvx", Entry(web_, "/ok.html", 1) + Entry(web_, "/manca.html", 2) + Entry("127.0.0.1:1", "/x", 1));
    const Ended end = Run({"--esegui", "mia.tvx"});
    EXPECT_EQ(end.status, 1) << end.err.toStdString();
    EXPECT_TRUE(end.out.contains(QRegularExpression(" 127.0.0.1:1/x +1/1 errore +- +0 B +\\d+ ms  Connessione "
                                                    "rifiutata\n")))
        << end.out.toStdString();
    // What went wrong first, then the counts.
    EXPECT_TRUE(end.out.contains("Riepilogo: completato, 3 accessi non riusciti su 4.\n  non riusciti: "
                                 "3\n    Risposta HTTP 404: 2\n    Connessione rifiutata: 1\n"))
        << end.out.toStdString();
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3][Esito], "errore");

    // Quiet: the failed visits and the summary, nothing of what went well.
    const Ended quiet = Run({"--esegui", "mia.tvx", "--silenzioso"});
    EXPECT_EQ(quiet.status, 1);
    const QStringList lines = quiet.out.split('\n');
    ASSERT_GE(lines.size(), 4);
    EXPECT_TRUE(lines[0].contains("/manca.html 1/2 errore")) << quiet.out.toStdString();
    EXPECT_TRUE(lines[1].contains("/manca.html 2/2 errore")) << quiet.out.toStdString();
    EXPECT_TRUE(lines[2].contains(QRegularExpression("127.0.0.1:1/x +1/1 errore"))) << quiet.out.toStdString();
    EXPECT_TRUE(lines[3].startsWith("Riepilogo: ")) << quiet.out.toStdString();
}

TEST_F(HeadlessRun, WhatCannotRunGivesTwo)
{
    WriteData("storta.tvx", "Sito=alfa Num=1\r\nnon una voce\r\n\r\n");
    WriteData("buona.tvx", Entry(web_, "/ok.html", 1));
    QFile shadow(home_.filePath("shadow"));
    ASSERT_TRUE(shadow.open(QIODevice::WriteOnly));
    shadow.write("root:*:20000:0:99999:7:::\n");
    shadow.close();
    struct Row {
        const char *name;
        QStringList arguments;
        QByteArray settings; // empty: none
        QString err;
    };
    const Row rows[] = {
        // Where it looked.
        {"no such list",
         {"--esegui", "nessuna"},
         {},
         "lista non trovata: nessuna (cercata come nessuna e nessuna.tvx in " + Data("")},
        // Named whole, and where it went wrong.
        {"a list the window would refuse",
         {"--esegui", "storta"},
         {},
         "La lista " + Data("storta.tvx") +
             " non è stata riconosciuta valida.\nquorvi:   riga 2: non inizia con \"Sito=\"\nquorvi:   riga 3: riga "
             "vuota\n"},
        {"a file by its path, no .tvx",
         {"--esegui", shadow.fileName()},
         {},
         "La lista " + shadow.fileName() + " non è"},
        {"a folder is no list", {"--esegui", home_.path()}, {}, "lista non trovata"},
        {"settings that are no settings",
         {"--esegui", "buona"},
         "dieci\r\n\r\nTrue\r\nTrue\r\nFalse\r\n",
         "impostazioni"},
        {"bad usage", {"--esegui", "buona", "--pausa", "7"}, {}, "--pausa"},
        {"a proxy of another kind",
         {"--esegui", "buona", "--proxy", "socks5://127.0.0.1:1080"},
         {},
         "proxy non valido"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.settings.isEmpty())
            WriteData("impquorvi.imptvx", row.settings);
        const Ended end = Run(row.arguments);
        EXPECT_EQ(end.status, 2);
        EXPECT_TRUE(end.err.contains(row.err)) << end.err.toStdString();
        QFile::remove(Data("impquorvi.imptvx"));
    }
    EXPECT_TRUE(nginx_->AccessLog().isEmpty());
}

TEST_F(HeadlessRun, WhatCannotBeWrittenGivesFourAndNamesTheFile)
{
    struct Row {
        const char *name;
        const char *blocked; // made a folder (or, for the locks' folder, a file) so nothing can write it
        bool visits;         // whether the run goes on
    };
    const Row rows[] = {
        {"the visit record", "LogQuorvi.csv", true},
        {"the log", "LogQuorvi.txt", true},
        {"the store of runs", "QuorviCorse.sqlite", true},
        {"the locks' folder", "blocchi", false},
    };
    WriteData("mia.tvx", Entry(web_, "/ok.html", 1));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const qsizetype heard = Hits(nginx_->AccessLog(), "/ok.html");
        QFile::remove(Data(row.blocked));
        QDir(Data("blocchi")).removeRecursively();
        if (QString(row.blocked) == "blocchi")
            WriteData(row.blocked, "");
        else
            QDir().mkpath(Data(row.blocked));
        const Ended end = Run({"--esegui", "mia"});
        EXPECT_EQ(end.status, 4) << end.err.toStdString();
        EXPECT_TRUE(end.err.contains(Data(row.blocked))) << end.err.toStdString();
        EXPECT_EQ(Hits(nginx_->AccessLog(), "/ok.html"), heard + (row.visits ? 1 : 0));
        QFile::remove(Data(row.blocked));
        QDir(Data(row.blocked)).removeRecursively();
    }
}

TEST_F(HeadlessRun, WithoutAHomeNothingIsWrittenUnlessTheDataHomeIsGiven)
{
    const QString list = home_.filePath("mia.tvx");
    QFile f(list);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(Entry(web_, "/ok.html", 1));
    f.close();
    const struct {
        const char *name;
        std::function<void(QProcessEnvironment &)> env;
    } rows[] = {
        {"HOME unset", [](QProcessEnvironment &e) { e.remove("HOME"); }},
        {"HOME empty", [](QProcessEnvironment &e) { e.insert("HOME", ""); }},
        {"HOME relative", [](QProcessEnvironment &e) { e.insert("HOME", "casa"); }},
        {"HOME the root", [](QProcessEnvironment &e) { e.insert("HOME", "/"); }},
        {"a relative data home does not make up for it",
         [](QProcessEnvironment &e) {
             e.remove("HOME");
             e.insert("XDG_DATA_HOME", "dati");
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Ended end = Run({"--esegui", list}, row.env);
        EXPECT_EQ(end.status, 2);
        EXPECT_TRUE(end.err.contains("HOME")) << end.err.toStdString();
        EXPECT_EQ(Run({"--corse"}, row.env).status, 2);
    }
    // Nothing ran, and nothing of this list went to the root's folder (which
    // an older program, run by anyone on this machine, may have made).
    EXPECT_EQ(Hits(nginx_->AccessLog(), "/ok.html"), 0);
    QFile atRoot("/.local/share/T4V_Quorvi/LogQuorvi.csv");
    if (atRoot.open(QIODevice::ReadOnly)) {
        EXPECT_FALSE(atRoot.readAll().contains(web_.toUtf8()));
    }
    const Ended given = Run({"--esegui", list}, [&](QProcessEnvironment &e) {
        e.remove("HOME");
        e.insert("XDG_DATA_HOME", home_.filePath("dati"));
    });
    EXPECT_EQ(given.status, 0) << given.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(home_.filePath("dati/T4V_Quorvi/LogQuorvi.csv")));
}

// The run resumed is the one of this very list: the same file, with the
// lines it had. Another file of the same name, or the list edited, starts
// afresh, and says why.
TEST_F(HeadlessRun, ResumeIsOfTheSameFileWithTheSameLines)
{
    const QByteArray lines = Entry(web_, "/manca.html", 1) + Entry(web_, "/ok.html", 2);
    WriteData("mia.tvx", lines);
    // Stopped after its first (failed) visit: 1 of 3 made.
    ASSERT_EQ(Run({"--esegui", "mia", "--ferma-dopo", "1"}).out.count(" errore "), 1);
    QDir().mkpath(home_.filePath("altrove"));
    QFile other(home_.filePath("altrove/mia.tvx"));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.write(lines);
    other.close();
    const struct {
        const char *name;
        QString list;
        QByteArray content; // empty: as it is
        const char *says;
        int asked;
    } rows[] = {
        {"another file of the same name",
         other.fileName(),
         {},
         "Nessun multi accesso della lista mia.tvx da riprendere",
         3},
        {"a line added", "mia", lines + Entry(web_, "/ok.html", 1), "La lista mia.tvx è cambiata dopo", 4},
        {"a count changed", "mia", Entry(web_, "/manca.html", 1) + Entry(web_, "/ok.html", 3), "è cambiata dopo", 4},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.content.isEmpty()) {
            WriteData("mia.tvx", lines);
            ASSERT_EQ(Run({"--esegui", "mia", "--ferma-dopo", "1"}).out.count(" errore "), 1);
            WriteData("mia.tvx", row.content);
        }
        const qsizetype before = Hits(nginx_->AccessLog(), "/manca.html");
        const Ended end = Run({"--esegui", row.list, "--riprendi"});
        EXPECT_TRUE(end.err.contains(row.says)) << end.err.toStdString();
        EXPECT_FALSE(end.out.contains("Ripresa")) << end.out.toStdString();
        EXPECT_TRUE(end.out.contains(QStringLiteral("accessi richiesti: %1\n  fatti:").arg(row.asked)))
            << end.out.toStdString();
        EXPECT_EQ(Hits(nginx_->AccessLog(), "/manca.html"), before + 1);
    }
    // Each run started afresh took the place of the one left unfinished.
    EXPECT_EQ(Run({"--corse", "mia"}).out.count(" abbandonato "), 3);
    // The list as it was, with its run left unfinished: that run goes on.
    WriteData("mia.tvx", lines);
    ASSERT_EQ(Run({"--esegui", "mia", "--ferma-dopo", "1"}).out.count(" errore "), 1);
    const Ended resumed = Run({"--esegui", "mia", "--riprendi"});
    EXPECT_TRUE(resumed.out.contains(": 1 accessi su 3 già fatti.")) << resumed.out.toStdString();
}

// Totals past what 32 bits hold, and a run stopped in the middle of them
// that ends at once rather than counting through the rest.
TEST_F(HeadlessRun, CountsPastTwoBillionAndARunStoppedAmongThem)
{
    QByteArray list;
    for (int k = 0; k < 30000; ++k)
        list += Entry("127.0.0.1:1", QStringLiteral("/x%1").arg(k), 99999);
    WriteData("enorme.tvx", list);
    const Ended end = Run({"--esegui", "enorme", "--ferma-dopo", "1", "--pausa", "0"});
    EXPECT_EQ(end.out.count(" errore "), 1);
    EXPECT_TRUE(end.out.contains("accessi richiesti: 2999970000\n")) << end.out.right(600).toStdString();
    EXPECT_TRUE(end.out.contains("non eseguiti: 2999969999\n")) << end.out.right(600).toStdString();
}

TEST_F(HeadlessRun, SavedSettingsApplyAndTheCommandLineOverridesThem)
{
    // Saved: a proxy that refuses everything, and the "Min" pause of 10 s.
    WriteData("impquorvi.imptvx", "0\r\n127.0.0.1:1\r\nTrue\r\nTrue\r\nFalse\r\n");
    WriteData("mia.tvx", Entry(web_, "/ok.html", 1));
    QElapsedTimer clock;
    clock.start();
    const Ended refused = Run({"--esegui", "mia", "--pausa", "0"});
    EXPECT_EQ(refused.status, 1) << refused.out.toStdString();
    EXPECT_LT(clock.elapsed(), 9000);
    EXPECT_TRUE(nginx_->AccessLog().isEmpty());
    const Ended direct = Run({"--esegui", "mia", "--pausa", "0", "--proxy", ""});
    EXPECT_EQ(direct.status, 0) << direct.out.toStdString();
    EXPECT_EQ(Hits(nginx_->AccessLog(), "/ok.html"), 1);
}

TEST_F(HeadlessRun, SigintDuringAVisitAndDuringAPauseGives130AndKeepsTheRecord)
{
    struct Row {
        const char *name;
        std::string answer; // what the server does with the first request
        QStringList extra;
        const char *esito; // the first row's outcome
        int signal = SIGINT;
        int status = 130;
    };
    const Row rows[] = {
        {"during a visit", "", {"--senza-timeout"}, "interrotto"},
        {"during the server's pause", "HTTP/1.0 503 Service Unavailable\r\nRetry-After: 120\r\n\r\n", {}, "errore"},
        {"the terminal gone (SIGHUP) during a visit", "", {"--senza-timeout"}, "interrotto", SIGHUP, 129},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(Data("LogQuorvi.csv"));
        ConnectionScript first = ConnectionScript().ReadRequest();
        if (row.answer.empty())
            first.Hold();
        else
            first.Send(row.answer).Close();
        ScriptedServer server({first}, std::chrono::seconds(60));
        WriteData("lenta.tvx", Entry(QString::fromStdString(server.HostPort()), "/p", 3));
        auto p = Start(QStringList{"--esegui", "lenta"} + row.extra);
        ASSERT_TRUE(WaitFor([&] { return server.Connections() == 1; }));
        // Into the visit, or into the wait that follows it.
        QThread::msleep(row.answer.empty() ? 300 : 800);
        ::kill(pid_t(p->processId()), row.signal);
        QElapsedTimer clock;
        clock.start();
        const Ended end = Finish(*p, 30000);
        EXPECT_EQ(end.status, row.status) << end.err.toStdString();
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_TRUE(end.out.contains(row.signal == SIGHUP ? "Riepilogo: interrotto (SIGHUP)"
                                                          : "Riepilogo: interrotto (SIGINT)"))
            << end.out.toStdString();
        EXPECT_EQ(server.Connections(), 1);
        const std::vector<QStringList> rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][Esito], row.esito);
        EXPECT_TRUE(QFile::exists(Data("LogQuorvi.txt")));
        // The run's end is in the store: it ended, and is not taken for killed.
        const QStringList runs = Run({"--corse", "lenta"}).out.split('\n', Qt::SkipEmptyParts);
        EXPECT_TRUE(runs.last().contains(" interrotto ")) << runs.last().toStdString();
    }
}

TEST_F(HeadlessRun, SigtermDuringTheBandwidthPause)
{
    WriteData("mia.tvx", Entry(web_, "/ok.html", 2));
    auto p = Start({"--esegui", "mia", "--pausa", "10"});
    QThread::msleep(1500);
    ::kill(pid_t(p->processId()), SIGTERM);
    const Ended end = Finish(*p, 30000);
    EXPECT_EQ(end.status, 130);
    EXPECT_TRUE(end.out.startsWith("Riepilogo: interrotto (SIGTERM).\n")) << end.out.toStdString();
    EXPECT_TRUE(end.out.contains("non eseguiti: 2")) << end.out.toStdString();
    EXPECT_TRUE(nginx_->AccessLog().isEmpty());
}

TEST_F(HeadlessRun, ASecondRunOfTheSameListIsRefusedWhileTheFirstGoesOn)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Hold()}, std::chrono::seconds(60));
    WriteData("lenta.tvx", Entry(QString::fromStdString(server.HostPort()), "/p", 2));
    WriteData("altra.tvx", Entry(web_, "/ok.html", 1));
    auto first = Start({"--esegui", "lenta", "--senza-timeout"});
    ASSERT_TRUE(WaitFor([&] { return server.Connections() == 1; }));
    const Ended second = Run({"--esegui", "lenta.tvx", "--riprendi"});
    EXPECT_EQ(second.status, 3);
    EXPECT_TRUE(second.err.contains("Impossibile iniziare la procedura, la lista lenta.tvx è già in esecuzione."))
        << second.err.toStdString();
    // Another list is free to run meanwhile, one of the same name elsewhere too.
    EXPECT_EQ(Run({"--esegui", "altra"}).status, 0);
    QDir().mkpath(home_.filePath("altrove"));
    QFile sameName(home_.filePath("altrove/lenta.tvx"));
    ASSERT_TRUE(sameName.open(QIODevice::WriteOnly));
    sameName.write(Entry(web_, "/ok.html", 1));
    sameName.close();
    EXPECT_EQ(Run({"--esegui", sameName.fileName()}).status, 0);
    ::kill(pid_t(first->processId()), SIGTERM);
    EXPECT_EQ(Finish(*first, 30000).status, 130);
    EXPECT_EQ(server.Connections(), 1);
    // Once it has ended, the list is free again: the lock died with the run.
    EXPECT_NE(Run({"--esegui", "lenta", "--ferma-dopo", "1", "--senza-timeout"}).status, 2);
}

TEST_F(HeadlessRun, TheTenFailuresQuestionIsAnsweredByPolicy)
{
    WriteData("rotta.tvx", Entry("127.0.0.1:1", "/x", 25));
    const Ended on = Run({"--esegui", "rotta"});
    EXPECT_EQ(on.status, 1);
    EXPECT_EQ(on.out.count("Più di 10 accessi non riusciti"), 1) << on.out.toStdString();
    EXPECT_EQ(on.out.count(" errore "), 25);
    const Ended stopped = Run({"--esegui", "rotta", "--ferma-dopo", "4"});
    EXPECT_EQ(stopped.status, 5);
    EXPECT_EQ(stopped.out.count(" errore "), 4) << stopped.out.toStdString();
    EXPECT_TRUE(stopped.out.contains("fermato dopo 4 accessi non riusciti (--ferma-dopo)"))
        << stopped.out.toStdString();
    EXPECT_TRUE(stopped.out.contains("non eseguiti: 21")) << stopped.out.toStdString();
}

TEST_F(HeadlessRun, ResumedUnderFireEveryVisitIsMadeItsCountOfTimes)
{
    // A few hundred visits over entries of different counts, one of them twice.
    std::map<QString, int> asked;
    QByteArray list;
    const int counts[] = {220, 1, 125, 0, 150, 100};
    for (int k = 0; k < 6; ++k) {
        const QString page = QStringLiteral("/p%1.html").arg(k);
        nginx_->Serve(page.mid(1), "pagina\n");
        list += Entry(web_, page, counts[k]);
        asked[page] += counts[k];
    }
    list += Entry(web_, "/p2.html", 30);
    asked["/p2.html"] += 30;
    int total = 0;
    for (const auto &[page, n] : asked)
        total += n;
    WriteData("fuoco.tvx", list);

    // Visits the record holds: one row each, below the header.
    const auto rowsSoFar = [&] {
        QFile f(Data("LogQuorvi.csv"));
        return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) - 1 : 0;
    };
    int kills = 0;
    QRandomGenerator random(QRandomGenerator::global()->generate());
    bool endedAlone = false;
    for (int round = 0; round < 6 && !endedAlone; ++round) {
        auto p = Start({"--esegui", "fuoco", "--riprendi"});
        // Killed at a random visit of what is left, whatever the build's pace;
        // the fourth time once every visit is made (by then the run has
        // mostly ended: the store tells).
        const int done = rowsSoFar();
        const int target = round == 3 ? total : done + 1 + int(random.bounded(qMax(1, (total - done) / 3)));
        WaitFor([&] { return rowsSoFar() >= target || p->waitForFinished(0) || p->state() != QProcess::Running; },
                120000);
        if (p->state() == QProcess::Running) {
            ::kill(pid_t(p->processId()), SIGKILL);
            p->waitForFinished(30000);
            // A program killed on its way out, after its run's end was in the
            // store, had ended its run: the store says which.
            const QStringList runs = Run({"--corse", "fuoco"}).out.split('\n', Qt::SkipEmptyParts);
            endedAlone = !runs.isEmpty() && runs.last().contains(" completato ");
            kills += endedAlone ? 0 : 1;
        } else {
            // Had it ended by itself, a later --riprendi would start afresh.
            endedAlone = true;
        }
        p->waitForFinished(30000);
    }
    const Ended last = endedAlone ? Ended{0, QString(), QString()} : Run({"--esegui", "fuoco", "--riprendi"});
    EXPECT_EQ(last.status, 0) << last.err.toStdString();
    // Several kills, or the test proves little.
    ASSERT_GE(kills, 3);

    int extra = 0;
    const QStringList accessLog = nginx_->AccessLog();
    for (const auto &[page, n] : asked) {
        SCOPED_TRACE(page.toStdString());
        const int hits = Hits(accessLog, page);
        EXPECT_GE(hits, n);
        extra += hits - n;
    }
    // A visit under way at a kill left no row, and is made again: one at most for each kill.
    EXPECT_LE(extra, kills);

    // The record reads back whole, of one run: a row for each visit made to
    // its end; a visit killed after its row, before the store had it, was
    // made again and has two (one more at most for each kill).
    const std::vector<QStringList> rows = Rows();
    std::map<QString, int> recorded;
    for (const QStringList &r : rows) {
        if (r[Lista] == "fuoco.tvx" && r[Esito] == "fatto") {
            ++recorded[r[Indirizzo].mid(r[Indirizzo].lastIndexOf('/'))];
            EXPECT_EQ(r[IdCorsa], rows[0][IdCorsa]);
        }
    }
    int extraRows = 0;
    for (const auto &[page, n] : asked) {
        EXPECT_GE(recorded[page], n) << page.toStdString();
        EXPECT_LE(recorded[page], Hits(accessLog, page)) << page.toStdString();
        extraRows += recorded[page] - n;
    }
    EXPECT_LE(extraRows, kills);
    if (!endedAlone) {
        EXPECT_TRUE(last.out.contains(QStringLiteral("accessi richiesti: %1").arg(total))) << last.out.toStdString();
    }

    // Nothing is left to resume: --riprendi runs the list afresh.
    const Ended again = Run({"--esegui", "fuoco", "--riprendi", "--pausa", "0"});
    EXPECT_EQ(again.status, 0);
    EXPECT_FALSE(again.out.contains("Ripresa")) << again.out.toStdString();

    // What a kill right after the last visit leaves, too quick a moment to
    // aim at: every visit in the store, and no end. Nothing is made again.
    ASSERT_EQ(QProcess::execute("sqlite3", {Data("QuorviCorse.sqlite"), "update corse set fine = null, esito = null "
                                                                        "where n = (select max(n) from corse)"}),
              0);
    const qsizetype heard = nginx_->AccessLog().size();
    const Ended nothingLeft = Run({"--esegui", "fuoco", "--riprendi"});
    EXPECT_EQ(nothingLeft.status, 0);
    EXPECT_TRUE(nothingLeft.out.contains(QStringLiteral(": %1 accessi su %1 già fatti.").arg(total)))
        << nothingLeft.out.toStdString();
    EXPECT_EQ(nginx_->AccessLog().size(), heard);
}

TEST_F(HeadlessRun, EachExitStatusComesFromItsCause)
{
    struct Row {
        const char *name;
        QByteArray list;
        QStringList extra;
        int status;
        QString out; // in the summary
        QString err; // on standard error; empty: nothing there
        int hits;    // of /ok.html
    };
    const QString ipv6 = "Sito=::1:" + nginx_->PortText() + "/ok.html Num=1\r\n";
    const Row rows[] = {
        {"every visit made", Entry(web_, "/ok.html", 2), {}, 0, "Riepilogo: completato.\n", "", 2},
        {"a malformed entry skipped, every visit made",
         Entry(web_, "/ok.html", 1) + "Sito=senza numero\r\n",
         {},
         1,
         "voci saltate: 1 (righe 2)\n    riga 2: manca \" Num=\"",
         "(riga 2) non è nel formato corretto",
         1},
        {"a count over the editor's limit",
         Entry(web_, "/ok.html", 1) + Entry(web_, "/ok.html", 100000),
         {},
         1,
         "riga 2: numero di accessi oltre 99999",
         "(riga 2)",
         1},
        {"an IPv6 address without brackets, before any connection",
         Entry(web_, "/ok.html", 1) + ipv6.toLatin1(),
         {},
         1,
         "riga 2: indirizzo IPv6 senza parentesi quadre",
         "(riga 2)",
         1},
        {"--ferma-dopo", Entry("127.0.0.1:1", "/x", 3), {"--ferma-dopo", "2"}, 5, "fermato dopo 2 accessi", "", 0},
        {"the proxy written as http_proxy is",
         Entry(web_, "/ok.html", 1),
         {"--proxy", "http://127.0.0.1:1/"},
         1,
         "Proxy 127.0.0.1:1: connessione rifiutata",
         "",
         0},
        {"a UTF-8 list with its mark",
         "\xEF\xBB\xBFSito=" + web_.toLatin1() + "/citt\xC3\xA0.html Num=1\r\n",
         {},
         1,
         QString("    Risposta HTTP 404: 1"),
         "",
         0},
    };
    int hits = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        WriteData("l.tvx", row.list);
        const Ended end = Run(QStringList{"--esegui", "l"} + row.extra);
        EXPECT_EQ(end.status, row.status) << end.out.toStdString() << end.err.toStdString();
        EXPECT_TRUE(end.out.contains(row.out)) << end.out.toStdString();
        if (row.err.isEmpty())
            EXPECT_TRUE(end.err.isEmpty()) << end.err.toStdString();
        else
            EXPECT_TRUE(end.err.contains(row.err)) << end.err.toStdString();
        hits += row.hits;
        EXPECT_EQ(Hits(nginx_->AccessLog(), "/ok.html"), hits);
    }
    // The UTF-8 list's address, as written: not cittÃ .
    EXPECT_EQ(Rows().back()[Indirizzo], "http://" + web_ + QStringLiteral("/città.html"));
}

TEST_F(HeadlessRun, JsonIsOneObjectALineWithTheRecordsNumbers)
{
    // A visit with no answer at all: its status is null, as the record's is empty.
    WriteData("mia.tvx", Entry(web_, "/ok.html", 2) + "Sito=rotta\r\n" + Entry(web_, "/manca.html", 1) +
                             Entry("127.0.0.1:1", "/x", 1));
    const Ended end = Run({"--esegui", "mia", "--json"});
    EXPECT_EQ(end.status, 1);
    EXPECT_TRUE(end.err.contains("(riga 2)")) << end.err.toStdString();
    const QString file = home_.filePath("out.jsonl");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(end.out.toUtf8());
    f.close();
    // Python's own parser, a line at a time: each line must be one whole object.
    QProcess python;
    python.start("python3", {"-c",
                             "import json, sys\n"
                             "objects = [json.loads(line) for line in open(sys.argv[1], encoding='utf-8')]\n"
                             "assert all(isinstance(o, dict) for o in objects)\n"
                             "print(json.dumps(objects))\n",
                             file});
    ASSERT_TRUE(python.waitForFinished(30000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString() << end.out.toStdString();
    const QJsonArray objects = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    const std::vector<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    ASSERT_EQ(objects.size(), 5);
    const auto text = [](const QJsonValue &v) {
        return v.isNull() ? QString() : v.isString() ? v.toString() : QString::number(v.toInteger());
    };
    std::vector<qint64> ms;
    qint64 bytes = 0;
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        const QJsonObject o = objects[k].toObject();
        EXPECT_EQ(o["tipo"], "accesso");
        const QStringList keys{"inizio", "lista", "indirizzo", "accesso",   "di",     "modalita",
                               "esito",  "stato", "byte",      "durata_ms", "motivo", "corsa"};
        for (int c = 0; c < Colonne; ++c)
            EXPECT_EQ(text(o[keys[c]]), rows[std::size_t(k)][c]) << keys[c].toStdString();
        ms.push_back(rows[std::size_t(k)][Durata].toLongLong());
        bytes += rows[std::size_t(k)][Byte].toLongLong();
    }
    EXPECT_TRUE(objects[3].toObject()["stato"].isNull());
    std::sort(ms.begin(), ms.end());
    const QJsonObject r = objects[4].toObject();
    EXPECT_EQ(r["tipo"], "riepilogo");
    EXPECT_EQ(r["lista"], "mia.tvx");
    EXPECT_EQ(r["corsa"], rows[0][IdCorsa]);
    EXPECT_EQ(r["modalita"], "testo");
    EXPECT_EQ(r["richiesti"], 4);
    EXPECT_EQ(r["fatti"], 2);
    EXPECT_EQ(r["non_riusciti"], 2);
    EXPECT_EQ(r["non_riusciti_per_causa"].toObject()["Risposta HTTP 404"], 1);
    EXPECT_EQ(r["voci_saltate"].toArray(),
              (QJsonArray{QJsonObject{{"riga", 2}, {"motivo", "manca \" Num=\" con il numero di accessi"}}}));
    EXPECT_EQ(r["byte"].toInteger(), bytes);
    EXPECT_EQ(r["durata_ms"].toObject(),
              (QJsonObject{{"minima", ms[0]}, {"mediana", (ms[1] + ms[2]) / 2}, {"p95", ms[3]}, {"massima", ms[3]}}));
    EXPECT_GE(r["trascorso_ms"].toInteger(), ms[0]);
    EXPECT_EQ(r["fine"], "completato");
    EXPECT_EQ(r["stato_uscita"], 1);
}

TEST_F(HeadlessRun, AClosedOrFullStandardOutputStopsTheRunAndKeepsItsRecord)
{
    WriteData("grande.tvx", Entry(web_, "/ok.html", 3000));
    QProcess head;
    struct Row {
        const char *name;
        std::function<void(QProcess &)> prepare;
        int status;
        const char *cause;
    };
    const Row rows[] = {
        {"| head -1", [&](QProcess &p) { p.setStandardOutputProcess(&head); }, 141, "Broken pipe"},
        {"> /dev/full", [](QProcess &p) { p.setStandardOutputFile("/dev/full"); }, 4, "No space left"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(Data("LogQuorvi.csv"));
        QFile::remove(Data("LogQuorvi.txt"));
        const int before = Hits(nginx_->AccessLog(), "/ok.html");
        auto p = Start({"--esegui", "grande"}, {}, row.prepare);
        if (row.status == 141) {
            head.start("head", {"-n", "1"});
            ASSERT_TRUE(head.waitForFinished(60000));
            EXPECT_TRUE(head.readAllStandardOutput().contains(" 1/3000 fatto "));
        }
        ASSERT_TRUE(p->waitForFinished(120000));
        // Not killed by SIGPIPE: ended by itself, with its log and its record.
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), row.status);
        const QString err = QString::fromUtf8(p->readAllStandardError());
        EXPECT_TRUE(err.contains("impossibile scrivere sullo standard output")) << err.toStdString();
        EXPECT_TRUE(err.contains(row.cause)) << err.toStdString();
        EXPECT_TRUE(QFile::exists(Data("LogQuorvi.txt")));
        const std::vector<QStringList> rows = Rows();
        ASSERT_FALSE(rows.empty());
        EXPECT_LT(rows.size(), 3000u) << "the run went on unseen";
        // Each visit recorded was made; the one cut short may not have reached the server.
        const int made = Hits(nginx_->AccessLog(), "/ok.html") - before;
        EXPECT_LE(made, int(rows.size()));
        EXPECT_GE(made, int(rows.size()) - 1);
    }
}

TEST_F(HeadlessRun, TheProgressLineFitsAnEightyColumnTerminalAndStaysOneLine)
{
    // A long address, so that the line would not fit as it is.
    nginx_->Serve("lunga.html", "x\n");
    // A failure halfway prints its line while the progress line is up.
    WriteData("lunga.tvx", Entry(web_, "/lunga.html?" + QString(180, u'q'), 500) + Entry(web_, "/manca.html", 1) +
                               Entry(web_, "/lunga.html?" + QString(180, u'q'), 499));
    struct Row {
        const char *name;
        bool outOnTerminal; // else a pipe, whose reader may write to the same terminal
    };
    for (const Row row : {Row{"standard output on the terminal", true}, Row{"standard output piped", false}}) {
        SCOPED_TRACE(row.name);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        struct winsize size {};
        size.ws_col = 80;
        size.ws_row = 24;
        ASSERT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
        const QString slave = QString::fromLocal8Bit(::ptsname(master));
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        auto p = Start({"--esegui", "lunga", "--silenzioso"}, {}, [&](QProcess &q) {
            q.setStandardErrorFile(slave);
            if (row.outOnTerminal)
                q.setStandardOutputFile(slave);
        });
        QByteArray screen;
        char buffer[4096];
        // The terminal is read as it is written, or the program would wait on it.
        while (!p->waitForFinished(20)) {
            ssize_t n;
            while ((n = ::read(master, buffer, sizeof buffer)) > 0)
                screen.append(buffer, n);
        }
        ssize_t n;
        while ((n = ::read(master, buffer, sizeof buffer)) > 0)
            screen.append(buffer, n);
        ::close(master);
        EXPECT_EQ(p->exitCode(), 1) << screen.toStdString();
        const QString text = QString::fromUtf8(screen).remove("\x1b[K");
        if (!row.outOnTerminal) {
            EXPECT_TRUE(text.isEmpty()) << text.toStdString();
            continue;
        }
        // Drawn, redrawn in place, never wider than the terminal, and gone
        // before the summary's lines.
        // However fast the build (a Release run of these visits may take a
        // tenth of a second, one drawing), every drawing starts from the first column.
        EXPECT_GE(text.count(QRegularExpression("\r\\d+/1000 ")), 1) << text.toStdString();
        EXPECT_EQ(text.count("/1000 "), text.count(QRegularExpression("\r\\d+/1000 "))) << text.toStdString();
        for (const QString &segment : text.split(QRegularExpression("[\r\n]"))) {
            if (segment.contains(QRegularExpression("^\\d+/1000 "))) {
                EXPECT_LT(segment.size(), 80) << segment.toStdString();
            }
        }
        // The only line before the summary is the failed visit's, drawn from
        // the first column, the progress line gone.
        EXPECT_EQ(text.left(text.indexOf("Riepilogo")).count('\n'), 1) << text.toStdString();
        EXPECT_TRUE(text.contains(QRegularExpression("\r\\d\\d:\\d\\d:\\d\\d \\S+/manca.html "))) << text.toStdString();
        EXPECT_FALSE(text.contains(QRegularExpression("[^\r\n]\\d\\d:\\d\\d:\\d\\d "))) << text.toStdString();
        EXPECT_TRUE(text.contains(QRegularExpression("[\r\n]Riepilogo: completato, 1 accesso non riuscito")))
            << text.toStdString();
    }
}

TEST_F(HeadlessRun, ASecondSignalEndsTheProgramAtOnce)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Hold()}, std::chrono::seconds(60));
    WriteData("lenta.tvx", Entry(QString::fromStdString(server.HostPort()), "/p", 2));
    auto p = Start({"--esegui", "lenta", "--senza-timeout"});
    ASSERT_TRUE(WaitFor([&] { return server.Connections() == 1; }));
    // Both arrive before the first has been acted on: the second, of either
    // kind, does not wait for the run to end.
    const pid_t pid = pid_t(p->processId());
    ::kill(pid, SIGSTOP);
    ::kill(pid, SIGINT);
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGCONT);
    ASSERT_TRUE(p->waitForFinished(30000));
    EXPECT_EQ(p->exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(QString::fromUtf8(p->readAllStandardOutput()).contains("Riepilogo")) << "it went on to the end";
}
