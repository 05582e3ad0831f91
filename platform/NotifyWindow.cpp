#include "platform/NotifyWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <mutex>
#include <unordered_set>

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct MessageEvent : QEvent {
    MessageEvent(UINT m, WPARAM w, LPARAM l) : QEvent(kMessageEvent), msg(m), wParam(w), lParam(l) {}
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// Windows alive right now, so that a late post from a worker finds nothing
// instead of a freed object.
std::mutex liveMutex;
std::unordered_set<std::uintptr_t> liveWindows;

} // namespace

class NotifyWindow::Receiver : public QObject {
public:
    explicit Receiver(NotifyWindow *owner) : owner_(owner) {}
    bool event(QEvent *e) override
    {
        if (e->type() != kMessageEvent)
            return QObject::event(e);
        auto *m = static_cast<MessageEvent *>(e);
        owner_->Dispatch(m->msg, m->wParam, m->lParam);
        return true;
    }
    NotifyWindow *owner_;
};

NotifyWindow::NotifyWindow(Procedure procedure, ExceptionHandler onException)
    : procedure_(std::move(procedure)), onException_(std::move(onException)), receiver_(new Receiver(this))
{
    std::lock_guard lock(liveMutex);
    liveWindows.insert(Handle());
}

NotifyWindow::~NotifyWindow()
{
    {
        std::lock_guard lock(liveMutex);
        liveWindows.erase(Handle());
    }
    // Deleting the receiver removes the events still posted to it.
    delete receiver_;
}

void NotifyWindow::Post(UINT msg, WPARAM wParam, LPARAM lParam)
{
    QCoreApplication::postEvent(receiver_, new MessageEvent(msg, wParam, lParam));
}

LRESULT NotifyWindow::Send(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return Dispatch(msg, wParam, lParam);
}

LRESULT NotifyWindow::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam)
{
    // Nothing may escape into Qt: the owner decides what a failure means.
    try {
        return procedure_ ? procedure_(msg, wParam, lParam) : 0;
    } catch (...) {
        if (onException_) {
            try {
                onException_(std::current_exception());
            } catch (...) {
            }
        }
        return 0;
    }
}

bool PostToWindow(std::uintptr_t handle, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard lock(liveMutex);
    if (!liveWindows.count(handle))
        return false;
    QCoreApplication::postEvent(reinterpret_cast<QObject *>(handle), new MessageEvent(msg, wParam, lParam));
    return true;
}

bool DeliverToWindow(std::uintptr_t handle, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto *receiver = reinterpret_cast<QObject *>(handle);
    {
        std::lock_guard lock(liveMutex);
        if (!liveWindows.count(handle))
            return false;
        if (receiver->thread() != QThread::currentThread()) {
            QCoreApplication::postEvent(receiver, new MessageEvent(msg, wParam, lParam));
            return true;
        }
    }
    QCoreApplication::sendPostedEvents();
    // What was queued may have closed the window.
    {
        std::lock_guard lock(liveMutex);
        if (!liveWindows.count(handle))
            return false;
    }
    MessageEvent event(msg, wParam, lParam);
    QCoreApplication::sendEvent(receiver, &event);
    // What the handler posted would be the loop's next work: do it in this pass.
    QCoreApplication::sendPostedEvents();
    return true;
}

void ProcessMessages()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ProcessMessagesWaiting()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void WaitUntil(const std::function<bool()> &done)
{
    while (!done())
        ProcessMessagesWaiting();
}
