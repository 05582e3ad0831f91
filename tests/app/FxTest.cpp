#include "fx/Fx.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(Fx, MessageBoxesCarryTheirTitlesIconsAndButtons)
{
    BoxScript boxes;
    boxes.Expect({"", "", IDOK});
    boxes.Expect({"", "", IDOK});
    boxes.Expect({"", "", IDOK});
    boxes.Expect({"", "", IDYES});
    boxes.Expect({"", "", IDNO});
    MsgInfo("i");
    MsgAttenzione("a");
    MsgErrore("e");
    EXPECT_TRUE(MsgRichiesta("q1"));
    EXPECT_FALSE(MsgRichiesta("q2"));
    const auto &shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 5u);
    struct Row {
        QString title;
        QString text;
        BoxIcon icon;
        BoxButtons buttons;
    };
    const Row rows[] = {{"Messaggio.", "i", BoxIcon::Information, BoxButtons::Ok},
                        {"Attenzione.", "a", BoxIcon::Warning, BoxButtons::Ok},
                        {"Errore", "e", BoxIcon::Error, BoxButtons::Ok},
                        {"Richiesta.", "q1", BoxIcon::Question, BoxButtons::YesNo},
                        {"Richiesta.", "q2", BoxIcon::Question, BoxButtons::YesNo}};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(rows[i].text.toStdString());
        EXPECT_EQ(shown[i].title, rows[i].title);
        EXPECT_EQ(shown[i].text, rows[i].text);
        EXPECT_EQ(shown[i].icon, rows[i].icon);
        EXPECT_EQ(shown[i].buttons, rows[i].buttons);
    }
}

TEST(Fx, MailAddressIsJoinedUnencoded)
{
    ShellLog shell;
    InviaMail("r@x.example", "Clic interno ", "Scrivere di seguito la richiesta:");
    ApriFile("/tmp/a file.txt");
    EXPECT_EQ(shell.Targets(),
              (QStringList{"mailto:r@x.example?subject=Clic interno &body=Scrivere di seguito la richiesta:",
                           "/tmp/a file.txt"}));
}

TEST(Fx, WhatTheDesktopCannotOpenIsReported)
{
    ShellLog shell;
    shell.NothingOpens();
    BoxScript boxes;
    boxes.ExpectError("Impossibile aprire \"/tmp/LogQuorvi.txt\": nessun programma disponibile per aprirlo.");
    boxes.ExpectError("Impossibile preparare la mail a r@x.example: nessun programma di posta disponibile.");
    ApriFile("/tmp/LogQuorvi.txt");
    InviaMail("r@x.example", "s", "b");
    boxes.Verify();
    EXPECT_EQ(shell.Targets().size(), 2);
}

TEST(Fx, ProgramFolderEndsWithSeparator)
{
    EXPECT_TRUE(CartellaProgramma().endsWith('/'));
    SetProgramFolderForTesting("/");
    EXPECT_EQ(ProgramFolder(), "/");
    SetProgramFolderForTesting("/opt/quorvi");
    EXPECT_EQ(ProgramFolder(), "/opt/quorvi/");
    // In portable use the user's files are kept in the program's folder itself.
    TempProgramFolder folder;
    EXPECT_EQ(CartellaProgramma(), folder.Path());
}
