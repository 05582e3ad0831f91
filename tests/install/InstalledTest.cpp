#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/app/AppFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QTest>
#include <gtest/gtest.h>

// Run by check-install, never alone: HOME is an empty folder and the program
// folder is the bin folder of a read-only installation, as it is for a user
// who starts the installed program.
TEST(InstalledProgram, KeepsTheUsersFilesInTheirDataFolder)
{
    const QString prefix = qEnvironmentVariable("QUORVI_INSTALL_PREFIX");
    ASSERT_FALSE(prefix.isEmpty()) << "QUORVI_INSTALL_PREFIX names the installation to check";
    ASSERT_TRUE(QFileInfo(prefix + "/bin/quorvi").isExecutable());
    SetProgramFolderForTesting(prefix + "/bin");
    const QString data = QDir::homePath() + "/.local/share/T4V_Quorvi/";
    ASSERT_FALSE(QFileInfo::exists(data)) << "the data folder must be made by the program";
    EXPECT_FALSE(IsPortable());

    BoxScript boxes;
    ShellLog shell;
    {
        TfrmListe liste;
        liste.show();
        const auto edit = [&](const char *name) { return liste.findChild<QLineEdit *>(name); };
        const auto button = [&](const char *name) { return liste.findChild<QPushButton *>(name); };
        ASSERT_TRUE(edit("EditSito") && edit("EdVolte") && edit("EditNomeLista"));
        ASSERT_TRUE(button("sbAggiungi") && button("sbSalvalista"));
        QTest::keyClicks(edit("EditSito"), "alfa.example/p");
        edit("EdVolte")->setText("3");
        button("sbAggiungi")->click();
        QTest::keyClicks(edit("EditNomeLista"), "prova");
        boxes.ExpectInfo("Salvataggio lista eseguito.");
        button("sbSalvalista")->click();
    }
    EXPECT_EQ(ReadWholeFile(data + "prova.tvx"), "Sito=alfa.example/p Num=3\r\n");

    Finestre w = CreaFinestre(std::make_unique<FakeBrowser>());
    ASSERT_EQ(w.main->BoxElencoListe->count(), 1);
    EXPECT_EQ(w.main->BoxElencoListe->item(0)->text(), "prova.tvx");

    boxes.ExpectInfo("Salvataggio effettuato.");
    w.opzioni->sbSalvaImp->click();
    EXPECT_TRUE(FileExists(data + "impquorvi.imptvx"));

    w.main->sbHelpClick();
    EXPECT_EQ(shell.Targets(), QStringList{QDir::cleanPath(prefix + "/share/quorvi/help.html")});

    // The version the terminal is told is the one the about window shows.
    EXPECT_EQ(w.about->LabelVers->text(), QUORVI_VERSION_TEXT);
    boxes.Verify();
    SetProgramFolderForTesting(QString());
}
