#pragma once

#include <QObject>
#include <cstdint>
#include <exception>
#include <functional>

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr UINT WM_USER = 0x400;
constexpr UINT WM_QUIT = 0x12;

inline constexpr std::uint32_t MAKELONG(std::uint16_t low, std::uint16_t high)
{
    return static_cast<std::uint32_t>(low) | (static_cast<std::uint32_t>(high) << 16);
}
inline constexpr std::uint16_t LOWORD(std::uintptr_t v)
{
    return static_cast<std::uint16_t>(v & 0xFFFF);
}
inline constexpr std::uint16_t HIWORD(std::uintptr_t v)
{
    return static_cast<std::uint16_t>((v >> 16) & 0xFFFF);
}

// A hidden window that only receives posted messages. Post() queues the message
// on the owning (UI) thread's event queue; messages to one window arrive in the
// order they were posted, and destroying the window drops whatever is still
// queued for it. Post() may be called from any thread.
class NotifyWindow {
public:
    using Procedure = std::function<LRESULT(UINT msg, WPARAM wParam, LPARAM lParam)>;
    using ExceptionHandler = std::function<void(std::exception_ptr)>;

    explicit NotifyWindow(Procedure procedure, ExceptionHandler onException = {});
    ~NotifyWindow();
    NotifyWindow(const NotifyWindow &) = delete;
    NotifyWindow &operator=(const NotifyWindow &) = delete;

    void Post(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    // Runs the window procedure at once, as SendMessage does.
    LRESULT Send(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // A handle that stays valid as a lookup key while the window lives.
    std::uintptr_t Handle() const { return reinterpret_cast<std::uintptr_t>(receiver_); }

private:
    class Receiver;
    LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);

    Procedure procedure_;
    ExceptionHandler onException_;
    Receiver *receiver_;
};

// Posts to a window found by its handle; does nothing when that window is gone.
// Safe from any thread: this is how worker threads report back to the UI thread.
bool PostToWindow(std::uintptr_t handle, UINT msg, WPARAM wParam, LPARAM lParam);

// What PostToWindow would do, without the round trip through the queue when
// the window lives on this thread: the messages already queued there are
// handled first, then this one, so the order is the one a post would give;
// then, in the same pass, what its handler posted. Meant for code already
// running from the event loop, such as a readiness watch; false when the
// window is gone.
bool DeliverToWindow(std::uintptr_t handle, UINT msg, WPARAM wParam, LPARAM lParam);

// Handles every pending message and returns ("process messages").
void ProcessMessages();

// Blocks until at least one message arrived, handles what is pending, returns.
// Loops that wait for a flag use it instead of spinning over ProcessMessages.
void ProcessMessagesWaiting();

// Pumps messages until done() holds, sleeping in between while nothing arrives.
void WaitUntil(const std::function<bool()> &done);
