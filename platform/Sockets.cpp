// The calls of the sockets shim: start-up and clean-up, the handle table, the
// translation of errno and resolver codes to WinSock's, and the socket calls
// themselves. Options are in SocketOptions.cpp, readiness watches in
// SocketWatch.cpp, name lookups in SocketLookup.cpp; what they share is in
// SocketsInternal.h.

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

thread_local int tLastError = 0;

} // namespace

namespace shim {

int Fail(int code)
{
    tLastError = code;
    return SOCKET_ERROR;
}

// Every errno a TCP or UDP socket call can give, as WinSock reports it.
int FromErrno(int e)
{
    switch (e) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    case ENOSYS:
    case ENONET:
        return WSASYSNOTREADY;
    default:
        return WSAEINVAL;
    }
}

int FromGai(int rc, int savedErrno)
{
    switch (rc) {
    case 0:
        return 0;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
#endif
    case EAI_SERVICE:
        return WSANO_DATA;
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_FAMILY:
        return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE:
        return WSAESOCKTNOSUPPORT;
    case EAI_BADFLAGS:
        return WSAEINVAL;
    case EAI_OVERFLOW:
        return WSAEFAULT;
    case EAI_SYSTEM:
        return savedErrno ? FromErrno(savedErrno) : WSANO_RECOVERY;
    default:
        return WSANO_RECOVERY;
    }
}

int FailErrno()
{
    return Fail(FromErrno(errno));
}

// --- handle table -----------------------------------------------------------

std::mutex gTableMutex;
std::unordered_map<SOCKET, std::shared_ptr<Entry>> gTable;
SOCKET gNextHandle = 1;

std::atomic<int> gStartups{0};

bool Started()
{
    return gStartups.load() > 0;
}

std::shared_ptr<Entry> Find(SOCKET s)
{
    std::lock_guard lock(gTableMutex);
    auto it = gTable.find(s);
    return it == gTable.end() ? nullptr : it->second;
}

// Checks start-up and the handle; sets the last error when either fails.
std::shared_ptr<Entry> Use(SOCKET s)
{
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return nullptr;
    }
    auto e = Find(s);
    if (!e)
        Fail(WSAENOTSOCK);
    return e;
}

SOCKET Register(int fd, int type, int family)
{
    auto e = std::make_shared<Entry>();
    e->fd = fd;
    e->type = type;
    e->family = family;
    std::lock_guard lock(gTableMutex);
    SOCKET h = gNextHandle++;
    if (gNextHandle <= 0 || gNextHandle == INVALID_SOCKET)
        gNextHandle = 1;
    gTable[h] = e;
    return h;
}

} // namespace shim

namespace {

// --- address records --------------------------------------------------------

// The size of a family's address record: what a caller must make room for.
int RecordSize(int family)
{
    return family == wsnum::kAfInet6 ? static_cast<int>(sizeof(SOCKADDR_IN6)) : static_cast<int>(sizeof(SOCKADDR_IN));
}

// A record of either family in the C library's form; false with the last
// error set for a short record or a family we do not speak.
bool ToPosix(const SOCKADDR *name, int namelen, ::sockaddr_storage &out, socklen_t &outLen)
{
    if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
        Fail(WSAEFAULT);
        return false;
    }
    std::int16_t family;
    std::memcpy(&family, name, sizeof family);
    out = {};
    if (family == wsnum::kAfInet) {
        SOCKADDR_IN in;
        std::memcpy(&in, name, sizeof in);
        auto &o = reinterpret_cast<::sockaddr_in &>(out);
        o.sin_family = AF_INET;
        o.sin_port = in.sin_port;
        o.sin_addr.s_addr = in.sin_addr.s_addr;
        outLen = sizeof o;
        return true;
    }
    if (family != wsnum::kAfInet6) {
        Fail(WSAEAFNOSUPPORT);
        return false;
    }
    if (namelen < static_cast<int>(sizeof(SOCKADDR_IN6))) {
        Fail(WSAEFAULT);
        return false;
    }
    SOCKADDR_IN6 in6;
    std::memcpy(&in6, name, sizeof in6);
    auto &o = reinterpret_cast<::sockaddr_in6 &>(out);
    o.sin6_family = AF_INET6;
    o.sin6_port = in6.sin6_port;
    o.sin6_flowinfo = in6.sin6_flowinfo;
    std::memcpy(&o.sin6_addr, in6.sin6_addr.u.Byte, 16);
    o.sin6_scope_id = in6.sin6_scope_id;
    outLen = sizeof o;
    return true;
}

// The caller made room for the record of the socket's family (checked before
// the call that filled in).
void FromPosix(const ::sockaddr_storage &in, SOCKADDR *name, int *namelen)
{
    if (in.ss_family == AF_INET6) {
        const auto &i = reinterpret_cast<const ::sockaddr_in6 &>(in);
        SOCKADDR_IN6 out{};
        out.sin6_family = wsnum::kAfInet6;
        out.sin6_port = i.sin6_port;
        out.sin6_flowinfo = i.sin6_flowinfo;
        std::memcpy(out.sin6_addr.u.Byte, &i.sin6_addr, 16);
        out.sin6_scope_id = i.sin6_scope_id;
        std::memcpy(name, &out, sizeof out);
        *namelen = sizeof out;
        return;
    }
    const auto &i = reinterpret_cast<const ::sockaddr_in &>(in);
    SOCKADDR_IN out{};
    out.sin_family = wsnum::kAfInet;
    out.sin_port = i.sin_port;
    out.sin_addr.s_addr = i.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
}

void CloseEverything()
{
    std::vector<SOCKET> handles;
    {
        std::lock_guard lock(gTableMutex);
        for (auto &[h, e] : gTable)
            handles.push_back(h);
    }
    for (SOCKET h : handles) {
        auto e = Find(h);
        if (!e)
            continue;
        {
            std::lock_guard lock(gTableMutex);
            gTable.erase(h);
        }
        e->async.reset();
        ::close(e->fd);
    }
}

} // namespace

// --- start-up ---------------------------------------------------------------

int WSAStartup(std::uint16_t versionRequested, WSADATA *data)
{
    const int major = versionRequested & 0xFF;
    const int minor = (versionRequested >> 8) & 0xFF;
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    if (!data)
        return WSAEFAULT;
    *data = {};
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::snprintf(data->szDescription, sizeof data->szDescription, "%s", "POSIX sockets, WinSock 1.1 manner");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "%s", "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    CountStartup();
    return 0;
}

int WSACleanup()
{
    int before = gStartups.load();
    do {
        if (before <= 0)
            return Fail(WSANOTINITIALISED);
    } while (!gStartups.compare_exchange_weak(before, before - 1));
    if (before == 1) {
        // As WinSock does on its last clean-up: pending lookups are cancelled
        // and every socket still open is closed.
        StopWorkers();
        CloseEverything();
    }
    return 0;
}

bool WSAIsStarted()
{
    return Started();
}

int WSAGetLastError()
{
    return tLastError;
}
void WSASetLastError(int code)
{
    tLastError = code;
}

// --- sockets ----------------------------------------------------------------

SOCKET socket(int af, int type, int protocol)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), INVALID_SOCKET;
    if (af != wsnum::kAfInet && af != wsnum::kAfInet6)
        return Fail(WSAEAFNOSUPPORT), INVALID_SOCKET;
    int posixType;
    if (type == wsnum::kSockStream)
        posixType = SOCK_STREAM;
    else if (type == wsnum::kSockDgram)
        posixType = SOCK_DGRAM;
    else if (type == wsnum::kSockRaw)
        posixType = SOCK_RAW;
    else
        return Fail(WSAESOCKTNOSUPPORT), INVALID_SOCKET;
    const int fd = ::socket(af == wsnum::kAfInet6 ? AF_INET6 : AF_INET, posixType | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return FailErrno(), INVALID_SOCKET;
    // An IPv6 socket speaks IPv6 only, as on Windows: a listener on :: does
    // not take IPv4 connections in disguise.
    if (af == wsnum::kAfInet6) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    return Register(fd, type, af);
}

int bind(SOCKET s, const SOCKADDR *name, int namelen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    ::sockaddr_storage in;
    socklen_t inLen;
    if (!ToPosix(name, namelen, in, inLen))
        return SOCKET_ERROR;
    if (::bind(e->fd, reinterpret_cast<::sockaddr *>(&in), inLen) != 0)
        return FailErrno();
    return 0;
}

namespace {
// A connect in progress whose outcome is known already: 0 for a connection
// made, the errno of a failure; -1 while it is still going on.
int ConnectOutcome(int fd)
{
    ::pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1)
        return -1;
    // Writable without an error flag is a connect that succeeded.
    if (p.revents & (POLLERR | POLLHUP)) {
        const int err = SocketError(fd);
        if (err != 0)
            return err;
    }
    return (p.revents & POLLOUT) ? 0 : -1;
}
} // namespace

int connect(SOCKET s, const SOCKADDR *name, int namelen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    ::sockaddr_storage in;
    socklen_t inLen;
    if (!ToPosix(name, namelen, in, inLen))
        return SOCKET_ERROR;
    e->connectMade = true;
    int rc;
    do {
        rc = ::connect(e->fd, reinterpret_cast<::sockaddr *>(&in), inLen);
    } while (rc != 0 && errno == EINTR && !e->nonBlocking);
    if (!e->nonBlocking)
        return rc == 0 ? 0 : FailErrno();
    Async *a = e->async.get();
    if (!a)
        return rc == 0 ? 0 : Fail(errno == EINPROGRESS ? WSAEWOULDBLOCK : FromErrno(errno));
    a->idle = false;
    const int err = rc == 0 ? 0 : errno;
    // A connect to this machine has usually finished by now: its outcome is
    // posted at once instead of being watched for.
    const int outcome = err == EINPROGRESS ? ConnectOutcome(e->fd) : err;
    if (outcome == 0) {
        PostEvent(s, *a, FD_CONNECT | FD_WRITE, 0);
        a->UpdateRead();
        return rc == 0 ? 0 : Fail(WSAEWOULDBLOCK);
    }
    if (outcome < 0) {
        a->connecting = true;
        a->UpdateRead();
        a->ArmWrite(true);
        return Fail(WSAEWOULDBLOCK);
    }
    // A failed attempt reports the way WinSock does to a non-blocking socket:
    // "would block" now, FD_CONNECT with the error later, and nothing else.
    if (err == EINPROGRESS || outcome == ECONNREFUSED || outcome == ETIMEDOUT || outcome == ECONNRESET) {
        PostEvent(s, *a, FD_CONNECT, FromErrno(outcome));
        a->deaf = true;
        a->UpdateRead();
        return Fail(WSAEWOULDBLOCK);
    }
    return Fail(FromErrno(err));
}

int listen(SOCKET s, int backlog)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (e->type != wsnum::kSockStream)
        return Fail(WSAEOPNOTSUPP);
    if (::listen(e->fd, backlog) != 0)
        return FailErrno();
    e->listening = true;
    if (e->async) {
        e->async->idle = false;
        e->async->UpdateRead();
    }
    return 0;
}

SOCKET accept(SOCKET s, SOCKADDR *addr, int *addrlen)
{
    auto e = Use(s);
    if (!e)
        return INVALID_SOCKET;
    if (addr && (!addrlen || *addrlen < RecordSize(e->family)))
        return Fail(WSAEFAULT), INVALID_SOCKET;
    ::sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int fd;
    do {
        fd = ::accept4(e->fd, reinterpret_cast<::sockaddr *>(&peer), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !e->nonBlocking);
    const int err = errno;
    Rearm(*e);
    if (fd < 0)
        return Fail(FromErrno(err)), INVALID_SOCKET;
    if (addr)
        FromPosix(peer, addr, addrlen);
    const SOCKET h = Register(fd, wsnum::kSockStream, e->family);
    Find(h)->connectMade = true;
    return h;
}

int closesocket(SOCKET s)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (e->lingerOn && e->lingerSeconds > 0 && e->nonBlocking) {
        // WinSock reports "would block" while a lingering close still has data
        // to deliver; the caller pumps messages and tries again.
        int unsent = 0;
        const auto now = std::chrono::steady_clock::now();
        if (!e->lingerWaiting) {
            e->lingerWaiting = true;
            e->lingerDeadline = now + std::chrono::seconds(e->lingerSeconds);
        }
        if (::ioctl(e->fd, SIOCOUTQ, &unsent) == 0 && unsent > 0 && now < e->lingerDeadline)
            return Fail(WSAEWOULDBLOCK);
        if (unsent > 0) {
            // The time is up: drop what is left, as a lingering close does.
            ::linger hard{1, 0};
            ::setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
    }
    {
        std::lock_guard lock(gTableMutex);
        gTable.erase(s);
    }
    e->async.reset();
    if (::close(e->fd) != 0 && errno != EINTR)
        return FailErrno();
    return 0;
}

int shutdown(SOCKET s, int how)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    int posixHow;
    if (how == wsnum::kShutReceive)
        posixHow = SHUT_RD;
    else if (how == wsnum::kShutSend)
        posixHow = SHUT_WR;
    else if (how == wsnum::kShutBoth)
        posixHow = SHUT_RDWR;
    else
        return Fail(WSAEINVAL);
    if (::shutdown(e->fd, posixHow) != 0)
        return FailErrno();
    if (how != wsnum::kShutReceive)
        e->shutSend = true;
    return 0;
}

namespace {
int SendFlags(int flags)
{
    return MSG_NOSIGNAL | ((flags & wsnum::kMsgOob) ? MSG_OOB : 0);
}

int SendResult(SOCKET, Entry &e, ssize_t r, int len)
{
    if (r < 0) {
        const int err = errno;
        if (err == EAGAIN && e.async)
            e.async->ArmWrite(true);
        // The C library says EPIPE for three different things.
        if (err == EPIPE)
            return Fail(e.shutSend ? WSAESHUTDOWN : e.connectMade ? WSAECONNRESET : WSAENOTCONN);
        return Fail(FromErrno(err));
    }
    // A short send means the buffer is full: tell the program when there is
    // room again, or the rest would wait for ever.
    if (r < len && e.async)
        e.async->ArmWrite(true);
    return static_cast<int>(r);
}
} // namespace

int send(SOCKET s, const char *buf, int len, int flags)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf))
        return Fail(WSAEFAULT);
    ssize_t r;
    do {
        r = ::send(e->fd, buf, static_cast<std::size_t>(len), SendFlags(flags));
    } while (r < 0 && errno == EINTR);
    return SendResult(s, *e, r, len);
}

int sendto(SOCKET s, const char *buf, int len, int flags, const SOCKADDR *to, int tolen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf))
        return Fail(WSAEFAULT);
    ::sockaddr_storage in{};
    const ::sockaddr *dest = nullptr;
    socklen_t destLen = 0;
    if (to) {
        if (!ToPosix(to, tolen, in, destLen))
            return SOCKET_ERROR;
        dest = reinterpret_cast<::sockaddr *>(&in);
    }
    ssize_t r;
    do {
        r = ::sendto(e->fd, buf, static_cast<std::size_t>(len), SendFlags(flags), dest, destLen);
    } while (r < 0 && errno == EINTR);
    return SendResult(s, *e, r, len);
}

namespace {
int RecvFlags(int flags)
{
    return ((flags & wsnum::kMsgOob) ? MSG_OOB : 0) | ((flags & wsnum::kMsgPeek) ? MSG_PEEK : 0);
}
} // namespace

int recv(SOCKET s, char *buf, int len, int flags)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf))
        return Fail(WSAEFAULT);
    ssize_t r;
    if (len == 0 && e->type == wsnum::kSockStream) {
        // A zero-length read tells "would block" from "something is there or
        // the stream ended", as WinSock's does; the C library's returns 0 always.
        char probe;
        do {
            r = ::recv(e->fd, &probe, 1, MSG_PEEK | (e->nonBlocking ? MSG_DONTWAIT : 0));
        } while (r < 0 && errno == EINTR);
        if (r > 0)
            r = 0;
    } else {
        do {
            r = ::recv(e->fd, buf, static_cast<std::size_t>(len), RecvFlags(flags));
        } while (r < 0 && errno == EINTR && !e->nonBlocking);
    }
    const int err = errno;
    Rearm(*e);
    if (r < 0)
        return Fail(err == ENOTCONN && e->shutSend ? WSAESHUTDOWN : FromErrno(err));
    return static_cast<int>(r);
}

int recvfrom(SOCKET s, char *buf, int len, int flags, SOCKADDR *from, int *fromlen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf))
        return Fail(WSAEFAULT);
    if (from && (!fromlen || *fromlen < RecordSize(e->family)))
        return Fail(WSAEFAULT);
    ::sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    ssize_t r;
    do {
        r = ::recvfrom(e->fd, buf, static_cast<std::size_t>(len), RecvFlags(flags),
                       reinterpret_cast<::sockaddr *>(&peer), &peerLen);
    } while (r < 0 && errno == EINTR && !e->nonBlocking);
    const int err = errno;
    Rearm(*e);
    if (r < 0) {
        // A datagram larger than the buffer is cut, and WinSock says so.
        return Fail(FromErrno(err));
    }
    if (from)
        FromPosix(peer, from, fromlen);
    return static_cast<int>(r);
}

int ioctlsocket(SOCKET s, long cmd, u_long *argp)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (!argp)
        return Fail(WSAEFAULT);
    if (cmd == wsnum::kFionread) {
        int n = 0;
        if (::ioctl(e->fd, FIONREAD, &n) != 0)
            return FailErrno();
        *argp = static_cast<u_long>(n);
        return 0;
    }
    if (cmd == wsnum::kFionbio) {
        if (*argp == 0 && e->async)
            return Fail(WSAEINVAL); // notifications need a non-blocking socket
        const int flags = ::fcntl(e->fd, F_GETFL);
        if (flags < 0 || ::fcntl(e->fd, F_SETFL, *argp ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0)
            return FailErrno();
        e->nonBlocking = *argp != 0;
        return 0;
    }
    return Fail(WSAEINVAL);
}

namespace {
// getsockname and getpeername differ only in the call they make.
int QueryName(SOCKET s, SOCKADDR *name, int *namelen, int (*query)(int, ::sockaddr *, socklen_t *))
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < RecordSize(e->family))
        return Fail(WSAEFAULT);
    ::sockaddr_storage in{};
    socklen_t len = sizeof in;
    if (query(e->fd, reinterpret_cast<::sockaddr *>(&in), &len) != 0)
        return FailErrno();
    FromPosix(in, name, namelen);
    return 0;
}
} // namespace

int getsockname(SOCKET s, SOCKADDR *name, int *namelen)
{
    return QueryName(s, name, namelen, ::getsockname);
}

int getpeername(SOCKET s, SOCKADDR *name, int *namelen)
{
    return QueryName(s, name, namelen, ::getpeername);
}

u_short(htons)(u_short v)
{
    return static_cast<u_short>((v << 8) | (v >> 8));
}
u_short(ntohs)(u_short v)
{
    return (htons)(v);
}
u_long(htonl)(u_long v)
{
    return __builtin_bswap32(v);
}
u_long(ntohl)(u_long v)
{
    return __builtin_bswap32(v);
}

u_long inet_addr(const char *cp)
{
    if (!cp || !*cp)
        return INADDR_NONE;
    return ::inet_addr(cp);
}

char *inet_ntoa(in_addr in)
{
    thread_local char text[INET_ADDRSTRLEN];
    ::in_addr a{};
    a.s_addr = in.s_addr;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

int inet_pton(int af, const char *src, void *dst)
{
    if (af != wsnum::kAfInet && af != wsnum::kAfInet6)
        return Fail(WSAEAFNOSUPPORT), -1;
    if (!src || !dst)
        return Fail(WSAEFAULT), -1;
    return ::inet_pton(af == wsnum::kAfInet6 ? AF_INET6 : AF_INET, src, dst);
}

const char *inet_ntop(int af, const void *src, char *dst, std::size_t size)
{
    if (af != wsnum::kAfInet && af != wsnum::kAfInet6)
        return Fail(WSAEAFNOSUPPORT), nullptr;
    if (!src || !dst)
        return Fail(WSAEFAULT), nullptr;
    const char *r = ::inet_ntop(af == wsnum::kAfInet6 ? AF_INET6 : AF_INET, src, dst, static_cast<socklen_t>(size));
    if (!r)
        Fail(WSAEFAULT); // the only failure left: no room for the text
    return r;
}

int OpenSocketCount()
{
    std::lock_guard lock(gTableMutex);
    return static_cast<int>(gTable.size());
}

} // namespace ws
