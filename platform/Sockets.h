#pragma once

// A WinSock look-alike over POSIX sockets: the 1.1 calls, and of the second
// version what IPv6 needs (AF_INET6 records, inet_pton/inet_ntop, lookups of
// both families). The socket classes above are
// written against WinSock's contract (integer handles, a per-thread last error
// with WSAE* codes, window messages for readiness and lookups), so this layer
// gives them exactly that and nothing more.
//
// Everything lives in namespace ws: the names are WinSock's, and several of them
// (socket, connect, send, ...) would otherwise collide with the C library.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// glibc may define these as macros when optimising; ours are functions.
#ifdef htons
#undef htons
#endif
#ifdef ntohs
#undef ntohs
#endif
#ifdef htonl
#undef htonl
#endif
#ifdef ntohl
#undef ntohl
#endif

namespace ws {

using SOCKET = int;
using u_long = std::uint32_t;
using u_short = std::uint16_t;

// Handles are small integers of our own, never the descriptor itself: a closed
// handle is never handed out again, so a notification still queued for a closed
// connection cannot be mistaken for one of the next connection.
constexpr SOCKET INVALID_SOCKET = ~0;
constexpr int SOCKET_ERROR = -1;

constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int PF_INET = 2;
constexpr int AF_INET6 = 23; // WinSock's number, not the C library's
constexpr int PF_INET6 = 23;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int SOCK_RAW = 3;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;

constexpr u_long INADDR_ANY = 0;
constexpr u_long INADDR_NONE = 0xFFFFFFFF;

// Option levels and names as WinSock numbers them; setsockopt translates.
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_DONTROUTE = 0x0010;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_OOBINLINE = 0x0100;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;
constexpr int IP_MULTICAST_IF = 2;
constexpr int IP_MULTICAST_TTL = 3;
constexpr int IP_MULTICAST_LOOP = 4;
constexpr int IP_ADD_MEMBERSHIP = 5;
constexpr int IP_DROP_MEMBERSHIP = 6;

constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667EU);

// Network events of the asynchronous select.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr int MAXGETHOSTSTRUCT = 1024;

// Error codes.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct in_addr {
    u_long s_addr; // network order
};

// 16 bytes, laid out as on the wire of the old interface: family, port and
// address in network order, eight zero bytes.
struct SOCKADDR_IN {
    std::int16_t sin_family;
    u_short sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

struct SOCKADDR {
    u_short sa_family;
    char sa_data[14];
};
static_assert(sizeof(SOCKADDR) == 16);

struct in6_addr {
    union {
        std::uint8_t Byte[16];
        std::uint16_t Word[8];
    } u;
};

// 28 bytes: family, port, flow label, address, scope.
struct SOCKADDR_IN6 {
    std::int16_t sin6_family;
    u_short sin6_port;
    u_long sin6_flowinfo;
    in6_addr sin6_addr;
    u_long sin6_scope_id;
};
static_assert(sizeof(SOCKADDR_IN6) == 28);

// Room for a record of either family. The calls that fill one write the
// family's own record at its head and set the length to that record's size.
struct alignas(8) SOCKADDR_STORAGE {
    std::int16_t ss_family;
    char ss_data[126];
};
static_assert(sizeof(SOCKADDR_STORAGE) == 128);

// One address of a lookup of both families, as getaddrinfo gives it.
struct ADDRINFO {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    std::size_t ai_addrlen;
    char *ai_canonname;
    SOCKADDR *ai_addr;
    ADDRINFO *ai_next;
};

struct LINGER {
    u_short l_onoff;
    u_short l_linger;
};

struct IP_MREQ {
    in_addr imr_multiaddr;
    in_addr imr_interface;
};

// A host entry. The asynchronous lookups write one into the caller's reply
// buffer: the record first, then the pointer lists and the texts they point to,
// all inside the buffer.
struct HOSTENT {
    char *h_name;
    char **h_aliases;
    std::int16_t h_addrtype;
    std::int16_t h_length;
    char **h_addr_list;
};

struct SERVENT {
    char *s_name;
    char **s_aliases;
    u_short s_port; // network order
    char *s_proto;
};

struct PROTOENT {
    char *p_name;
    char **p_aliases;
    std::int16_t p_proto;
};

struct WSADATA {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    std::uint16_t iMaxSockets;
    std::uint16_t iMaxUdpDg;
    char *lpVendorInfo;
};

// Start-up and clean-up are counted: sockets calls other than these fail with
// WSANOTINITIALISED until the first start-up and after the last clean-up.
// The start-up starts the lookup workers; the last clean-up cancels every
// pending lookup and lets the workers go.
int WSAStartup(std::uint16_t versionRequested, WSADATA *data);
int WSACleanup();
bool WSAIsStarted();

int WSAGetLastError();
void WSASetLastError(int code);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const SOCKADDR *name, int namelen);
int connect(SOCKET s, const SOCKADDR *name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, SOCKADDR *addr, int *addrlen);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int send(SOCKET s, const char *buf, int len, int flags);
int sendto(SOCKET s, const char *buf, int len, int flags, const SOCKADDR *to, int tolen);
int recv(SOCKET s, char *buf, int len, int flags);
int recvfrom(SOCKET s, char *buf, int len, int flags, SOCKADDR *from, int *fromlen);
int ioctlsocket(SOCKET s, long cmd, u_long *argp);
int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char *optval, int *optlen);
int getsockname(SOCKET s, SOCKADDR *name, int *namelen);
int getpeername(SOCKET s, SOCKADDR *name, int *namelen);

u_short htons(u_short v);
u_short ntohs(u_short v);
u_long htonl(u_long v);
u_long ntohl(u_long v);
u_long inet_addr(const char *cp);
// Text and binary forms of an address of either family: inet_pton returns 1
// for a valid text, 0 for text that is no address of that family, and -1 with
// WSAEAFNOSUPPORT for another family; inet_ntop returns dst, or null with
// WSAEAFNOSUPPORT for another family and WSAEFAULT for a short buffer.
int inet_pton(int af, const char *src, void *dst);
const char *inet_ntop(int af, const void *src, char *dst, std::size_t size);
// The text lives in a per-thread buffer until the next call on that thread.
char *inet_ntoa(in_addr in);

// Blocking database look-ups; the entries live in per-thread storage until the
// next call of the same function on that thread. IPv4 only.
HOSTENT *gethostbyname(const char *name);
SERVENT *getservbyname(const char *name, const char *proto);
PROTOENT *getprotobyname(const char *name);

// Readiness notifications, posted with PostToWindow as
// (msg, socket, MAKELONG(event, error)). The socket is made non-blocking.
// WinSock's re-enabling rules apply: after FD_READ nothing more until recv or
// recvfrom; FD_WRITE once when the connection is usable and then only after a
// send that could not take everything; FD_ACCEPT again after accept; FD_CONNECT
// and FD_CLOSE once. A mask of 0 stops notifications.
int WSAAsyncSelect(SOCKET s, std::uintptr_t window, unsigned msg, long events);

using HANDLE = std::uintptr_t;

// Name and address look-ups on a worker thread. The result is written into buf
// as a HOSTENT on the calling thread just before the completion
// (msg, task, MAKELONG(0, error)) is posted to window; a cancelled task and a
// window that is gone get nothing, and buf is not touched. Returns a nonzero
// task handle, or 0 with the last error set.
HANDLE WSAAsyncGetHostByName(std::uintptr_t window, unsigned msg, const char *name, char *buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(std::uintptr_t window, unsigned msg, const char *addr, int len, int type, char *buf,
                             int buflen);
// A lookup of a name in both families (af AF_UNSPEC) or one (AF_INET,
// AF_INET6), on the same workers and with the same completion as
// WSAAsyncGetHostByName. The buffer receives a chain of ADDRINFO records in
// the resolver's order, each with its address record, all inside the buffer;
// addresses that do not fit are left out, and a buffer too small for one gives
// WSAENOBUFS.
HANDLE WSAAsyncGetAddrInfo(std::uintptr_t window, unsigned msg, const char *name, int af, char *buf, int buflen);
int WSACancelAsyncRequest(HANDLE task);
// Cancels every lookup whose completion would go to window, whoever started
// it: the owner of a window about to go cancels them all at once, so that no
// answer is written into a buffer freed with it.
void WSACancelAsyncRequestsOf(std::uintptr_t window);
// A hook for tests: called on the lookup's worker with the name, before the
// resolver is asked; a hook that blocks stands for a resolver that is slow.
void SetLookupGateForTesting(std::function<void(const std::string &name)> gate);

// For tests and diagnostics: how many of our handles are open.
int OpenSocketCount();

} // namespace ws
