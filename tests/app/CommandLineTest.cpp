#include "app/CommandLine.h"

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
        {"--help names the exit statuses", {"quorvi", "--help"}, 0, "3 lista già\nin esecuzione, 4 registro", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLineAnswer answer = AnswerCommandLine(row.arguments);
        EXPECT_EQ(answer.exitCode, row.exitCode);
        EXPECT_EQ(answer.corse.has_value(), !answer.exitCode && row.arguments.contains("--corse"));
        if (answer.corse)
            EXPECT_EQ(*answer.corse, row.arguments.value(2));
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
}
