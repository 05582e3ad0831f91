#include "platform/web/WebBrowser.h"

#include "platform/Exception.h"
#include "platform/ui/Guard.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <unistd.h>

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
}

WebBrowser::~WebBrowser()
{
    delete page_;
    page_ = nullptr;
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
