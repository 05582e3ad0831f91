#include "app/CommandLine.h"
#include "app/RegistroVisite.h"
#include "app/UscitaTerminale.h"

#include <gtest/gtest.h>

TEST(CommandLine, AnswersHelpAndVersionAndRefusesTheRest)
{
    struct Row {
        const char *name;
        QStringList arguments;
        std::optional<int> exitCode;
        const char *outContains; // empty: nothing on standard output
        const char *errContains; // empty: nothing on standard error
    };
    const Row rows[] = {
        {"no arguments: the windows open", {"quorvi"}, std::nullopt, "", ""},
        {"--version", {"/usr/bin/quorvi", "--version"}, 0, "T4V_Quorvi 04.2003-10\n", ""},
        {"-v", {"quorvi", "-v"}, 0, "T4V_Quorvi 04.2003-10\n", ""},
        {"--help", {"quorvi", "--help"}, 0, "Uso: quorvi [--help | --version]", ""},
        {"-h names both options", {"quorvi", "-h"}, 0, "-v, --version", ""},
        {"help wins over version", {"quorvi", "--version", "--help"}, 0, "Uso: quorvi", ""},
        {"--help names every option of a run", {"quorvi", "--help"}, 0, "--ferma-dopo N", ""},
        {"unknown option", {"quorvi", "--colore=x"}, 2, "", "quorvi: opzione sconosciuta: --colore"},
        {"a run's option without a run", {"quorvi", "--proxy=x"}, 2, "", "quorvi: --proxy vale solo con --esegui"},
        {"--esegui without its list", {"quorvi", "--esegui"}, 2, "", "--esegui"},
        {"a pause of another length", {"quorvi", "--esegui", "l", "--pausa", "3"}, 2, "", "0, 5 o 10"},
        {"both modes", {"quorvi", "--esegui", "l", "--grafica", "--testo"}, 2, "", "--grafica e --testo"},
        {"stop after no failure", {"quorvi", "--esegui", "l", "--ferma-dopo", "0"}, 2, "", "--ferma-dopo"},
        {"stop after words", {"quorvi", "--esegui", "l", "--ferma-dopo", "tre"}, 2, "", "--ferma-dopo"},
        {"a proxy with a blank", {"quorvi", "--esegui", "l", "--proxy", "a b"}, 2, "", "proxy non valido"},
        {"a proxy port too high", {"quorvi", "--esegui", "l", "--proxy", "a:70000"}, 2, "", "proxy non valido"},
        {"the highest proxy port", {"quorvi", "--esegui", "l", "--proxy", "a:65535"}, std::nullopt, "", ""},
        {"one past it", {"quorvi", "--esegui", "l", "--proxy", "a:65536"}, 2, "", "proxy non valido"},
        {"proxy port 0", {"quorvi", "--esegui", "l", "--proxy", "a:0"}, 2, "", "proxy non valido"},
        {"http_proxy's form", {"quorvi", "--esegui", "l", "--proxy", "HTTP://127.0.0.1:8888/"}, std::nullopt, "", ""},
        {"a proxy of another scheme", {"quorvi", "--esegui", "l", "--proxy", "socks5://a:1080"}, 2, "", "http://HOST"},
        {"quiet without a run", {"quorvi", "--silenzioso"}, 2, "", "--silenzioso vale solo con --esegui"},
        {"JSON without a run", {"quorvi", "--json"}, 2, "", "--json vale solo con --esegui"},
        {"--help gives every exit status", {"quorvi", "--help"}, 0, "  141  lo standard output", ""},
        {"--help gives the list's line", {"quorvi", "--help"}, 0, "\"Sito=INDIRIZZO Num=ACCESSI\"", ""},
        {"an IPv6 proxy in brackets", {"quorvi", "--esegui", "l", "--proxy", "[::1]:8888"}, std::nullopt, "", ""},
        {"an IPv6 proxy without brackets", {"quorvi", "--esegui", "l", "--proxy", "::1"}, 2, "", "proxy non valido"},
        {"an IPv6 proxy port too high",
         {"quorvi", "--esegui", "l", "--proxy", "[::1]:70000"},
         2,
         "",
         "proxy non valido"},
        {"a run goes on to the run", {"quorvi", "--esegui", "l"}, std::nullopt, "", ""},
        {"an option of Qt's own is no option here", {"quorvi", "-platform", "xcb"}, 2, "", "opzione sconosciuta"},
        {"a file name", {"quorvi", "lista.tvx"}, 2, "", "quorvi: argomento non previsto: lista.tvx"},
        {"the runs of every list", {"quorvi", "--corse"}, std::nullopt, "", ""},
        {"the runs of one list", {"quorvi", "--corse", "mia"}, std::nullopt, "", ""},
        {"the runs of two lists", {"quorvi", "--corse", "a", "b"}, 2, "", "argomento non previsto: b"},
        {"the runs and a run", {"quorvi", "--corse", "--esegui", "l"}, 2, "", "--corse e --esegui insieme"},
        {"--help names the exit statuses",
         {"quorvi", "--help"},
         0,
         "    3  la lista è già in esecuzione\n    4  registro, log, archivio",
         ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLineAnswer answer = AnswerCommandLine(row.arguments);
        EXPECT_EQ(answer.exitCode, row.exitCode);
        EXPECT_EQ(answer.corse.has_value(), !answer.exitCode && row.arguments.contains("--corse"));
        if (answer.corse) {
            EXPECT_EQ(*answer.corse, row.arguments.value(2));
        }
        if (*row.outContains)
            EXPECT_TRUE(answer.out.contains(QString::fromUtf8(row.outContains))) << answer.out.toStdString();
        else
            EXPECT_TRUE(answer.out.isEmpty()) << answer.out.toStdString();
        if (*row.errContains) {
            EXPECT_TRUE(answer.err.contains(QString::fromUtf8(row.errContains))) << answer.err.toStdString();
            EXPECT_TRUE(answer.err.contains("Uso: quorvi")) << answer.err.toStdString();
        } else {
            EXPECT_TRUE(answer.err.isEmpty()) << answer.err.toStdString();
        }
    }
}

TEST(CommandLine, TheRunsOptionsOverrideTheSettings)
{
    const CommandLineAnswer all =
        AnswerCommandLine({"quorvi", "--esegui", "mia", "--grafica", "--proxy", "proxy.example:8080", "--pausa", "10",
                           "--senza-timeout", "--ferma-dopo", "3", "--riprendi"});
    ASSERT_TRUE(all.esegui);
    EXPECT_EQ(all.esegui->lista, "mia");
    EXPECT_EQ(all.esegui->grafica, true);
    EXPECT_EQ(all.esegui->proxy, QString("proxy.example:8080"));
    EXPECT_EQ(all.esegui->banda, 0);
    EXPECT_TRUE(all.esegui->senzaTimeout);
    EXPECT_EQ(all.esegui->fermaDopo, 3);
    EXPECT_TRUE(all.esegui->riprendi);

    // Nothing given, nothing overridden; a pause of 5 s is the middle position, none is "Max".
    const CommandLineAnswer none = AnswerCommandLine({"quorvi", "--esegui", "/tmp/mia.tvx", "--pausa", "5"});
    ASSERT_TRUE(none.esegui);
    EXPECT_EQ(none.esegui->lista, "/tmp/mia.tvx");
    EXPECT_FALSE(none.esegui->grafica);
    EXPECT_FALSE(none.esegui->proxy);
    EXPECT_EQ(none.esegui->banda, 1);
    EXPECT_FALSE(none.esegui->senzaTimeout);
    EXPECT_EQ(none.esegui->fermaDopo, 0);
    EXPECT_FALSE(none.esegui->riprendi);
    EXPECT_EQ(AnswerCommandLine({"quorvi", "--esegui", "l", "--pausa", "0", "--testo", "--proxy", ""}).esegui->banda,
              2);
    EXPECT_EQ(AnswerCommandLine({"quorvi", "--esegui", "l", "--testo", "--proxy", ""}).esegui->grafica, false);
    EXPECT_EQ(AnswerCommandLine({"quorvi", "--esegui", "l", "--proxy", ""}).esegui->proxy, QString());
    // The options window's field takes HOST:PORT only.
    EXPECT_EQ(AnswerCommandLine({"quorvi", "--esegui", "l", "--proxy", "http://[::1]:8888/"}).esegui->proxy,
              QString("[::1]:8888"));
    const CommandLineAnswer quiet = AnswerCommandLine({"quorvi", "--esegui", "l", "--silenzioso", "--json"});
    ASSERT_TRUE(quiet.esegui);
    EXPECT_TRUE(quiet.esegui->silenzioso);
    EXPECT_TRUE(quiet.esegui->json);
    EXPECT_FALSE(all.esegui->silenzioso || all.esegui->json);
}

TEST(TerminalOutput, DurationsByNearestRankAndTheMedianOfAnEvenNumber)
{
    const struct {
        std::vector<qint64> ms;
        Durate d;
    } durate[] = {
        {{40, 10, 30, 20}, {10, 25, 40, 40}}, // an even number: the mean of the middle two
        {{30, 10, 20}, {10, 20, 30, 30}},
        {{7}, {7, 7, 7, 7}},
        {{5, 6}, {5, 5, 6, 6}}, // 5.5 is 5: milliseconds are whole
    };
    for (const auto &row : durate) {
        const Durate d = CalcolaDurate(row.ms);
        EXPECT_EQ((std::vector<qint64>{d.minima, d.mediana, d.p95, d.massima}),
                  (std::vector<qint64>{row.d.minima, row.d.mediana, row.d.p95, row.d.massima}));
    }
    std::vector<qint64> cento;
    for (int i = 1; i <= 100; ++i)
        cento.push_back(i);
    EXPECT_EQ(CalcolaDurate(cento).p95, 95);
}

TEST(TerminalOutput, VisitLinesAlignAndTheProgressLineFits)
{
    RigaVisita a;
    a.inizio = QDateTime(QDate(2026, 12, 8), QTime(6, 5, 9));
    a.indirizzo = "http://a.it/";
    a.accesso = 3;
    a.di = 12;
    a.esito = "fatto";
    a.stato = 200;
    a.byte = 1234;
    a.durataMs = 56;
    RigaVisita b = a;
    b.indirizzo = "http://bb.example.org/pagina.html";
    b.accesso = 12;
    b.esito = "errore";
    b.stato = 404;
    b.motivo = "Not Found";
    const QString ra = RigaTerminale(a, 33, 2), rb = RigaTerminale(b, 33, 2);
    EXPECT_EQ(ra.toStdString(), "06:05:09 a.it/                              3/12 fatto  200   1234 B    56 ms");
    EXPECT_EQ(rb.indexOf("12/12"), ra.indexOf(" 3/12"));
    EXPECT_TRUE(rb.endsWith(" ms  404 Not Found")) << rb.toStdString();
    // The cause that only repeats the status column is left out: the line fits 80 columns.
    b.motivo = "Risposta HTTP 404";
    EXPECT_TRUE(RigaTerminale(b, 33, 2).endsWith("56 ms")) << RigaTerminale(b, 33, 2).toStdString();
    // As the list writes it: no "http://" the run added, an https:// kept.
    EXPECT_TRUE(rb.contains(" bb.example.org/pagina.html ")) << rb.toStdString();
    b.indirizzo = "https://bb.example.org/";
    EXPECT_TRUE(RigaTerminale(b, 10, 2).contains(" https://bb.example.org/ ")) << rb.toStdString();

    const QString lungo = "http://host.example/" + QString(300, u'x') + "/fine.html";
    for (int colonne : {80, 40, 20, 5, 1}) {
        SCOPED_TRACE(colonne);
        const QString riga = RigaAvanzamento(1234, 99999, 3723000, 60000, lungo, colonne);
        EXPECT_LE(riga.size(), qMax(1, colonne - 1)) << riga.toStdString();
        EXPECT_TRUE(riga.startsWith(QStringLiteral("1234/99999 1%").left(colonne - 1))) << riga.toStdString();
    }
    const QString riga = RigaAvanzamento(5, 10, 1000, 1000, lungo, 80);
    EXPECT_EQ(riga.size(), 79);
    EXPECT_TRUE(riga.contains("http://host.ex")) << riga.toStdString();
    EXPECT_TRUE(riga.endsWith("/fine.html")) << riga.toStdString();
    EXPECT_EQ(RigaAvanzamento(5, 10, 1000, -1, "", 80), "5/10 50%  00:01");
}
