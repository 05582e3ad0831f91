#pragma once

#include "platform/ui/BrowserControl.h"

#include <QObject>

class QWebEnginePage;
class QWebEngineProfile;

// Call before the application object exists: shares GL contexts as the engine
// requires and, when the program runs as root, turns off the engine's sandbox
// (it refuses to start as root otherwise).
void PrepareBrowserEngine();

// The browser control behind a hidden QWebEnginePage: nothing it shows is used.
class WebBrowser : public QObject, public BrowserControl {
    Q_OBJECT
public:
    explicit WebBrowser(QObject *parent = nullptr);
    ~WebBrowser() override;

    void Navigate(const QString &url) override;
    void Stop() override;

    QWebEnginePage *Page() const { return page_; }
    bool Loading() const { return loading_; }

private:
    void Complete(const QString &url);

    QWebEngineProfile *profile_;
    QWebEnginePage *page_;
    bool loading_ = false;
    unsigned generation_ = 0;
};
