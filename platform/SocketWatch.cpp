// Readiness watches: WSAAsyncSelect and the two QSocketNotifiers per socket
// that turn readiness into WinSock events (socket, MAKELONG(events, error)),
// with WinSock's re-enabling rules. The calls re-arm a watch through Rearm
// after a recv or accept and post the connect outcome through PostEvent.

#include "platform/SocketsInternal.h"

#include "platform/NotifyWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ws {

using namespace shim;

namespace {

// --- asynchronous select ----------------------------------------------------

void OnReadable(SOCKET s);
void OnWritable(SOCKET s);

// The same from the readiness watch, which runs from the event loop: the
// message is handled at once, after what is already queued, instead of
// costing the loop another turn. The handler may close the socket, so the
// watch must be left as it should stay before this is called.
void ReportEvent(SOCKET s, Async &a, long event, int error)
{
    event &= a.mask;
    if (!event)
        return;
    const std::uintptr_t window = a.window;
    if (DeliverToWindow(
            window, a.msg, static_cast<WPARAM>(s),
            static_cast<LPARAM>(MAKELONG(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error))))) {
        return;
    }
    auto e = Find(s);
    if (e && e->async && e->async->window == window)
        e->async->StopListening();
}

void OnReadable(SOCKET s)
{
    auto e = Find(s);
    if (!e || !e->async)
        return;
    Async &a = *e->async;
    if (a.deaf || a.connecting || !a.readArmed || a.closeSent) {
        // Still readable while a report waits for its read: quiet until then.
        a.UpdateRead();
        return;
    }
    // After a report the notifier stays on until it fires again unread: most
    // readers read before that, and each switch of a notifier costs the event
    // loop a wake-up. accept/recv/recvfrom re-arm.
    if (e->listening) {
        a.readArmed = false;
        ReportEvent(s, a, FD_ACCEPT, 0);
        return;
    }
    if (e->type != wsnum::kSockStream) {
        a.readArmed = false;
        ReportEvent(s, a, FD_READ, 0);
        return;
    }
    // A stream: data, an orderly end or a reset all look "readable".
    char probe;
    const ssize_t r = ::recv(e->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    const int err = errno;
    if (r > 0) {
        a.readArmed = false;
        ReportEvent(s, a, FD_READ, 0);
    } else if (r == 0) {
        a.closeSent = true;
        a.UpdateRead();
        ReportEvent(s, a, FD_CLOSE, 0);
    } else if (err != EAGAIN && err != EINTR) {
        a.closeSent = true;
        a.UpdateRead();
        ReportEvent(s, a, FD_CLOSE, FromErrno(err));
    }
}

void OnWritable(SOCKET s)
{
    auto e = Find(s);
    if (!e || !e->async)
        return;
    Async &a = *e->async;
    a.ArmWrite(false);
    if (a.connecting) {
        a.connecting = false;
        const int err = SocketError(e->fd);
        if (err != 0) {
            // A failed connect reports once and nothing else follows.
            a.deaf = true;
            a.UpdateRead();
            ReportEvent(s, a, FD_CONNECT, FromErrno(err));
            return;
        }
        // Both in one message, as one readiness report gives them.
        a.UpdateRead();
        ReportEvent(s, a, FD_CONNECT | FD_WRITE, 0);
        return;
    }
    ReportEvent(s, a, FD_WRITE, 0);
}

} // namespace

namespace shim {

// event may hold several bits: they travel in one message and the receiver
// handles them in its fixed order (connect before write).
bool PostEvent(SOCKET s, Async &a, long event, int error)
{
    event &= a.mask;
    if (!event)
        return true;
    if (PostToWindow(
            a.window, a.msg, static_cast<WPARAM>(s),
            static_cast<LPARAM>(MAKELONG(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error))))) {
        return true;
    }
    a.StopListening();
    return false;
}

int SocketError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

bool IsConnected(int fd)
{
    ::sockaddr_in peer{};
    socklen_t len = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<::sockaddr *>(&peer), &len) == 0;
}

void MakeNotifiers(SOCKET s, Entry &e)
{
    Async &a = *e.async;
    // Made without a socket and given it afterwards, so that they start off
    // without registering and unregistering first.
    a.readNotifier = std::make_unique<QSocketNotifier>(QSocketNotifier::Read);
    a.readNotifier->setSocket(e.fd);
    QObject::connect(a.readNotifier.get(), &QSocketNotifier::activated, [s] {
        try {
            OnReadable(s);
        } catch (...) {
        }
    });
    a.writeNotifier = std::make_unique<QSocketNotifier>(QSocketNotifier::Write);
    a.writeNotifier->setSocket(e.fd);
    QObject::connect(a.writeNotifier.get(), &QSocketNotifier::activated, [s] {
        try {
            OnWritable(s);
        } catch (...) {
        }
    });
}

void SetNonBlocking(Entry &e)
{
    // The shim sets no other status flag on a socket, so there is none to keep.
    if (!e.nonBlocking)
        ::fcntl(e.fd, F_SETFL, O_NONBLOCK);
    e.nonBlocking = true;
}

// After recv/recvfrom/accept: the next FD_READ / FD_ACCEPT may come.
void Rearm(Entry &e)
{
    if (e.async && !e.async->readArmed) {
        e.async->readArmed = true;
        e.async->UpdateRead();
    }
}

} // namespace shim

int WSAAsyncSelect(SOCKET s, std::uintptr_t window, unsigned msg, long events)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    SetNonBlocking(*e);
    if (events == 0 || msg == 0) {
        e->async.reset();
        return 0;
    }
    if (!window)
        return Fail(WSAEINVAL);
    const bool wasConnecting = e->async && e->async->connecting;
    e->async = std::make_unique<Async>();
    Async &a = *e->async;
    a.window = window;
    a.msg = msg;
    a.mask = events;
    a.connecting = wasConnecting;
    // Watching a fresh stream for reading would only switch the watch off
    // again at its connect.
    a.idle = e->type == wsnum::kSockStream && !e->listening && !e->connectMade;
    MakeNotifiers(s, *e);
    if (a.connecting) {
        a.ArmWrite(true);
        return 0;
    }
    a.UpdateRead();
    // A socket that can already send says so once, as WinSock does when the
    // request is made on a connected or datagram socket.
    if ((events & FD_WRITE) &&
        (e->type != wsnum::kSockStream || (!e->listening && e->connectMade && IsConnected(e->fd))))
        PostEvent(s, a, FD_WRITE, 0);
    return 0;
}

} // namespace ws
