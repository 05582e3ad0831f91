#include "tests/support/SilentAddress.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

SilentAddress::SilentAddress(const std::string &address, std::uint16_t port)
{
    const bool v6 = address.find(':') != std::string::npos;
    sockaddr_storage where{};
    socklen_t len = 0;
    if (v6) {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&where);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        inet_pton(AF_INET6, address.c_str(), &sin6->sin6_addr);
        len = sizeof *sin6;
    } else {
        auto *sin = reinterpret_cast<sockaddr_in *>(&where);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &sin->sin_addr);
        len = sizeof *sin;
    }
    listenFd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0)
        return;
    const int on = 1;
    if (v6)
        ::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&where), len) != 0 || ::listen(listenFd_, 0) != 0)
        return;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&where), &len);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&where)->sin6_port
                     : reinterpret_cast<sockaddr_in *>(&where)->sin_port);
    // Fill the queue: connections are made until one is left hanging.
    for (int i = 0; i < 8 && !ready_; ++i) {
        const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return;
        fillers_.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&where), len) == 0)
            continue;
        if (errno != EINPROGRESS)
            return;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0)
            ready_ = true;
    }
}

SilentAddress::~SilentAddress()
{
    for (const int fd : fillers_)
        ::close(fd);
    if (listenFd_ >= 0)
        ::close(listenFd_);
}
