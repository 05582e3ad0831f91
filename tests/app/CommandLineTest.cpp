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
        {"unknown option", {"quorvi", "--proxy=x"}, 2, "", "quorvi: opzione sconosciuta: --proxy"},
        {"an option of Qt's own is no option here", {"quorvi", "-platform", "xcb"}, 2, "", "opzione sconosciuta"},
        {"a file name", {"quorvi", "lista.tvx"}, 2, "", "quorvi: argomento non previsto: lista.tvx"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const CommandLineAnswer answer = AnswerCommandLine(row.arguments);
        EXPECT_EQ(answer.exitCode, row.exitCode);
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
