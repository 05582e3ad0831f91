#pragma once

#include "platform/ui/BrowserControl.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>

class QWebEngineLoadingInfo;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;
class QTimer;
class QWidget;

// Call before the application object exists: shares GL contexts as the engine
// requires, keeps OpenGL off on X11 (see the definition) and, when the program
// runs as root, turns off the engine's sandbox (it refuses to start as root
// otherwise). It costs nothing: the engine itself starts only when a control
// first needs it.
void PrepareBrowserEngine();
// Call right after the application object is made.
void PrepareBrowserEngineAfterApplication();

// The warnings Qt and the engine print about the OpenGL PrepareBrowserEngine
// keeps off: expected, so the program's output is spared them.
bool IsUnusedGlNotice(QtMsgType type, const QString &message);

// Where graphic visits take their proxy from: "host" or "host:port" (port 80
// when none is named), as the options window holds it; empty for none, and
// then the engine follows the desktop's proxy variables (http_proxy,
// https_proxy, no_proxy). The engine asks once, as it starts, and keeps the
// answer until the program ends: it takes a proxy from its command line only
// then, and Qt's application proxy, the one way in while it runs, reaches it
// some requests late or not at all. Addresses of this machine go through
// the proxy as well, as they do in text mode (the engine alone would not).
void SetBrowserProxySource(std::function<QString()> source);
// The proxy the running engine took when it is not the one given (compared as
// the addresses they name); nothing when it is, or while no engine runs.
std::optional<QString> BrowserProxyOtherThan(const QString &proxy);
// The engine's switches for a proxy text of the options: empty for no proxy,
// nothing when the text names no proxy the engine could use (it would
// otherwise go to the engine's command line as it is).
std::optional<QByteArray> BrowserProxySwitches(const QString &proxy);

// Where a download is saved: gets the path offered (the user's download folder
// and the file's name) and returns the one the user chose, empty to refuse the
// download. Without a chooser set, a save dialog asks; tests set one instead.
using SaveFileChooser = std::function<QString(const QString &suggestedPath)>;
void SetSaveFileChooser(SaveFileChooser chooser);

// The browser control behind a QWebEnginePage that is never on screen.
// The engine (profile, page and their helper processes) is created on the
// first navigation, so a program that never visits a page never starts it.
// A visited page is the foreground tab of a browser: visible and focused from
// its first script, kept after its document-complete report while its network
// works, and closed as a tab closes, so that its pagehide handlers finish and
// their beacons leave; then nothing of it runs any more and its memory is
// given back. Each navigation starts on a fresh page. (A control that takes
// downloads keeps its one page, hidden, and none of this applies to it.)
class WebBrowser : public QObject, public BrowserControl {
    Q_OBJECT
public:
    explicit WebBrowser(QObject *parent = nullptr);
    ~WebBrowser() override;

    void Navigate(const QString &url) override;
    void Stop() override;
    int LastLoadStatus() const override { return lastStatus_; }
    QString LastLoadError() const override { return lastError_; }
    // The page closes once its visit is over: no request of it started for
    // kQuietMs, or kStayMs after its load, whichever comes first. A page
    // whose load failed, or that starts a navigation of its own after its
    // load (never followed), closes at once by itself.
    void Close() override;
    bool PageOpen() const override { return page_ != nullptr || closing_; }

    // A tracker's own send timer is commonly 500 ms after the load; the
    // window must not end on its edge, and the engine reports a request's
    // start a few ms late.
    static constexpr int kQuietMs = 700;
    static constexpr int kStayMs = 5000;
    // How long a closing page may take before it is thrown away all the same
    // (its pagehide handlers run much less than this).
    static constexpr int kCloseMs = 2000;
    // A keep-alive request the page sent as it closed is handed to the engine
    // a moment before it leaves; the close is reported over only this long
    // after the last one, so a program that ends with its run does not cut it.
    static constexpr int kLingerMs = 250;

    // Whether any control of this process has started the engine.
    static bool EngineStarted();

    // The page of the navigation in hand; null between visits.
    QWebEnginePage *Page() const { return page_; }
    bool Loading() const { return loading_; }

    // Off by default: a page a run visits must not stop it at a save dialog.
    // With downloads on, a file the engine is sent is saved where the user
    // chooses, goes on after the control is gone, and its end is reported.
    void SetAcceptDownloads(bool accept) { acceptDownloads_ = accept; }
    bool AcceptDownloads() const { return acceptDownloads_; }

private:
    class VisitPage;
    class Requests;

    void EnsurePage();
    // Throws the page away at once, without its close.
    void ReleasePage();
    // A request of the page started (main frame or not); false to block it.
    bool RequestStarted(bool mainFrame);
    void StayOver();
    void StartClose();
    void PageGone();
    void LoadingChanged(const QWebEngineLoadingInfo &info);
    // Ends the visit in hand as a failure with this cause, at once: the first
    // answer of a page that wants credentials or a certificate is its last.
    void Refuse(int status, const QString &cause);
    void Complete(const QString &url);
    void DownloadRequested(class QWebEngineDownloadRequest *download);

    struct Downloads {
        int active = 0;
        bool orphaned = false; // the control is gone; the profile waits for them
    };

    QWebEngineProfile *profile_ = nullptr;
    std::shared_ptr<Downloads> downloads_ = std::make_shared<Downloads>();
    QWebEnginePage *page_ = nullptr;
    // The tab that holds a visited page: a view that is never on screen,
    // which the engine needs to give the page focus.
    QWebEngineView *view_ = nullptr;
    QList<QPointer<QWidget>> goneViews_; // closed, their deletion queued
    bool loading_ = false;
    bool stayOver_ = false;
    bool closeAsked_ = false;
    bool closing_ = false;
    qint64 loadedAt_ = 0; // ms on clock_ when the page's load ended
    QElapsedTimer clock_;
    QTimer *stayTimer_ = nullptr;
    QTimer *closeTimer_ = nullptr;
    QTimer *lingerTimer_ = nullptr;
    bool acceptDownloads_ = false;
    unsigned generation_ = 0;
    int lastStatus_ = 0;
    QString lastError_;
    // A cause found before the engine's own report of the load's end.
    int refusedStatus_ = 0;
    QString refusedCause_;
};
