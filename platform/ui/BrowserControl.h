#pragma once

#include <QString>
#include <functional>

// The embedded browser control as the program uses it: navigate to an address
// (returns at once, raises an Exception when the navigation cannot start), stop,
// and a document-complete report on the UI thread.
class BrowserControl {
public:
    virtual ~BrowserControl() = default;
    virtual void Navigate(const QString &url) = 0;
    virtual void Stop() = 0;
    // How the last navigation ended, valid once its document-complete report
    // has come: the HTTP status of the main page (0 when no answer came), and
    // the cause in words when the page did not load (empty when it did).
    virtual int LastLoadStatus() const = 0;
    virtual QString LastLoadError() const = 0;
    // A visited page outlives its document-complete report, as a person's tab
    // does: Close ends it once its visit is over (for the real control: its
    // network quiet, or a few seconds after the load), and Stop then ends the
    // wait for that at once. PageOpen is true until the page is gone. A
    // control that keeps no page has nothing to close.
    virtual void Close() {}
    virtual bool PageOpen() const { return false; }
    std::function<void(const QString &url)> OnDocumentComplete;
};
