#include "platform/Sockets.h"

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

// The WinSock numbers this file translates, captured before the C library's
// headers turn several of these names into macros with other values.
namespace wsnum {
constexpr int kAfInet = ws::AF_INET;
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
namespace {

thread_local int tLastError = 0;

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

struct Async;

struct Entry {
    int fd = -1;
    int type = wsnum::kSockStream;
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

SOCKET Register(int fd, int type)
{
    auto e = std::make_shared<Entry>();
    e->fd = fd;
    e->type = type;
    std::lock_guard lock(gTableMutex);
    SOCKET h = gNextHandle++;
    if (gNextHandle <= 0 || gNextHandle == INVALID_SOCKET)
        gNextHandle = 1;
    gTable[h] = e;
    return h;
}

// --- asynchronous select ----------------------------------------------------

void OnReadable(SOCKET s);
void OnWritable(SOCKET s);

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

// --- address records --------------------------------------------------------

bool ToPosix(const SOCKADDR *name, int namelen, ::sockaddr_in &out)
{
    if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
        Fail(WSAEFAULT);
        return false;
    }
    SOCKADDR_IN in;
    std::memcpy(&in, name, sizeof in);
    if (in.sin_family != wsnum::kAfInet) {
        Fail(WSAEAFNOSUPPORT);
        return false;
    }
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    return true;
}

void FromPosix(const ::sockaddr_in &in, SOCKADDR *name, int *namelen)
{
    SOCKADDR_IN out{};
    out.sin_family = wsnum::kAfInet;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
}

// --- host entries -----------------------------------------------------------

struct HostResult {
    int error = 0;
    std::string name;
    std::vector<std::uint32_t> addresses; // network order
};

HostResult LookupName(const std::string &name)
{
    HostResult result;
    ::addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    ::addrinfo *list = nullptr;
    errno = 0;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        result.error = FromGai(rc, errno);
        return result;
    }
    result.name = list->ai_canonname ? list->ai_canonname : name;
    for (const ::addrinfo *p = list; p; p = p->ai_next) {
        if (p->ai_family != AF_INET || !p->ai_addr)
            continue;
        const auto addr = reinterpret_cast<const ::sockaddr_in *>(p->ai_addr)->sin_addr.s_addr;
        if (std::find(result.addresses.begin(), result.addresses.end(), addr) == result.addresses.end())
            result.addresses.push_back(addr);
    }
    ::freeaddrinfo(list);
    if (result.addresses.empty())
        result.error = WSANO_DATA;
    return result;
}

HostResult LookupAddr(std::uint32_t addr)
{
    HostResult result;
    ::sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = addr;
    char host[NI_MAXHOST];
    errno = 0;
    const int rc =
        ::getnameinfo(reinterpret_cast<::sockaddr *>(&in), sizeof in, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        result.error = FromGai(rc, errno);
        return result;
    }
    result.name = host;
    result.addresses.push_back(addr);
    return result;
}

//   HOSTENT | alias list (empty) | address pointers + null | addresses | name NUL
// The pointers point into the same block. Addresses that do not fit are left
// out rather than failing the lookup; a block too small for the name and one
// address gives WSAENOBUFS.
int HostEntSize(const HostResult &r, std::size_t count)
{
    return static_cast<int>(sizeof(HOSTENT) + sizeof(char *) + (count + 1) * sizeof(char *) + count * 4 +
                            r.name.size() + 1);
}

std::size_t AddressesThatFit(const HostResult &r, int buflen)
{
    std::size_t n = r.addresses.size();
    while (n > 0 && HostEntSize(r, n) > buflen)
        --n;
    return n;
}

void WriteHostEnt(const HostResult &r, std::size_t count, char *buf)
{
    char *p = buf;
    auto *he = reinterpret_cast<HOSTENT *>(p);
    p += sizeof(HOSTENT);
    auto **aliases = reinterpret_cast<char **>(p);
    aliases[0] = nullptr;
    p += sizeof(char *);
    auto **addrList = reinterpret_cast<char **>(p);
    p += (count + 1) * sizeof(char *);
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(p, &r.addresses[i], 4);
        addrList[i] = p;
        p += 4;
    }
    addrList[count] = nullptr;
    std::memcpy(p, r.name.c_str(), r.name.size() + 1);
    he->h_name = p;
    he->h_aliases = aliases;
    he->h_addrtype = wsnum::kAfInet;
    he->h_length = 4;
    he->h_addr_list = addrList;
}

// --- lookup workers ---------------------------------------------------------

struct LookupTask {
    HANDLE id = 0;
    std::uintptr_t window = 0;
    unsigned msg = 0;
    char *buf = nullptr;
    int buflen = 0;
    bool byAddr = false;
    std::string name;
    std::uint32_t addr = 0;
    QObject *home = nullptr;
    std::atomic<bool> cancelled{false};
    HostResult result;
};

const QEvent::Type kLookupDone = static_cast<QEvent::Type>(QEvent::registerEventType());

struct LookupDoneEvent : QEvent {
    explicit LookupDoneEvent(std::shared_ptr<LookupTask> t) : QEvent(kLookupDone), task(std::move(t)) {}
    std::shared_ptr<LookupTask> task;
};

// Shared with the workers; never destroyed, since a worker stuck in the
// resolver may outlive everything else.
struct Lookups {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<LookupTask>> tasks;
    std::unordered_set<QObject *> homes;
    HANDLE nextId = 1;
};
Lookups &TheLookups()
{
    static auto *lookups = new Lookups;
    return *lookups;
}

// Receives the finished lookups on the thread that asked; fills the reply
// buffer there, so the worker never touches the caller's memory.
class LookupHome : public QObject {
public:
    LookupHome()
    {
        std::lock_guard lock(TheLookups().mutex);
        TheLookups().homes.insert(this);
    }
    ~LookupHome() override
    {
        std::lock_guard lock(TheLookups().mutex);
        TheLookups().homes.erase(this);
    }
    bool event(QEvent *ev) override
    {
        if (ev->type() != kLookupDone)
            return QObject::event(ev);
        Deliver(static_cast<LookupDoneEvent *>(ev)->task);
        return true;
    }

private:
    static void Deliver(const std::shared_ptr<LookupTask> &task)
    {
        {
            std::lock_guard lock(TheLookups().mutex);
            auto it = TheLookups().tasks.find(task->id);
            if (it == TheLookups().tasks.end() || task->cancelled)
                return;
            TheLookups().tasks.erase(it);
        }
        int error = task->result.error;
        std::size_t count = 0;
        if (error == 0) {
            count = AddressesThatFit(task->result, task->buflen);
            if (count == 0 || HostEntSize(task->result, count) > task->buflen)
                error = WSAENOBUFS;
        }
        // Post first: only a window that still exists may have its buffer written.
        const bool posted = PostToWindow(task->window, task->msg, static_cast<WPARAM>(task->id),
                                         static_cast<LPARAM>(MAKELONG(0, static_cast<std::uint16_t>(error))));
        if (posted && error == 0)
            WriteHostEnt(task->result, count, task->buf);
    }
};

QObject *HomeOfThisThread()
{
    thread_local std::unique_ptr<LookupHome> home;
    if (!home)
        home = std::make_unique<LookupHome>();
    return home.get();
}

struct WorkerPool {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<LookupTask>> queue;
    bool stop = false;
    int threads = 0;
    int idle = 0;
};

// Up to this many lookups run at once; more wait in the queue.
constexpr int kMaxWorkers = 4;

std::mutex gPoolMutex;
std::shared_ptr<WorkerPool> gPool;

void WorkerMain(std::shared_ptr<WorkerPool> pool)
{
    for (;;) {
        std::shared_ptr<LookupTask> task;
        {
            std::unique_lock lock(pool->mutex);
            ++pool->idle;
            pool->wake.wait(lock, [&] { return pool->stop || !pool->queue.empty(); });
            --pool->idle;
            if (pool->stop) {
                --pool->threads;
                return;
            }
            task = std::move(pool->queue.front());
            pool->queue.pop_front();
        }
        if (task->cancelled)
            continue;
        task->result = task->byAddr ? LookupAddr(task->addr) : LookupName(task->name);
        std::lock_guard lock(TheLookups().mutex);
        if (!task->cancelled && TheLookups().homes.count(task->home))
            QCoreApplication::postEvent(task->home, new LookupDoneEvent(task));
    }
}

void StopWorkers()
{
    std::shared_ptr<WorkerPool> pool;
    {
        std::lock_guard lock(gPoolMutex);
        pool = std::move(gPool);
    }
    {
        std::lock_guard lock(TheLookups().mutex);
        for (auto &[id, task] : TheLookups().tasks)
            task->cancelled = true;
        TheLookups().tasks.clear();
    }
    if (pool) {
        // Workers stuck in the resolver finish on their own and then leave.
        std::lock_guard lock(pool->mutex);
        pool->stop = true;
        pool->queue.clear();
        pool->wake.notify_all();
    }
}

HANDLE StartLookup(std::shared_ptr<LookupTask> task)
{
    std::shared_ptr<WorkerPool> pool;
    {
        std::lock_guard lock(gPoolMutex);
        pool = gPool;
    }
    if (!pool) {
        Fail(WSANOTINITIALISED);
        return 0;
    }
    task->home = HomeOfThisThread();
    {
        std::lock_guard lock(TheLookups().mutex);
        task->id = TheLookups().nextId++;
        TheLookups().tasks[task->id] = task;
    }
    const HANDLE id = task->id;
    std::lock_guard lock(pool->mutex);
    pool->queue.push_back(std::move(task));
    if (pool->idle == 0 && pool->threads < kMaxWorkers) {
        ++pool->threads;
        std::thread(WorkerMain, pool).detach();
    }
    pool->wake.notify_one();
    return id;
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
    std::lock_guard lock(gPoolMutex);
    if (gStartups.fetch_add(1) == 0)
        gPool = std::make_shared<WorkerPool>();
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
    if (af != wsnum::kAfInet)
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
    const int fd = ::socket(AF_INET, posixType | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return FailErrno(), INVALID_SOCKET;
    return Register(fd, type);
}

int bind(SOCKET s, const SOCKADDR *name, int namelen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    ::sockaddr_in in;
    if (!ToPosix(name, namelen, in))
        return SOCKET_ERROR;
    if (::bind(e->fd, reinterpret_cast<::sockaddr *>(&in), sizeof in) != 0)
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
    ::sockaddr_in in;
    if (!ToPosix(name, namelen, in))
        return SOCKET_ERROR;
    e->connectMade = true;
    int rc;
    do {
        rc = ::connect(e->fd, reinterpret_cast<::sockaddr *>(&in), sizeof in);
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
    if (addr && (!addrlen || *addrlen < static_cast<int>(sizeof(SOCKADDR_IN))))
        return Fail(WSAEFAULT), INVALID_SOCKET;
    ::sockaddr_in peer{};
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
    const SOCKET h = Register(fd, wsnum::kSockStream);
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
    ::sockaddr_in in{};
    const ::sockaddr *dest = nullptr;
    socklen_t destLen = 0;
    if (to) {
        if (!ToPosix(to, tolen, in))
            return SOCKET_ERROR;
        dest = reinterpret_cast<::sockaddr *>(&in);
        destLen = sizeof in;
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
    if (from && (!fromlen || *fromlen < static_cast<int>(sizeof(SOCKADDR_IN))))
        return Fail(WSAEFAULT);
    ::sockaddr_in peer{};
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

namespace {
// getsockname and getpeername differ only in the call they make.
int QueryName(SOCKET s, SOCKADDR *name, int *namelen, int (*query)(int, ::sockaddr *, socklen_t *))
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(SOCKADDR_IN)))
        return Fail(WSAEFAULT);
    ::sockaddr_in in{};
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

HOSTENT *gethostbyname(const char *name)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), nullptr;
    if (!name)
        return Fail(WSAEFAULT), nullptr;
    HostResult r = LookupName(name);
    if (r.error)
        return Fail(r.error), nullptr;
    thread_local std::vector<char> storage;
    const int size = HostEntSize(r, r.addresses.size());
    storage.assign(static_cast<std::size_t>(size) + alignof(HOSTENT), 0);
    WriteHostEnt(r, r.addresses.size(), storage.data());
    return reinterpret_cast<HOSTENT *>(storage.data());
}

SERVENT *getservbyname(const char *name, const char *proto)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), nullptr;
    if (!name)
        return Fail(WSAEFAULT), nullptr;
    thread_local ::servent entry;
    thread_local char storage[4096];
    thread_local SERVENT result;
    ::servent *found = nullptr;
    if (::getservbyname_r(name, proto, &entry, storage, sizeof storage, &found) != 0 || !found)
        return Fail(WSANO_DATA), nullptr;
    result.s_name = found->s_name;
    result.s_aliases = found->s_aliases;
    result.s_port = static_cast<u_short>(found->s_port);
    result.s_proto = found->s_proto;
    return &result;
}

PROTOENT *getprotobyname(const char *name)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), nullptr;
    if (!name)
        return Fail(WSAEFAULT), nullptr;
    // The protocol database does not change while the program runs, and every
    // connection asks it for "tcp" again: what was found once is kept.
    struct Known {
        std::string name;
        std::int16_t proto;
    };
    thread_local std::vector<Known> known;
    thread_local char *noAliases[] = {nullptr};
    thread_local PROTOENT result;
    auto it = std::find_if(known.begin(), known.end(), [&](const Known &k) { return k.name == name; });
    if (it == known.end()) {
        ::protoent entry;
        char storage[1024];
        ::protoent *found = nullptr;
        if (::getprotobyname_r(name, &entry, storage, sizeof storage, &found) != 0 || !found)
            return Fail(WSANO_DATA), nullptr;
        known.push_back({name, static_cast<std::int16_t>(found->p_proto)});
        it = known.end() - 1;
    }
    result.p_name = it->name.data();
    result.p_aliases = noAliases;
    result.p_proto = it->proto;
    return &result;
}

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

HANDLE WSAAsyncGetHostByName(std::uintptr_t window, unsigned msg, const char *name, char *buf, int buflen)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), 0;
    if (!name || !buf || buflen <= 0)
        return Fail(WSAEFAULT), 0;
    auto task = std::make_shared<LookupTask>();
    task->window = window;
    task->msg = msg;
    task->buf = buf;
    task->buflen = buflen;
    task->name = name;
    return StartLookup(std::move(task));
}

HANDLE WSAAsyncGetHostByAddr(std::uintptr_t window, unsigned msg, const char *addr, int len, int type, char *buf,
                             int buflen)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), 0;
    if (!addr || !buf || buflen <= 0 || len < 4)
        return Fail(WSAEFAULT), 0;
    if (type != wsnum::kAfInet)
        return Fail(WSAEAFNOSUPPORT), 0;
    auto task = std::make_shared<LookupTask>();
    task->window = window;
    task->msg = msg;
    task->buf = buf;
    task->buflen = buflen;
    task->byAddr = true;
    std::memcpy(&task->addr, addr, 4);
    return StartLookup(std::move(task));
}

int WSACancelAsyncRequest(HANDLE task)
{
    if (!Started())
        return Fail(WSANOTINITIALISED);
    std::lock_guard lock(TheLookups().mutex);
    if (task == 0 || task >= TheLookups().nextId)
        return Fail(WSAEINVAL);
    // A task that already finished cancels quietly too: its completion may be
    // queued but not yet seen, and the caller drops it by its handle.
    auto it = TheLookups().tasks.find(task);
    if (it != TheLookups().tasks.end()) {
        it->second->cancelled = true;
        TheLookups().tasks.erase(it);
    }
    return 0;
}

int OpenSocketCount()
{
    std::lock_guard lock(gTableMutex);
    return static_cast<int>(gTable.size());
}

} // namespace ws
