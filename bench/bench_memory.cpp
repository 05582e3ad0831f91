// The program's footprint as a user's machine sees it: the resident memory of
// the whole process tree (the program and the browser engine's helper
// processes), with the main window idle, after a text run, after a graphic
// visit and after a graphic visit of a 50 MB page; and the time from start to
// the start window on screen. It starts the way app/main.cpp does.

#include "BenchSupport.h"
#include "WindowBenchSupport.h"

#include "app/Main.h"
#include "app/Programma.h"
#include "app/Start.h"
#include "platform/ui/Guard.h"
#include "platform/web/WebBrowser.h"
#include "settings/Opzioni.h"
#include "tests/support/NginxFixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMap>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace {

struct Tree {
    double rssMiB = 0;
    double pssMiB = 0;
    int engineProcesses = 0;
};

// This process and every descendant but the web server the benchmark started.
// RSS counts a shared page in every process that maps it; PSS shares it out.
Tree MeasureTree()
{
    Tree tree;
    for (const TreeProcess &p : OwnProcessTree()) {
        tree.rssMiB += KiBField(QStringLiteral("/proc/%1/status").arg(p.pid), "VmRSS") / 1024;
        tree.pssMiB += KiBField(QStringLiteral("/proc/%1/smaps_rollup").arg(p.pid), "Pss") / 1024;
        if (p.pid != getpid())
            ++tree.engineProcesses;
    }
    return tree;
}

// Asleep until the time is over or something happens (with a time limit
// processEvents would not sleep, and the program would spin meanwhile).
void Settle(int ms)
{
    bool over = false;
    QTimer::singleShot(ms, [&] { over = true; });
    while (!over)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void Report(const char *what, const Tree &t)
{
    std::printf("  %-40s %8.1f %8.1f %10d\n", what, t.rssMiB, t.pssMiB, t.engineProcesses);
}

void RunList(TfrmMain *main, const QString &folder, const QString &entries)
{
    QFile file(folder + "/mem.tvx");
    if (!file.open(QIODevice::WriteOnly) || file.write(entries.toLatin1()) < 0)
        throw std::runtime_error("cannot write the list");
    file.close();
    main->AggiornaElencoListe();
    main->BoxElencoListe->setCurrentRow(0);
    main->BoxElencoListeClick();
    main->btIniziaClick();
}

} // namespace

int main(int argc, char **argv)
{
    const auto t0 = std::chrono::steady_clock::now();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    PrepareBrowserEngine();
    Application app(argc, argv);
    PrepareBrowserEngineAfterApplication();
    SetApplicationTitle(QStringLiteral("T4V_Quorvi"));
    try {
        QuietProgram program;

        Finestre w = CreaFinestre(std::make_unique<WebBrowser>());
        TfrmMain *main = w.main.get();
        double toStartWindow = -1;
        // Runs inside the start window's own loop, once it is on screen.
        QTimer::singleShot(0, [&] {
            toStartWindow = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            w.start->TimerStart->setInterval(1);
        });
        main->show();
        if (toStartWindow < 0 || !main->isVisible())
            throw std::runtime_error("the start window never came");

        std::printf("\n6. Footprint: the whole process tree (program and browser engine helpers)\n");
        std::printf("  start to the start window on screen         %8.3f s\n", toStartWindow);
        std::printf("  %-40s %8s %8s %10s\n", "", "RSS MiB", "PSS MiB", "helpers");
        Settle(3000);
        const Tree idle = MeasureTree();
        Report("main window shown, idle", idle);

        NginxServer nginx;
        nginx.Serve("page1k.html", QByteArray(1023, 'x') + "\n");
        QByteArray big = "<html><body>\n";
        const QByteArray line = QByteArray(99, 'q') + "\n";
        while (big.size() < 50 * 1024 * 1024)
            big += line;
        big += "</body></html>\n";
        nginx.Serve("big.html", big);
        big.clear();
        big.squeeze();
        const QString site = "127.0.0.1:" + nginx.PortText();

        RunList(main, program.Folder(), "Sito=" + site + "/page1k.html Num=100\r\n");
        if (main->AccessiFalliti != 0)
            throw std::runtime_error("text visits failed");
        Settle(2000);
        const Tree afterText = MeasureTree();
        Report("after a 100-visit text run", afterText);

        w.opzioni->cbModalitaGrafica->setChecked(true);
        RunList(main, program.Folder(), "Sito=" + site + "/page1k.html Num=1\r\n");
        Settle(2000);
        Report("after one graphic visit", MeasureTree());

        Tree peak;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            const Tree now = MeasureTree();
            if (now.rssMiB > peak.rssMiB)
                peak = now;
        });
        sampler.start(250);
        Stopwatch bigVisit;
        RunList(main, program.Folder(), "Sito=" + site + "/big.html Num=1\r\n");
        const double bigSeconds = bigVisit.WallSeconds();
        sampler.stop();
        Report("during the visit of a 50 MB page (peak)", peak);
        Settle(2000);
        Report("2 s after that run", MeasureTree());
        Settle(5000);
        Report("7 s after that run", MeasureTree());
        std::printf("  the 50 MB visit took %.1f s and ended: %s\n", bigSeconds,
                    main->Browser()->LastLoadError().isEmpty() ? "loaded"
                                                               : qPrintable(main->Browser()->LastLoadError()));

        Verdict("idle and after the text run: tree < 80 MiB RSS, no helper process",
                idle.rssMiB < 80 && afterText.rssMiB < 80 && idle.engineProcesses == 0 &&
                    afterText.engineProcesses == 0);
        program.CheckNoUnexpectedBox();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_memory: %s\n", e.what());
        return 1;
    }
    return 0;
}
