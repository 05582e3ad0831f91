// Graphic visits of a small page on one real nginx, at pause 0:
//   bench_graphic [visits]
// 7. the page thrown away as its load ends (as graphic visits were made
//    before: hidden, its renderer gone about 10 ms after the load event)
//    against the visit as it is now (a foreground tab kept until its network
//    is quiet, then closed as a tab closes), side by side in one run: visits
//    per second, CPU of the whole process tree per visit, and the tree's
//    memory; and where the time of a visit goes now.

#include "bench/BenchSupport.h"
#include "platform/ui/Guard.h"
#include "platform/web/WebBrowser.h"
#include "tests/support/NginxFixture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QPointer>
#include <QTimer>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace {

struct Tree {
    double cpuSeconds = 0; // every process of the tree, and the children they reaped
    double pssMiB = 0;
};

// This process and its descendants, nginx left out. PSS shares a page
// mapped by several processes out among them.
Tree MeasureTree()
{
    Tree tree;
    for (const TreeProcess &p : OwnProcessTree()) {
        tree.cpuSeconds += p.cpuSeconds;
        tree.pssMiB += KiBField(QStringLiteral("/proc/%1/smaps_rollup").arg(p.pid), "Pss") / 1024;
    }
    return tree;
}

// As the run waits: asleep until something happens (processEvents with a
// time limit would not sleep, and its spinning would be counted as the visit's).
void PumpUntil(const std::function<bool()> &done)
{
    bool late = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] { late = true; });
    limit.start(60000);
    while (!done()) {
        if (late)
            throw std::runtime_error("a visit never ended");
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// The visit as it was: a hidden page of one profile, released as its load ends.
class PageThrownAwayAtLoad {
public:
    PageThrownAwayAtLoad() : profile_(new QWebEngineProfile(&owner_)) {}
    ~PageThrownAwayAtLoad()
    {
        delete page_.data();
        delete profile_;
    }
    void Visit(const QUrl &url)
    {
        bool done = false;
        auto *page = new QWebEnginePage(profile_, &owner_);
        page->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
        page->settings()->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
        QObject::connect(page, &QWebEnginePage::loadingChanged, page, [&, page](const QWebEngineLoadingInfo &info) {
            if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus)
                return;
            done = true;
            page->disconnect();
            page->triggerAction(QWebEnginePage::Stop);
            QTimer::singleShot(0, &owner_, [gone = QPointer<QWebEnginePage>(page)] { delete gone.data(); });
        });
        page_ = page;
        page->load(url);
        PumpUntil([&] { return done; });
    }

private:
    QObject owner_;
    QWebEngineProfile *profile_;
    QPointer<QWebEnginePage> page_;
};

struct Phase {
    double wall = 0, cpu = 0, peakPss = 0, endPss = 0;
    double toLoad = 0, toClosed = 0; // summed over the visits
};

template <typename Visit> Phase Measure(int visits, const Visit &visit)
{
    Phase phase;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { phase.peakPss = qMax(phase.peakPss, MeasureTree().pssMiB); });
    sampler.start(250);
    const Tree before = MeasureTree();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < visits; ++i)
        visit(phase);
    phase.wall = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    sampler.stop();
    const Tree after = MeasureTree();
    phase.cpu = after.cpuSeconds - before.cpuSeconds;
    phase.endPss = after.pssMiB;
    phase.peakPss = qMax(phase.peakPss, after.pssMiB);
    return phase;
}

void Row(const char *what, const Phase &p, int visits)
{
    std::printf("  %-34s %8.2f %9.3f %9.1f %9.0f %9.0f\n", what, visits / p.wall, p.wall / visits,
                1000 * p.cpu / visits, p.peakPss, p.endPss);
}

} // namespace

int main(int argc, char **argv)
{
    const int visits = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    PrepareBrowserEngine();
    QApplication app(argc, argv);
    PrepareBrowserEngineAfterApplication();
    try {
        NginxServer nginx;
        nginx.Serve("piccola.html", "<!doctype html><html><head><title>piccola</title></head><body><p>" +
                                        QByteArray(900, 'x') + "</p><script>var n=0;</script></body></html>\n");
        const QUrl url("http://127.0.0.1:" + nginx.PortText() + "/piccola.html");

        std::printf("\n7. Graphic visits: %d visits of a 1 KiB page, pause 0, one after the other\n", visits);
        std::printf("  %-34s %8s %9s %9s %9s %9s\n", "", "visits/s", "s/visit", "CPU ms/v", "peak PSS", "end PSS");

        Phase before;
        {
            PageThrownAwayAtLoad old;
            old.Visit(url); // the engine's start is not a visit
            before = Measure(visits, [&](Phase &) { old.Visit(url); });
        }
        Row("before: thrown away at its load", before, visits);

        WebBrowser browser;
        bool loaded = false;
        browser.OnDocumentComplete = [&](const QString &) { loaded = true; };
        auto visit = [&](Phase &phase) {
            QElapsedTimer t;
            t.start();
            loaded = false;
            browser.Navigate(url.toString());
            PumpUntil([&] { return loaded; });
            if (!browser.LastLoadError().isEmpty())
                throw std::runtime_error(browser.LastLoadError().toStdString());
            phase.toLoad += static_cast<double>(t.nsecsElapsed()) / 1e9;
            t.restart();
            browser.Close();
            PumpUntil([&] { return !browser.PageOpen(); });
            phase.toClosed += static_cast<double>(t.nsecsElapsed()) / 1e9;
        };
        Phase warm;
        visit(warm);
        const Phase after = Measure(visits, visit);
        Row("now: a tab kept until quiet", after, visits);
        std::printf("  a visit now: %.3f s to its load, then %.3f s until its page is closed (quiet window %d ms)\n",
                    after.toLoad / visits, after.toClosed / visits, WebBrowser::kQuietMs);
        std::printf("  the quiet wait and the close cost %.3f s and %.1f ms of CPU a visit more than before\n",
                    after.wall / visits - before.wall / visits, 1000 * (after.cpu - before.cpu) / visits);
        Verdict("a visit of a small local page at pause 0 lasts 1.3 s at most", after.wall / visits <= 1.3);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_graphic: %s\n", e.what());
        return 1;
    }
    return 0;
}
