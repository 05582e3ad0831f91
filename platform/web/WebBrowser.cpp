#include "platform/web/WebBrowser.h"

#include "platform/Exception.h"
#include "platform/SocketCauses.h"
#include "platform/ui/Guard.h"
#include "platform/ui/MessageBox.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QWebEngineCertificateError>
#include <QWebEngineClientCertificateSelection>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <unistd.h>
#include <utility>

namespace {

SaveFileChooser &Chooser()
{
    static SaveFileChooser chooser;
    return chooser;
}

QString ChooseSavePath(const QString &suggested)
{
    if (Chooser())
        return Chooser()(suggested);
    return QFileDialog::getSaveFileName(nullptr, QStringLiteral("Salva con nome"), suggested);
}

QString DownloadFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return folder.isEmpty() ? QDir::homePath() : folder;
}

bool &Avviato()
{
    static bool avviato = false;
    return avviato;
}

QString HttpCause(int status)
{
    return QStringLiteral("Risposta HTTP %1").arg(status);
}

// The engine's reasons are its own English words; a user reads the visit's
// cause in the program's language, in the same words the program's own client
// gives the same cause (platform/SocketCauses.h). The engine's name for what
// is not listed stays, so nothing is lost.
QString LoadFailure(int code, const QString &engineText)
{
    // Defined further down: the proxy the engine was started with names itself.
    QString &EngineProxy();
    std::optional<QString> ProxyAddress(const QString &proxy);
    switch (code) {
    case -105: // ERR_NAME_NOT_RESOLVED
    case -137: // ERR_NAME_RESOLUTION_FAILED
        return causes::UnknownHost();
    case -102: // ERR_CONNECTION_REFUSED
        return causes::Refused();
    case -7:   // ERR_TIMED_OUT
    case -118: // ERR_CONNECTION_TIMED_OUT
        return causes::TimedOut();
    case -100: // ERR_CONNECTION_CLOSED
    case -324: // ERR_EMPTY_RESPONSE
        return causes::ClosedWithoutAnswer();
    case -101: // ERR_CONNECTION_RESET
        return causes::Reset();
    case -104: // ERR_CONNECTION_FAILED
    case -109: // ERR_ADDRESS_UNREACHABLE
        return causes::Unreachable();
    case -106: // ERR_INTERNET_DISCONNECTED
        return causes::NoNetwork();
    case -111: // ERR_TUNNEL_CONNECTION_FAILED
        return causes::TunnelRefused();
    case -130: { // ERR_PROXY_CONNECTION_FAILED: refused, unknown or silent, the engine does not say
        const std::optional<QString> proxy = ProxyAddress(EngineProxy());
        return proxy ? causes::AtProxy(*proxy, QStringLiteral("connessione non riuscita."))
                     : QStringLiteral("Connessione al proxy non riuscita.");
    }
    case -354: // ERR_CONTENT_LENGTH_MISMATCH
    case -355: // ERR_INCOMPLETE_CHUNKED_ENCODING
        return causes::PageCutShort();
    case -310: // ERR_TOO_MANY_REDIRECTS
        return causes::TooManyRelocations();
    case -325: // ERR_RESPONSE_HEADERS_TOO_BIG
        return causes::HeaderTooLarge();
    case -107: // ERR_SSL_PROTOCOL_ERROR
    case -113: // ERR_SSL_VERSION_OR_CIPHER_MISMATCH
        return causes::NotTls();
    case -3: // ERR_ABORTED
        return causes::Aborted();
    default:
        return causes::Failed(engineText);
    }
}

QString CertificateFailure(QWebEngineCertificateError::Type type)
{
    QString why;
    switch (type) {
    case QWebEngineCertificateError::CertificateAuthorityInvalid:
        why = QStringLiteral("non viene da un'autorità di cui il programma si fida");
        break;
    case QWebEngineCertificateError::CertificateCommonNameInvalid:
        why = QStringLiteral("è intestato a un altro nome");
        break;
    case QWebEngineCertificateError::CertificateDateInvalid:
        why = QStringLiteral("è scaduto o non ancora valido");
        break;
    case QWebEngineCertificateError::CertificateRevoked:
        why = QStringLiteral("è stato revocato");
        break;
    case QWebEngineCertificateError::CertificateWeakSignatureAlgorithm:
    case QWebEngineCertificateError::CertificateWeakKey:
        why = QStringLiteral("è protetto da una firma o da una chiave troppo deboli");
        break;
    case QWebEngineCertificateError::CertificateValidityTooLong:
        why = QStringLiteral("ha una durata troppo lunga");
        break;
    case QWebEngineCertificateError::SslObsoleteVersion:
        return QStringLiteral("Il sito usa una versione di TLS troppo vecchia.");
    default:
        why = QStringLiteral("non è valido (errore %1)").arg(static_cast<int>(type));
        break;
    }
    return causes::Certificate(why);
}

std::function<QString()> &ProxySource()
{
    static std::function<QString()> source;
    return source;
}

// The proxy text the engine started with.
QString &EngineProxy()
{
    static QString proxy;
    return proxy;
}

// "host:port" of a proxy text, as the text-mode client reads it: an optional
// http://, a name or a bracketed address, port 80 when none is named.
std::optional<QString> ProxyAddress(const QString &proxy)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:[Hh][Tt][Tt][Pp]://)?([A-Za-z0-9._-]+|\\[[0-9A-Fa-f:.]+\\])(?::([0-9]{0,5}))?/?$"));
    const QRegularExpressionMatch match = form.match(proxy);
    if (!match.hasMatch())
        return std::nullopt;
    const int port = match.captured(2).isEmpty() ? 80 : match.captured(2).toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return match.captured(1).toLower() + QLatin1Char(':') + QString::number(port);
}

// The engine reads its switches when the first profile is made, and never
// again; afterwards they are taken back out of the environment, or a browser
// of the same engine that the user opens from here would take the proxy too.
void GiveEngineItsProxy()
{
    const QString proxy = ProxySource() ? ProxySource()() : QString();
    const std::optional<QByteArray> switches = BrowserProxySwitches(proxy);
    if (!switches)
        throw Exception(QStringLiteral("Indirizzo del proxy non valido: \"%1\".").arg(proxy));
    EngineProxy() = proxy;
    if (switches->isEmpty())
        return;
    const QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", (flags + ' ' + *switches).trimmed());
}
} // namespace

void SetBrowserProxySource(std::function<QString()> source)
{
    ProxySource() = std::move(source);
}

std::optional<QByteArray> BrowserProxySwitches(const QString &proxy)
{
    if (proxy.isEmpty())
        return QByteArray();
    const std::optional<QString> address = ProxyAddress(proxy);
    if (!address)
        return std::nullopt;
    // One proxy for every scheme: http asked of it, https through CONNECT.
    // Without "<-loopback>" the engine would go straight to 127.0.0.1 and
    // localhost whatever its proxy.
    return "--proxy-server=http://" + address->toLatin1() + " --proxy-bypass-list=<-loopback>";
}

std::optional<QString> BrowserProxyOtherThan(const QString &proxy)
{
    if (!Avviato())
        return std::nullopt;
    const QString engine = EngineProxy();
    if (engine == proxy || (!engine.isEmpty() && ProxyAddress(engine) && ProxyAddress(engine) == ProxyAddress(proxy)))
        return std::nullopt;
    return engine;
}

// Nothing a visited page asks of the user reaches the user: no windows, no
// dialogs, no file choosers, no console chatter on the program's output.
class WebBrowser::VisitPage : public QWebEnginePage {
public:
    VisitPage(QWebEngineProfile *profile, QObject *parent) : QWebEnginePage(profile, parent) {}

protected:
    QWebEnginePage *createWindow(WebWindowType) override { return nullptr; }
    void javaScriptAlert(const QUrl &, const QString &) override {}
    bool javaScriptConfirm(const QUrl &, const QString &) override { return false; }
    bool javaScriptPrompt(const QUrl &, const QString &, const QString &, QString *) override { return false; }
    QStringList chooseFiles(FileSelectionMode, const QStringList &, const QStringList &) override { return {}; }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &, int, const QString &) override {}
};

// Every request of the control's pages as it starts (the engine tells no
// ends), on the UI thread. It belongs to the profile, which may outlive the
// control for a download; then it lets everything pass.
class WebBrowser::Requests : public QWebEngineUrlRequestInterceptor {
public:
    Requests(WebBrowser *owner, QObject *parent) : QWebEngineUrlRequestInterceptor(parent), owner_(owner) {}
    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        if (owner_ && !owner_->RequestStarted(info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame))
            info.block(true);
    }

private:
    QPointer<WebBrowser> owner_;
};

void SetSaveFileChooser(SaveFileChooser chooser)
{
    Chooser() = std::move(chooser);
}

bool IsUnusedGlNotice(QtMsgType type, const QString &message)
{
    // The engine ends its line with a line break of its own.
    const QString text = message.trimmed();
    return type == QtWarningMsg &&
           (text == QLatin1String("QXcbIntegration: Cannot create platform OpenGL context, neither GLX nor EGL are "
                                  "enabled") ||
            text == QLatin1String("No suitable graphics backend found"));
}

namespace {
bool &GlChoiceMade()
{
    static bool made = false;
    return made;
}

QtMessageHandler &NextHandler()
{
    static QtMessageHandler next = nullptr;
    return next;
}

void DropUnusedGlNotices(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!IsUnusedGlNotice(type, message) && NextHandler())
        NextHandler()(type, context, message);
}
} // namespace

void PrepareBrowserEngine()
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The engine makes an OpenGL context with the application object, to share
    // with views that show its pages. This program shows none, and the engine
    // works without OpenGL (it draws in software then); on a machine with
    // software OpenGL only, that context alone loads some 50 MB of renderer
    // into a program that may never visit a page graphically.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) {
        qputenv("QT_XCB_GL_INTEGRATION", "none");
        GlChoiceMade() = true;
        NextHandler() = qInstallMessageHandler(DropUnusedGlNotices);
    }
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // The engine's own calls home (updates, sync, safe browsing) have no place
    // in a program that visits only the user's pages.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += " --disable-background-networking --disable-component-update --disable-sync --no-first-run";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

void PrepareBrowserEngineAfterApplication()
{
    // X11's OpenGL is chosen once, while the application object is made;
    // programs this one opens (the user's browser) must not inherit the choice.
    if (std::exchange(GlChoiceMade(), false))
        qunsetenv("QT_XCB_GL_INTEGRATION");
}

WebBrowser::WebBrowser(QObject *parent)
    : QObject(parent), stayTimer_(new QTimer(this)), closeTimer_(new QTimer(this)), lingerTimer_(new QTimer(this))
{
    clock_.start();
    for (QTimer *timer : {stayTimer_, closeTimer_, lingerTimer_}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(stayTimer_, &QTimer::timeout, this, Guarded([this] { StayOver(); }));
    // The engine never asked to close the page (a handler that would not end):
    // it goes all the same.
    connect(closeTimer_, &QTimer::timeout, this, Guarded([this] { PageGone(); }));
    connect(lingerTimer_, &QTimer::timeout, this, [this] {
        if (!page_)
            closing_ = false;
    });
}

WebBrowser::~WebBrowser()
{
    // Pages before their profile, the one in hand and any thrown away but
    // not yet deleted: the engine wants no page left when its profile goes.
    page_ = nullptr;
    delete std::exchange(view_, nullptr);
    for (const QPointer<QWidget> &view : std::as_const(goneViews_))
        delete view.data();
    qDeleteAll(findChildren<QWebEnginePage *>(Qt::FindDirectChildrenOnly));
    if (!profile_)
        return;
    // The user was told to close the program once the download has started;
    // the file must not be lost with this control. The profile carries on
    // alone and goes when its last download ends, or when the program quits.
    if (downloads_->active > 0) {
        downloads_->orphaned = true;
        QWebEngineProfile *profile = profile_;
        profile->setParent(nullptr);
        connect(qApp, &QCoreApplication::aboutToQuit, profile, [profile] { delete profile; });
    }
}

bool WebBrowser::EngineStarted()
{
    return Avviato();
}

void WebBrowser::EnsurePage()
{
    if (!profile_) {
        const bool first = !Avviato();
        const bool hadFlags = qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS");
        const QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        if (first)
            GiveEngineItsProxy();
        Avviato() = true;
        profile_ = new QWebEngineProfile(this);
        if (first && hadFlags)
            qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
        else if (first)
            qunsetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        profile_->setHttpCacheType(QWebEngineProfile::NoCache);
        profile_->setDownloadPath(DownloadFolder());
        if (!acceptDownloads_)
            profile_->setUrlRequestInterceptor(new Requests(this, profile_));
        connect(profile_, &QWebEngineProfile::downloadRequested, this,
                Guarded([this](QWebEngineDownloadRequest *download) { DownloadRequested(download); }));
    }
    if (page_)
        return;
    if (acceptDownloads_) {
        page_ = new VisitPage(profile_, this);
    } else {
        // A view the size of a common desktop's window, never shown (the
        // window system would put it on screen): the page lays itself out
        // as for a person, and it is told it is seen as it loads.
        view_ = new QWebEngineView();
        view_->resize(1024, 768);
        page_ = new VisitPage(profile_, view_);
        view_->setPage(page_);
        connect(page_, &QWebEnginePage::windowCloseRequested, this, Guarded([this] { PageGone(); }));
    }
    QWebEngineSettings *settings = page_->settings();
    // The engine's own error page would be one more load to wait for, and
    // the icon one more request the site never asked for.
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    settings->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    connect(page_, &QWebEnginePage::loadingChanged, this,
            Guarded([this](const QWebEngineLoadingInfo &info) { LoadingChanged(info); }));
    // Credentials are never given: the answer that asks for them ends the
    // visit, instead of the engine asking again and again with none.
    connect(page_, &QWebEnginePage::authenticationRequired, this, Guarded([this](const QUrl &, QAuthenticator *a) {
                *a = QAuthenticator();
                Refuse(401, QStringLiteral("Il sito richiede un'autenticazione (HTTP 401)."));
            }));
    connect(page_, &QWebEnginePage::proxyAuthenticationRequired, this,
            Guarded([this](const QUrl &, QAuthenticator *a, const QString &) {
                *a = QAuthenticator();
                Refuse(407, QStringLiteral("Il proxy richiede un'autenticazione (HTTP 407)."));
            }));
    connect(page_, &QWebEnginePage::certificateError, this, Guarded([this](const QWebEngineCertificateError &error) {
                QWebEngineCertificateError refused = error;
                refused.rejectCertificate();
                Refuse(0, CertificateFailure(error.type()));
            }));
    connect(page_, &QWebEnginePage::selectClientCertificate, this,
            Guarded([this](QWebEngineClientCertificateSelection selection) {
                selection.selectNone();
                Refuse(0, QStringLiteral("Il sito richiede un certificato client."));
                // Without a certificate the site may still answer; the visit
                // has failed all the same and must not go on.
                if (page_)
                    page_->triggerAction(QWebEnginePage::Stop);
                Stop();
            }));
    connect(page_, &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl &origin, QWebEnginePage::Feature feature) {
                if (page_)
                    page_->setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
            });
}

void WebBrowser::ReleasePage()
{
    stayTimer_->stop();
    closeTimer_->stop();
    lingerTimer_->stop();
    closing_ = false;
    QWebEnginePage *page = std::exchange(page_, nullptr);
    if (!page)
        return;
    page->disconnect(this);
    page->triggerAction(QWebEnginePage::Stop);
    // Not from inside the engine's own notification, which may be what brought
    // us here; a zero timer also fires inside the nested waits of a run, where
    // a deferred delete would not. Should this control go first, the page
    // goes with it.
    if (QWidget *view = std::exchange(view_, nullptr)) {
        goneViews_.removeIf([](const QPointer<QWidget> &gone) { return gone.isNull(); });
        goneViews_.append(view);
        QTimer::singleShot(0, this, [view = QPointer<QWidget>(view)] { delete view.data(); });
    } else {
        QTimer::singleShot(0, this, [page = QPointer<QWebEnginePage>(page)] { delete page.data(); });
    }
}

bool WebBrowser::RequestStarted(bool mainFrame)
{
    if (acceptDownloads_ || loading_ || !PageOpen())
        return true;
    // The page's own navigation after its load (a refresh, a script's
    // redirect) would be a visit nobody asked for: it is the page's end.
    if (mainFrame) {
        if (page_)
            StartClose();
        return false;
    }
    if (closing_) {
        lingerTimer_->start(kLingerMs);
        return true;
    }
    const qint64 since = clock_.elapsed() - loadedAt_;
    if (since < kStayMs) {
        stayOver_ = false;
        stayTimer_->start(static_cast<int>(qMin<qint64>(kQuietMs, kStayMs - since)));
    }
    return true;
}

void WebBrowser::StayOver()
{
    stayOver_ = true;
    if (closeAsked_)
        StartClose();
}

void WebBrowser::Close()
{
    if (acceptDownloads_ || !page_ || closing_)
        return;
    closeAsked_ = true;
    if (stayOver_ || loading_)
        StartClose();
}

void WebBrowser::StartClose()
{
    if (!page_ || closing_)
        return;
    closing_ = true;
    loading_ = false;
    stayTimer_->stop();
    // As a person closes a tab: the page hears it is hidden and going, and
    // its handlers run to their end before the engine asks us to drop it.
    page_->triggerAction(QWebEnginePage::RequestClose);
    closeTimer_->start(kCloseMs);
}

void WebBrowser::PageGone()
{
    if (!page_)
        return;
    const int linger = lingerTimer_->remainingTime();
    ReleasePage();
    if (linger > 0) {
        closing_ = true;
        lingerTimer_->start(linger);
    }
}

void WebBrowser::Refuse(int status, const QString &cause)
{
    if (!loading_ || !refusedCause_.isEmpty())
        return;
    refusedStatus_ = status;
    refusedCause_ = cause;
}

void WebBrowser::LoadingChanged(const QWebEngineLoadingInfo &info)
{
    if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus || !loading_)
        return;
    int status = info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain ? info.errorCode() : 0;
    QString cause;
    if (!refusedCause_.isEmpty()) {
        status = refusedStatus_ ? refusedStatus_ : status;
        cause = refusedCause_;
    } else if (info.status() == QWebEngineLoadingInfo::LoadStoppedStatus) {
        cause = QStringLiteral("Caricamento interrotto.");
    } else if (status >= 400) {
        cause = HttpCause(status);
    } else if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus) {
        cause = LoadFailure(info.errorDomain() == QWebEngineLoadingInfo::ConnectionErrorDomain ? info.errorCode() : 0,
                            info.errorString());
    }
    lastStatus_ = status;
    lastError_ = cause;
    Complete(info.url().toString());
}

void WebBrowser::DownloadRequested(QWebEngineDownloadRequest *download)
{
    if (!acceptDownloads_ || download->state() != QWebEngineDownloadRequest::DownloadRequested) {
        download->cancel();
        return;
    }
    const QString suggested = QDir(DownloadFolder()).filePath(download->downloadFileName());
    // The choice runs a loop of its own: the request may be gone afterwards.
    const QPointer<QWebEngineDownloadRequest> request(download);
    const QString path = ChooseSavePath(suggested);
    if (!request)
        return;
    if (path.isEmpty()) {
        request->cancel();
        return;
    }
    const QFileInfo target(path);
    request->setDownloadDirectory(target.absolutePath());
    request->setDownloadFileName(target.fileName());

    const std::shared_ptr<Downloads> downloads = downloads_;
    QWebEngineProfile *profile = profile_;
    ++downloads->active;
    // An interrupted download is never "finished" for the engine (it could be
    // resumed), but nobody here would resume it: it has ended, as a failure.
    const auto ended = std::make_shared<bool>(false);
    connect(
        request, &QWebEngineDownloadRequest::stateChanged, profile,
        [downloads, profile, request, ended](QWebEngineDownloadRequest::DownloadState state) {
            if (*ended || !request || state == QWebEngineDownloadRequest::DownloadRequested ||
                state == QWebEngineDownloadRequest::DownloadInProgress)
                return;
            *ended = true;
            const QString file = QDir(request->downloadDirectory()).filePath(request->downloadFileName());
            const QString reason = request->interruptReasonString();
            // A part of a program file is no program file: the engine drops it.
            if (state == QWebEngineDownloadRequest::DownloadInterrupted)
                request->cancel();
            --downloads->active;
            if (downloads->orphaned && downloads->active == 0)
                profile->deleteLater();
            // Told from the main loop, not from inside the engine's notification.
            QTimer::singleShot(0, qApp, [state, file, reason] {
                RunGuarded([&] {
                    if (state == QWebEngineDownloadRequest::DownloadCompleted)
                        MessageBox(QStringLiteral("Download completato: %1").arg(QDir::toNativeSeparators(file)),
                                   ApplicationTitle(), MB_OK | MB_ICONINFORMATION);
                    else if (state == QWebEngineDownloadRequest::DownloadInterrupted)
                        MessageBox(
                            QStringLiteral("Download non riuscito: %1\n%2").arg(QDir::toNativeSeparators(file), reason),
                            ApplicationTitle(), MB_OK | MB_ICONERROR);
                });
            });
        });
    request->accept();
}

void WebBrowser::Navigate(const QString &url)
{
    // Spaces, '|', '^' and the like are the engine's to encode, as a browser's
    // address bar would; only an address without a host cannot be loaded.
    const QUrl target(url, QUrl::TolerantMode);
    if (!target.isValid() || target.host().isEmpty())
        throw Exception(QStringLiteral("Impossibile aprire l'indirizzo \"%1\".").arg(url));
    // The run closes a page before the next; anyone else gets a fresh page all the same.
    if (!acceptDownloads_ && page_)
        ReleasePage();
    EnsurePage();
    ++generation_;
    loading_ = true;
    stayOver_ = false;
    closeAsked_ = false;
    closing_ = false;
    lastStatus_ = 0;
    lastError_.clear();
    refusedStatus_ = 0;
    refusedCause_.clear();
    page_->load(target);
    // Visible only once its load has started (set before, the engine keeps
    // the page hidden); focus the engine gives through a view only, once the
    // page has its renderer, and a focus the unshown view never had is told
    // to it directly, as the window system tells the foreground tab.
    if (view_)
        page_->setVisible(true);
    if (view_ && view_->focusProxy()) {
        QFocusEvent in(QEvent::FocusIn, Qt::ActiveWindowFocusReason);
        QCoreApplication::sendEvent(view_->focusProxy(), &in);
    }
}

void WebBrowser::Stop()
{
    // After the load, Stop ends the page's stay: a time-out or Interrompi.
    if (!loading_) {
        if (!acceptDownloads_)
            StartClose();
        return;
    }
    if (!page_)
        return;
    page_->triggerAction(QWebEnginePage::Stop);
    // The engine reports a stopped load as finished; should it stay silent,
    // the completion still comes, so nobody waits for it forever.
    const unsigned generation = generation_;
    QTimer::singleShot(200, this, Guarded([this, generation] {
                           if (!loading_ || generation != generation_)
                               return;
                           lastStatus_ = refusedStatus_;
                           lastError_ =
                               refusedCause_.isEmpty() ? QStringLiteral("Caricamento interrotto.") : refusedCause_;
                           Complete(page_ ? page_->url().toString() : QString());
                       }));
}

void WebBrowser::Complete(const QString &url)
{
    if (!loading_)
        return;
    loading_ = false;
    refusedStatus_ = 0;
    refusedCause_.clear();
    // The visit is counted now; the page stays while its network works, or
    // closes at once when it did not load (a page that answered 429 must not
    // go on asking). A navigation that turns into a download reports its end
    // before the download is offered, and the download needs its page until
    // then: a control that takes downloads keeps it.
    if (!acceptDownloads_) {
        if (lastError_.isEmpty()) {
            loadedAt_ = clock_.elapsed();
            stayTimer_->start(kQuietMs);
        } else {
            StartClose();
        }
    }
    if (OnDocumentComplete)
        OnDocumentComplete(url);
}
