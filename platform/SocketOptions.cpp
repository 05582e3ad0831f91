// setsockopt and getsockopt: WinSock's option levels and names translated to
// POSIX ones, and SO_LINGER kept by the shim so a lingering close never blocks.

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
// Translates a WinSock level/option pair; false when the option is unknown.
bool PosixOption(int level, int optname, int &plevel, int &popt)
{
    if (level == wsnum::kLevelSocket) {
        plevel = SOL_SOCKET;
        switch (optname) {
        case wsnum::kDebug:
            popt = SO_DEBUG;
            return true;
        case wsnum::kAcceptConn:
            popt = SO_ACCEPTCONN;
            return true;
        case wsnum::kReuseAddr:
            popt = SO_REUSEADDR;
            return true;
        case wsnum::kKeepAlive:
            popt = SO_KEEPALIVE;
            return true;
        case wsnum::kDontRoute:
            popt = SO_DONTROUTE;
            return true;
        case wsnum::kBroadcast:
            popt = SO_BROADCAST;
            return true;
        case wsnum::kLinger:
            popt = SO_LINGER;
            return true;
        case wsnum::kOobInline:
            popt = SO_OOBINLINE;
            return true;
        case wsnum::kSndBuf:
            popt = SO_SNDBUF;
            return true;
        case wsnum::kRcvBuf:
            popt = SO_RCVBUF;
            return true;
        case wsnum::kError:
            popt = SO_ERROR;
            return true;
        case wsnum::kType:
            popt = SO_TYPE;
            return true;
        }
        return false;
    }
    if (level == wsnum::kLevelTcp) {
        plevel = IPPROTO_TCP;
        if (optname == wsnum::kTcpNoDelay) {
            popt = TCP_NODELAY;
            return true;
        }
        return false;
    }
    if (level == wsnum::kLevelIp) {
        plevel = IPPROTO_IP;
        switch (optname) {
        case wsnum::kMulticastIf:
            popt = IP_MULTICAST_IF;
            return true;
        case wsnum::kMulticastTtl:
            popt = IP_MULTICAST_TTL;
            return true;
        case wsnum::kMulticastLoop:
            popt = IP_MULTICAST_LOOP;
            return true;
        case wsnum::kAddMembership:
            popt = IP_ADD_MEMBERSHIP;
            return true;
        case wsnum::kDropMembership:
            popt = IP_DROP_MEMBERSHIP;
            return true;
        }
        return false;
    }
    return false;
}
} // namespace

int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (!optval || optlen <= 0)
        return Fail(WSAEFAULT);
    int plevel = 0, popt = 0;
    if (!PosixOption(level, optname, plevel, popt))
        return Fail(level == wsnum::kLevelSocket || level == wsnum::kLevelIp || level == wsnum::kLevelTcp
                        ? WSAENOPROTOOPT
                        : WSAEINVAL);
    int rc;
    if (popt == SO_LINGER && plevel == SOL_SOCKET) {
        if (optlen < static_cast<int>(sizeof(LINGER)))
            return Fail(WSAEFAULT);
        LINGER l;
        std::memcpy(&l, optval, sizeof l);
        // A timed linger is emulated in closesocket; the kernel only learns of
        // the immediate (hard) close.
        ::linger pl{l.l_onoff != 0 && l.l_linger == 0 ? 1 : 0, 0};
        rc = ::setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &pl, sizeof pl);
        if (rc == 0) {
            e->lingerOn = l.l_onoff != 0;
            e->lingerSeconds = l.l_linger;
            e->lingerWaiting = false;
        }
    } else if (plevel == IPPROTO_IP && (popt == IP_ADD_MEMBERSHIP || popt == IP_DROP_MEMBERSHIP)) {
        if (optlen < static_cast<int>(sizeof(IP_MREQ)))
            return Fail(WSAEFAULT);
        IP_MREQ m;
        std::memcpy(&m, optval, sizeof m);
        ::ip_mreq pm{};
        pm.imr_multiaddr.s_addr = m.imr_multiaddr.s_addr;
        pm.imr_interface.s_addr = m.imr_interface.s_addr;
        rc = ::setsockopt(e->fd, plevel, popt, &pm, sizeof pm);
    } else if (plevel == IPPROTO_IP && popt == IP_MULTICAST_IF) {
        if (optlen < 4)
            return Fail(WSAEFAULT);
        ::in_addr a{};
        std::memcpy(&a.s_addr, optval, 4);
        rc = ::setsockopt(e->fd, plevel, popt, &a, sizeof a);
    } else {
        // Everything else is an int (WinSock also accepts a single byte).
        int v = 0;
        if (optlen >= 4)
            std::memcpy(&v, optval, 4);
        else
            v = static_cast<unsigned char>(optval[0]);
        if (popt == SO_REUSEADDR || popt == SO_KEEPALIVE || popt == SO_BROADCAST || popt == TCP_NODELAY ||
            popt == SO_DONTROUTE || popt == SO_OOBINLINE)
            v = v != 0;
        rc = ::setsockopt(e->fd, plevel, popt, &v, sizeof v);
    }
    return rc == 0 ? 0 : FailErrno();
}

int getsockopt(SOCKET s, int level, int optname, char *optval, int *optlen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (!optval || !optlen || *optlen < 1)
        return Fail(WSAEFAULT);
    int plevel = 0, popt = 0;
    if (!PosixOption(level, optname, plevel, popt))
        return Fail(WSAENOPROTOOPT);
    if (popt == SO_LINGER && plevel == SOL_SOCKET) {
        if (*optlen < static_cast<int>(sizeof(LINGER)))
            return Fail(WSAEFAULT);
        LINGER l{static_cast<u_short>(e->lingerOn), static_cast<u_short>(e->lingerSeconds)};
        std::memcpy(optval, &l, sizeof l);
        *optlen = sizeof l;
        return 0;
    }
    if (*optlen < 4)
        return Fail(WSAEFAULT);
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(e->fd, plevel, popt, &v, &len) != 0)
        return FailErrno();
    if (plevel == SOL_SOCKET && popt == SO_ERROR)
        v = FromErrno(v);
    else if (plevel == SOL_SOCKET && popt == SO_TYPE)
        v = e->type;
    std::memcpy(optval, &v, 4);
    *optlen = 4;
    return 0;
}

} // namespace ws
