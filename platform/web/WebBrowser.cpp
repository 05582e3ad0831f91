#include "platform/web/WebBrowser.h"

#include "platform/Exception.h"
#include "platform/ui/Guard.h"
#include "platform/ui/MessageBox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <unistd.h>

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
} // namespace

void SetSaveFileChooser(SaveFileChooser chooser)
{
    Chooser() = std::move(chooser);
}

void PrepareBrowserEngine()
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // The engine's own calls home (updates, sync, safe browsing) have no place
    // in a program that visits only the user's pages.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += " --disable-background-networking --disable-component-update --disable-sync --no-first-run";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

WebBrowser::WebBrowser(QObject *parent)
    : QObject(parent), profile_(new QWebEngineProfile(this)), page_(new QWebEnginePage(profile_, this))
{
    profile_->setHttpCacheType(QWebEngineProfile::NoCache);
    connect(page_, &QWebEnginePage::loadFinished, this, Guarded([this](bool) { Complete(page_->url().toString()); }));
    connect(profile_, &QWebEngineProfile::downloadRequested, this,
            Guarded([this](QWebEngineDownloadRequest *download) { DownloadRequested(download); }));
}

WebBrowser::~WebBrowser()
{
    delete page_;
    page_ = nullptr;
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

void WebBrowser::DownloadRequested(QWebEngineDownloadRequest *download)
{
    if (!acceptDownloads_ || download->state() != QWebEngineDownloadRequest::DownloadRequested) {
        download->cancel();
        return;
    }
    const QString suggested = QDir(download->downloadDirectory()).filePath(download->downloadFileName());
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
    const QUrl target(url, QUrl::StrictMode);
    if (!target.isValid() || target.host().isEmpty())
        throw Exception(QStringLiteral("Impossibile aprire l'indirizzo \"%1\".").arg(url));
    ++generation_;
    loading_ = true;
    page_->load(target);
}

void WebBrowser::Stop()
{
    if (!loading_)
        return;
    page_->triggerAction(QWebEnginePage::Stop);
    // The engine reports a stopped load as finished; should it stay silent,
    // the completion still comes, so nobody waits for it forever.
    const unsigned generation = generation_;
    QTimer::singleShot(200, this, [this, generation] {
        if (loading_ && generation == generation_)
            Complete(page_->url().toString());
    });
}

void WebBrowser::Complete(const QString &url)
{
    if (!loading_)
        return;
    loading_ = false;
    if (OnDocumentComplete)
        OnDocumentComplete(url);
}
