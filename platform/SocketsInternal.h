#pragma once

// What the files of the sockets shim share: the handle table and its entries,
// the last-error helpers, the readiness watch record and the hooks between the
// calls, the watches and the lookup workers. Nothing outside the shim includes it.

#include "platform/Sockets.h"

#include <QSocketNotifier>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

// The WinSock numbers this file translates, captured before the C library's
// headers turn several of these names into macros with other values.
namespace wsnum {
constexpr int kAfUnspec = ws::AF_UNSPEC;
constexpr int kAfInet = ws::AF_INET;
constexpr int kAfInet6 = ws::AF_INET6;
constexpr int kSockStream = ws::SOCK_STREAM;
constexpr int kSockDgram = ws::SOCK_DGRAM;
constexpr int kSockRaw = ws::SOCK_RAW;
constexpr int kLevelSocket = ws::SOL_SOCKET;
constexpr int kLevelIp = ws::IPPROTO_IP;
constexpr int kLevelTcp = ws::IPPROTO_TCP;
constexpr int kDebug = ws::SO_DEBUG;
constexpr int kAcceptConn = ws::SO_ACCEPTCONN;
constexpr int kReuseAddr = ws::SO_REUSEADDR;
constexpr int kKeepAlive = ws::SO_KEEPALIVE;
constexpr int kDontRoute = ws::SO_DONTROUTE;
constexpr int kBroadcast = ws::SO_BROADCAST;
constexpr int kLinger = ws::SO_LINGER;
constexpr int kOobInline = ws::SO_OOBINLINE;
constexpr int kSndBuf = ws::SO_SNDBUF;
constexpr int kRcvBuf = ws::SO_RCVBUF;
constexpr int kError = ws::SO_ERROR;
constexpr int kType = ws::SO_TYPE;
constexpr int kTcpNoDelay = ws::TCP_NODELAY;
constexpr int kMulticastIf = ws::IP_MULTICAST_IF;
constexpr int kMulticastTtl = ws::IP_MULTICAST_TTL;
constexpr int kMulticastLoop = ws::IP_MULTICAST_LOOP;
constexpr int kAddMembership = ws::IP_ADD_MEMBERSHIP;
constexpr int kDropMembership = ws::IP_DROP_MEMBERSHIP;
constexpr int kMsgOob = ws::MSG_OOB;
constexpr int kMsgPeek = ws::MSG_PEEK;
constexpr long kFionread = ws::FIONREAD;
constexpr long kFionbio = ws::FIONBIO;
constexpr int kShutReceive = ws::SD_RECEIVE;
constexpr int kShutSend = ws::SD_SEND;
constexpr int kShutBoth = ws::SD_BOTH;
} // namespace wsnum

namespace ws::shim {

// --- errors -----------------------------------------------------------------

// Sets the calling thread's last error; returns SOCKET_ERROR.
int Fail(int code);
int FromErrno(int e);
int FromGai(int rc, int savedErrno);
int FailErrno();

// --- readiness watch and handle table ----------------------------------------

// Readiness watch of one socket. Lives on the thread that asked for it.
struct Async {
    std::uintptr_t window = 0;
    unsigned msg = 0;
    long mask = 0;
    bool connecting = false;
    bool readArmed = true;  // FD_READ / FD_ACCEPT may be reported
    bool closeSent = false; // FD_CLOSE is reported once and ends reading
    bool deaf = false;      // the window is gone or the connect failed
    bool idle = false;      // a stream not yet connecting nor listening: nothing to report
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;

    void UpdateRead()
    {
        if (readNotifier)
            readNotifier->setEnabled(!deaf && !idle && !connecting && readArmed && !closeSent &&
                                     (mask & (FD_READ | FD_ACCEPT | FD_CLOSE)));
    }
    void ArmWrite(bool on)
    {
        if (writeNotifier)
            writeNotifier->setEnabled(on && !deaf);
    }
    // Nobody listens any more: stop watching rather than fire for ever.
    void StopListening()
    {
        deaf = true;
        UpdateRead();
        ArmWrite(false);
    }
};

struct Entry {
    int fd = -1;
    int type = wsnum::kSockStream;
    int family = wsnum::kAfInet; // WinSock's number
    bool nonBlocking = false;
    bool shutSend = false;
    bool connectMade = false; // accepted, or connect() was tried
    bool listening = false;
    // SO_LINGER as the program set it; a lingering close is emulated so that
    // closesocket on a non-blocking socket never blocks the thread.
    bool lingerOn = false;
    int lingerSeconds = 0;
    bool lingerWaiting = false;
    std::chrono::steady_clock::time_point lingerDeadline{};
    std::unique_ptr<Async> async;
};

extern std::mutex gTableMutex;
extern std::unordered_map<SOCKET, std::shared_ptr<Entry>> gTable;
extern std::atomic<int> gStartups;

bool Started();
std::shared_ptr<Entry> Find(SOCKET s);
// Checks start-up and the handle; sets the last error when either fails.
std::shared_ptr<Entry> Use(SOCKET s);
SOCKET Register(int fd, int type, int family);

// --- readiness watches (SocketWatch.cpp) --------------------------------------

// event may hold several bits: they travel in one message and the receiver
// handles them in its fixed order (connect before write).
bool PostEvent(SOCKET s, Async &a, long event, int error);
int SocketError(int fd);
bool IsConnected(int fd);
void MakeNotifiers(SOCKET s, Entry &e);
void SetNonBlocking(Entry &e);
// After recv/recvfrom/accept: the next FD_READ / FD_ACCEPT may come.
void Rearm(Entry &e);

// --- lookup workers (SocketLookup.cpp) ----------------------------------------

// Counts a start-up; the first one makes the worker pool.
void CountStartup();
// The last clean-up: pending lookups are cancelled and the workers let go.
void StopWorkers();

} // namespace ws::shim
