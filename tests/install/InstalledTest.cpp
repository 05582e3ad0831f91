#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/app/AppFixture.h"
#include "tests/support/PeerProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

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

namespace {
// What a program printed on its standard output; empty when it failed.
QString Output(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(FindProgram(program), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Ends a process it was given, however the test ends.
struct Ended {
    QProcess &process;
    ~Ended()
    {
        process.kill();
        process.waitForFinished(10000);
    }
};

// A value of the [Desktop Entry] group.
QString EntryValue(const QString &entryFile, const QString &key)
{
    for (const QString &line : QString::fromUtf8(ReadWholeFile(entryFile)).split('\n'))
        if (line.startsWith(key + '='))
            return line.mid(key.size() + 1).trimmed();
    return {};
}
} // namespace

// On an X display of its own, the installed program's main window is of the
// class its menu entry names (docks and task switchers tie them by it) and
// carries the entry's icon, picture for picture, at every size installed.
TEST(InstalledProgram, MainWindowIsTiedToItsMenuEntryAndCarriesItsIcon)
{
    const QString prefix = qEnvironmentVariable("QUORVI_INSTALL_PREFIX");
    ASSERT_FALSE(prefix.isEmpty()) << "QUORVI_INSTALL_PREFIX names the installation to check";
    const QStringList entries = QDir(prefix + "/share/applications").entryList({"*.desktop"});
    ASSERT_EQ(entries.size(), 1);
    const QString entry = prefix + "/share/applications/" + entries[0];
    const QString wmClass = EntryValue(entry, "StartupWMClass");
    const QString iconName = EntryValue(entry, "Icon");
    ASSERT_FALSE(wmClass.isEmpty()) << "the menu entry names no window class";

    // A display of its own, numbered well above those of people and of other
    // programs; it is ours once its lock file holds our server's pid.
    QProcess xvfb;
    const Ended endXvfb{xvfb};
    QString display;
    for (int attempt = 0; attempt < 40 && display.isEmpty(); ++attempt) {
        const int number = 100 + int((getpid() + attempt * 37) % 800);
        const QString lock = QStringLiteral("/tmp/.X%1-lock").arg(number);
        if (QFileInfo::exists(lock))
            continue;
        xvfb.start(FindProgram("Xvfb"),
                   {":" + QString::number(number), "-nolisten", "tcp", "-screen", "0", "800x600x24"});
        ASSERT_TRUE(xvfb.waitForStarted(10000)) << "Xvfb is not installed (scripts/install-deps installs it)";
        for (int i = 0; i < 100 && display.isEmpty() && xvfb.state() == QProcess::Running; ++i) {
            QFile lockFile(lock);
            if (lockFile.open(QIODevice::ReadOnly) &&
                lockFile.readAll().trimmed() == QByteArray::number(xvfb.processId()))
                display = ":" + QString::number(number);
            else
                xvfb.waitForFinished(100);
        }
        if (display.isEmpty()) {
            xvfb.kill();
            xvfb.waitForFinished(10000);
        }
    }
    ASSERT_FALSE(display.isEmpty()) << "no display could be started";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.remove("QT_QPA_PLATFORM");
    env.remove("WAYLAND_DISPLAY");

    QTemporaryDir home;
    QProcessEnvironment programEnv = env;
    programEnv.insert("HOME", home.path());
    programEnv.remove("XDG_DATA_HOME");
    QProcess program;
    program.setProcessEnvironment(programEnv);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(prefix + "/bin/quorvi", {});
    ASSERT_TRUE(program.waitForStarted(10000));
    const Ended endProgram{program};

    // The main window is made once the start window has had its ten seconds.
    static const QRegularExpression mainWindow(QStringLiteral("^\\s*(0x[0-9a-f]+) \"T4V_Quorvi\": \\(\""),
                                               QRegularExpression::MultilineOption);
    QString window;
    for (int i = 0; i < 600 && window.isEmpty() && program.state() == QProcess::Running; ++i) {
        window = mainWindow.match(Output("xwininfo", {"-root", "-tree"}, env)).captured(1);
        if (window.isEmpty())
            QThread::msleep(100);
    }
    ASSERT_FALSE(window.isEmpty()) << "no main window: " << program.readAll().toStdString();

    const QString classLine = Output("xprop", {"-id", window, "WM_CLASS"}, env);
    const QString windowClass =
        QRegularExpression(QStringLiteral("= \"[^\"]*\", \"([^\"]*)\"")).match(classLine).captured(1);
    EXPECT_EQ(windowClass, wmClass) << classLine.toStdString();

    // _NET_WM_ICON: width, height, then width * height ARGB pixels, image after image.
    const QString iconLine = Output(
        "xprop", {"-id", window, "-len", "16777216", "-notype", "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"}, env);
    QList<quint32> values;
    for (const QString &value : iconLine.section('=', 1).split(',', Qt::SkipEmptyParts))
        values << value.trimmed().toUInt();
    QStringList sizes;
    for (qsizetype at = 0; at + 2 <= values.size();) {
        const int width = int(values[at]), height = int(values[at + 1]);
        at += 2;
        ASSERT_LE(at + qsizetype(width) * height, values.size()) << "a cut icon";
        const QString file =
            QStringLiteral("%1/share/icons/hicolor/%2x%3/apps/%4.png").arg(prefix).arg(width).arg(height).arg(iconName);
        const QImage installed = QImage(file).convertToFormat(QImage::Format_ARGB32);
        EXPECT_FALSE(installed.isNull()) << "an icon of a size the menu entry has not: " << width << "x" << height;
        bool same = !installed.isNull() && installed.size() == QSize(width, height);
        for (int y = 0; same && y < height; ++y)
            for (int x = 0; same && x < width; ++x)
                same = installed.pixel(x, y) == values[at + y * width + x];
        EXPECT_TRUE(same) << "the window's " << width << "x" << height << " icon is not the menu entry's";
        sizes << QString::number(width);
        at += qsizetype(width) * height;
    }
    EXPECT_EQ(sizes, (QStringList{"16", "22", "24", "32", "48", "64", "128", "256"}));
}
