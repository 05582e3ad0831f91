#pragma once

#include "platform/ui/BrowserControl.h"

#include <QObject>
#include <functional>
#include <memory>

class QWebEnginePage;
class QWebEngineProfile;

// Call before the application object exists: shares GL contexts as the engine
// requires and, when the program runs as root, turns off the engine's sandbox
// (it refuses to start as root otherwise).
void PrepareBrowserEngine();

// Where a download is saved: gets the path the engine suggests and returns the
// one the user chose, empty to refuse the download. Without a chooser set, a
// save dialog asks; tests set one instead.
using SaveFileChooser = std::function<QString(const QString &suggestedPath)>;
void SetSaveFileChooser(SaveFileChooser chooser);

// The browser control behind a hidden QWebEnginePage: nothing it shows is used.
class WebBrowser : public QObject, public BrowserControl {
    Q_OBJECT
public:
    explicit WebBrowser(QObject *parent = nullptr);
    ~WebBrowser() override;

    void Navigate(const QString &url) override;
    void Stop() override;
    int LastLoadStatus() const override { return lastStatus_; }
    QString LastLoadError() const override { return lastError_; }

    QWebEnginePage *Page() const { return page_; }
    bool Loading() const { return loading_; }

    // Off by default: a run's visits must not stop at a save dialog. With
    // downloads on, a file the engine is sent is saved where the user
    // chooses, goes on after the control is gone, and its end is reported.
    void SetAcceptDownloads(bool accept) { acceptDownloads_ = accept; }
    bool AcceptDownloads() const { return acceptDownloads_; }

private:
    void Complete(const QString &url);
    void DownloadRequested(class QWebEngineDownloadRequest *download);

    struct Downloads {
        int active = 0;
        bool orphaned = false; // the control is gone; the profile waits for them
    };

    QWebEngineProfile *profile_;
    std::shared_ptr<Downloads> downloads_ = std::make_shared<Downloads>();
    QWebEnginePage *page_;
    bool loading_ = false;
    bool acceptDownloads_ = false;
    unsigned generation_ = 0;
    int lastStatus_ = 0;
    QString lastError_;
};
