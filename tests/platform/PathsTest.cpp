#include "platform/Paths.h"
#include "platform/Files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>

namespace {
// A home of its own for each test, so the user's data folder is a fresh one
// the test can see being made.
class UserFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        savedHome = qgetenv("HOME");
        savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("HOME", Path("home").toLocal8Bit());
        qunsetenv("XDG_DATA_HOME");
        dataFolder = Path("home/.local/share/T4V_Quorvi/");
    }
    void TearDown() override
    {
        SetProgramFolderForTesting(QString());
        qputenv("HOME", savedHome);
        if (savedDataHome.isEmpty())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", savedDataHome);
    }
    QString Path(const QString &relative) const { return root.path() + u'/' + relative; }
    void Make(const QString &relative, const QByteArray &content = {}) const
    {
        QDir().mkpath(QFileInfo(Path(relative)).absolutePath());
        QFile file(Path(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir root;
    QByteArray savedHome, savedDataHome;
    QString dataFolder;
};
} // namespace

TEST_F(UserFiles, DecidedByTheProgramFolder)
{
    struct Row {
        const char *name;
        QStringList files;  // made under the temporary root before asking
        QString programDir; // relative to the root
        bool portable;
        QString help; // where help.html is read, relative to the root
    };
    const Row rows[] = {
        {"a folder of its own, help beside", {"p/quorvi", "p/help.html"}, "p", true, "p/help.html"},
        {"a folder of its own, help missing", {"p/quorvi"}, "p", true, "p/help.html"},
        {"an installed tree, writable as root's /usr is",
         {"usr/bin/quorvi", "usr/share/quorvi/help.html"},
         "usr/bin",
         false,
         "usr/share/quorvi/help.html"},
        {"an installed tree whose help page was removed",
         {"usr/bin/quorvi", "usr/share/quorvi/other"},
         "usr/bin",
         false,
         "usr/bin/help.html"},
        {"a folder that cannot be written", {}, "gone", false, "gone/help.html"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QDir(Path("p")).removeRecursively();
        QDir(Path("usr")).removeRecursively();
        QDir(Path("home")).removeRecursively();
        for (const QString &file : row.files)
            Make(file);
        SetProgramFolderForTesting(Path(row.programDir));

        EXPECT_EQ(IsPortable(), row.portable);
        const QString expected = row.portable ? Path(row.programDir) + u'/' : dataFolder;
        EXPECT_EQ(DataFolder(), expected);
        EXPECT_EQ(DataFilePath("a.tvx"), expected + "a.tvx");
        // The user's data folder is made when first asked for, not before.
        EXPECT_EQ(QFileInfo(dataFolder).isDir(), !row.portable);
        EXPECT_EQ(InstalledFilePath("help.html"), Path(row.help));
    }
}

// Qt would take a missing HOME for "/" and write the user's files at the
// root of the file system.
TEST_F(UserFiles, WithoutAHomeThereIsNoDataFolderUnlessTheDataHomeGivesOne)
{
    Make("usr/bin/quorvi");
    Make("usr/share/quorvi/help.html");
    SetProgramFolderForTesting(Path("usr/bin"));
    const struct {
        const char *name;
        std::optional<QByteArray> home, dataHome; // none: unset
        QString folder;                           // empty: none
    } rows[] = {
        {"HOME unset", std::nullopt, std::nullopt, {}},
        {"HOME empty", "", std::nullopt, {}},
        {"HOME relative", "casa", std::nullopt, {}},
        {"HOME the root", "/", std::nullopt, {}},
        {"a relative data home is ignored", std::nullopt, "dati", {}},
        {"the data home alone", std::nullopt, Path("dati").toLocal8Bit(), Path("dati/T4V_Quorvi/")},
        {"HOME as it should be", Path("home").toLocal8Bit(), std::nullopt, dataFolder},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.home)
            qputenv("HOME", *row.home);
        else
            qunsetenv("HOME");
        if (row.dataHome)
            qputenv("XDG_DATA_HOME", *row.dataHome);
        else
            qunsetenv("XDG_DATA_HOME");
        EXPECT_EQ(DataFolder(), row.folder);
        EXPECT_EQ(DataFolderProblem().isEmpty(), !row.folder.isEmpty()) << DataFolderProblem().toStdString();
    }
}

TEST_F(UserFiles, DataFolderFollowsTheUsersDataHome)
{
    qputenv("XDG_DATA_HOME", Path("elsewhere").toLocal8Bit());
    Make("usr/bin/quorvi");
    Make("usr/share/quorvi/help.html");
    SetProgramFolderForTesting(Path("usr/bin"));
    EXPECT_EQ(DataFolder(), Path("elsewhere/T4V_Quorvi/"));
    WriteTextLines(DataFilePath("lista.tvx"), {"Sito=a Num=1"});
    EXPECT_EQ(ReadWholeFile(Path("elsewhere/T4V_Quorvi/lista.tvx")), "Sito=a Num=1\r\n");
    EXPECT_FALSE(QFile::exists(Path("usr/bin/lista.tvx")));
}
