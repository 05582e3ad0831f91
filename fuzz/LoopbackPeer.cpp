#include "LoopbackPeer.h"

#include "platform/NotifyWindow.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

LoopbackPeer::LoopbackPeer()
{
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 ||
        ::listen(listen_, 16) != 0 || ::getsockname(listen_, reinterpret_cast<sockaddr *>(&sin), &len) != 0)
        throw std::runtime_error("loopback peer: cannot listen");
    port_ = ntohs(sin.sin_port);
}

LoopbackPeer::~LoopbackPeer()
{
    Close();
    if (listen_ >= 0)
        ::close(listen_);
}

bool LoopbackPeer::Accept(int timeoutMs)
{
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn_ < 0)
        return false;
    const int on = 1;
    ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

void LoopbackPeer::Send(const std::string &bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

std::string LoopbackPeer::Read(int timeoutMs)
{
    std::string got;
    pollfd p{conn_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return got;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(conn_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        got.append(buffer, static_cast<std::size_t>(n));
    return got;
}

std::string LoopbackPeer::ReadToEnd(int timeoutMs)
{
    std::string got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{conn_, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0)
            continue;
        const ssize_t n = ::recv(conn_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
        if (n > 0)
            got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void LoopbackPeer::ShutdownSend()
{
    ::shutdown(conn_, SHUT_WR);
}

void LoopbackPeer::Close()
{
    if (conn_ >= 0)
        ::close(conn_);
    conn_ = -1;
}

void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    (void)app;
}

bool PumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        ProcessMessages();
        if (!done())
            ::usleep(100);
    }
    return true;
}

unsigned long Unread(TCustomWSocket &socket)
{
    ws::u_long n = 0;
    if (ws::ioctlsocket(socket.HSocket(), ws::FIONREAD, &n) != 0)
        return 0;
    return n;
}
