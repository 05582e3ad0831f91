// Name lookups: the blocking database calls (gethostbyname, getservbyname,
// getprotobyname) and the asynchronous ones, which run getaddrinfo or
// getnameinfo on a few worker threads and write the host entry into the
// caller's buffer on the caller's thread. Start-up and clean-up reach the
// workers through CountStartup and StopWorkers.

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

// --- host entries -----------------------------------------------------------

// An address of a lookup of both families, in the C library's form.
struct FoundAddress {
    ::sockaddr_storage addr{};
    socklen_t len = 0;
};

struct HostResult {
    int error = 0;
    std::string name;
    std::vector<std::uint32_t> addresses; // network order, IPv4 lookups
    std::vector<FoundAddress> found;      // lookups of both families
};

// Both families (or one), in the order the resolver gives them: the order the
// addresses are to be tried in.
HostResult LookupAll(const std::string &name, int family)
{
    HostResult result;
    ::addrinfo hints{};
    hints.ai_family = family == wsnum::kAfInet6 ? AF_INET6 : family == wsnum::kAfInet ? AF_INET : AF_UNSPEC;
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
        if (!p->ai_addr || (p->ai_family != AF_INET && p->ai_family != AF_INET6) ||
            p->ai_addrlen > sizeof(::sockaddr_storage))
            continue;
        FoundAddress a;
        std::memcpy(&a.addr, p->ai_addr, p->ai_addrlen);
        a.len = p->ai_addrlen;
        const bool seen = std::any_of(result.found.begin(), result.found.end(), [&](const FoundAddress &f) {
            return f.len == a.len && std::memcmp(&f.addr, &a.addr, a.len) == 0;
        });
        if (!seen)
            result.found.push_back(a);
    }
    ::freeaddrinfo(list);
    if (result.found.empty())
        result.error = WSANO_DATA;
    return result;
}

// IPv4 alone, as gethostbyname gives it.
HostResult LookupName(const std::string &name)
{
    HostResult result = LookupAll(name, wsnum::kAfInet);
    for (const FoundAddress &f : result.found)
        result.addresses.push_back(reinterpret_cast<const ::sockaddr_in &>(f.addr).sin_addr.s_addr);
    result.found.clear();
    return result;
}

//   ADDRINFO records | one SOCKADDR_IN6-sized slot each | name NUL
// Every pointer points into the same block.
constexpr std::size_t kAddrInfoSlot = sizeof(SOCKADDR_IN6);

int AddrInfoSize(const HostResult &r, std::size_t count)
{
    return static_cast<int>(count * (sizeof(ADDRINFO) + kAddrInfoSlot) + r.name.size() + 1);
}

void WriteAddrInfo(const HostResult &r, std::size_t count, char *buf)
{
    auto *records = reinterpret_cast<ADDRINFO *>(buf);
    char *slotArea = buf + count * sizeof(ADDRINFO);
    char *name = slotArea + count * kAddrInfoSlot;
    std::memcpy(name, r.name.c_str(), r.name.size() + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const FoundAddress &f = r.found[i];
        char *slot = slotArea + i * kAddrInfoSlot;
        ADDRINFO &rec = records[i];
        rec = {};
        rec.ai_socktype = wsnum::kSockStream;
        rec.ai_protocol = IPPROTO_TCP;
        if (f.addr.ss_family == AF_INET6) {
            const auto &in = reinterpret_cast<const ::sockaddr_in6 &>(f.addr);
            SOCKADDR_IN6 out{};
            out.sin6_family = wsnum::kAfInet6;
            std::memcpy(out.sin6_addr.u.Byte, &in.sin6_addr, 16);
            out.sin6_scope_id = in.sin6_scope_id;
            std::memcpy(slot, &out, sizeof out);
            rec.ai_family = wsnum::kAfInet6;
            rec.ai_addrlen = sizeof out;
        } else {
            const auto &in = reinterpret_cast<const ::sockaddr_in &>(f.addr);
            SOCKADDR_IN out{};
            out.sin_family = wsnum::kAfInet;
            out.sin_addr.s_addr = in.sin_addr.s_addr;
            std::memcpy(slot, &out, sizeof out);
            rec.ai_family = wsnum::kAfInet;
            rec.ai_addrlen = sizeof out;
        }
        rec.ai_addr = reinterpret_cast<SOCKADDR *>(slot);
        rec.ai_canonname = i == 0 ? name : nullptr;
        rec.ai_next = i + 1 < count ? &records[i + 1] : nullptr;
    }
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

// How many of n addresses fit in buflen bytes, the block's size for a count
// being size(count).
template <typename Size> std::size_t HowManyFit(std::size_t n, int buflen, Size size)
{
    while (n > 0 && size(n) > buflen)
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
    bool allFamilies = false; // an ADDRINFO chain, not a host entry
    int family = 0;
    std::string name;
    std::uint32_t addr = 0;
    QObject *home = nullptr;
    std::atomic<bool> cancelled{false};
    std::thread::id worker; // the worker that runs it, once one does
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
            const HostResult &r = task->result;
            count =
                task->allFamilies
                    ? HowManyFit(r.found.size(), task->buflen, [&](std::size_t n) { return AddrInfoSize(r, n); })
                    : HowManyFit(r.addresses.size(), task->buflen, [&](std::size_t n) { return HostEntSize(r, n); });
            if (count == 0)
                error = WSAENOBUFS;
        }
        // Post first: only a window that still exists may have its buffer written.
        const bool posted = PostToWindow(task->window, task->msg, static_cast<WPARAM>(task->id),
                                         static_cast<LPARAM>(MAKELONG(0, static_cast<std::uint16_t>(error))));
        if (posted && error == 0) {
            if (task->allFamilies)
                WriteAddrInfo(task->result, count, task->buf);
            else
                WriteHostEnt(task->result, count, task->buf);
        }
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
    std::vector<std::shared_ptr<LookupTask>> running; // in the resolver now
    std::vector<std::thread> all;                     // every worker started, for the clean-up
    bool stop = false;
    int threads = 0;
    int idle = 0;
};

// Up to this many lookups run at once; more wait in the queue. A worker whose
// lookup was cancelled while in the resolver does not count: it is waiting
// for nobody, and new lookups must not wait behind it.
constexpr int kMaxWorkers = 4;
// Workers in all, those stuck in a slow resolver included.
constexpr int kMaxThreads = 32;

std::mutex gPoolMutex;
std::shared_ptr<WorkerPool> gPool;

std::mutex gGateMutex;
std::function<void(const std::string &)> gGate;

void PassGate(const std::string &name)
{
    std::function<void(const std::string &)> gate;
    {
        std::lock_guard lock(gGateMutex);
        gate = gGate;
    }
    if (gate)
        gate(name);
}

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
            if (task->cancelled)
                continue;
            task->worker = std::this_thread::get_id();
            pool->running.push_back(task);
        }
        if (!task->byAddr)
            PassGate(task->name);
        task->result = task->byAddr        ? LookupAddr(task->addr)
                       : task->allFamilies ? LookupAll(task->name, task->family)
                                           : LookupName(task->name);
        {
            std::lock_guard lock(TheLookups().mutex);
            if (!task->cancelled && TheLookups().homes.count(task->home))
                QCoreApplication::postEvent(task->home, new LookupDoneEvent(task));
        }
        std::lock_guard lock(pool->mutex);
        pool->running.erase(std::find(pool->running.begin(), pool->running.end(), task));
        // A worker that came back from the resolver after the clean-up ends.
        if (pool->stop) {
            --pool->threads;
            return;
        }
    }
}

std::shared_ptr<LookupTask> NewTask(std::uintptr_t window, unsigned msg, char *buf, int buflen)
{
    auto task = std::make_shared<LookupTask>();
    task->window = window;
    task->msg = msg;
    task->buf = buf;
    task->buflen = buflen;
    return task;
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
    const auto abandoned = std::count_if(pool->running.begin(), pool->running.end(),
                                         [](const std::shared_ptr<LookupTask> &t) { return t->cancelled.load(); });
    if (pool->idle == 0 && pool->threads - abandoned < kMaxWorkers && pool->threads < kMaxThreads) {
        ++pool->threads;
        pool->all.emplace_back(WorkerMain, pool);
    }
    pool->wake.notify_one();
    return id;
}

} // namespace

namespace shim {

void CountStartup()
{
    std::lock_guard lock(gPoolMutex);
    if (gStartups.fetch_add(1) == 0)
        gPool = std::make_shared<WorkerPool>();
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
    if (!pool)
        return;
    // The waiting workers end now, before the library is gone; those in the
    // resolver cannot be interrupted, and end by themselves when it returns.
    std::vector<std::thread> ending, stuck;
    {
        std::lock_guard lock(pool->mutex);
        pool->stop = true;
        pool->queue.clear();
        pool->wake.notify_all();
        for (std::thread &t : pool->all) {
            const bool inResolver = std::any_of(pool->running.begin(), pool->running.end(),
                                                [&](const auto &task) { return task->worker == t.get_id(); });
            (inResolver ? stuck : ending).push_back(std::move(t));
        }
        pool->all.clear();
    }
    for (std::thread &t : ending)
        t.join();
    for (std::thread &t : stuck)
        t.detach();
}

} // namespace shim

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

HANDLE WSAAsyncGetHostByName(std::uintptr_t window, unsigned msg, const char *name, char *buf, int buflen)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), 0;
    if (!name || !buf || buflen <= 0)
        return Fail(WSAEFAULT), 0;
    auto task = NewTask(window, msg, buf, buflen);
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
    auto task = NewTask(window, msg, buf, buflen);
    task->byAddr = true;
    std::memcpy(&task->addr, addr, 4);
    return StartLookup(std::move(task));
}

HANDLE WSAAsyncGetAddrInfo(std::uintptr_t window, unsigned msg, const char *name, int af, char *buf, int buflen)
{
    if (!Started())
        return Fail(WSANOTINITIALISED), 0;
    if (!name || !buf || buflen <= 0)
        return Fail(WSAEFAULT), 0;
    if (af != wsnum::kAfUnspec && af != wsnum::kAfInet && af != wsnum::kAfInet6)
        return Fail(WSAEAFNOSUPPORT), 0;
    auto task = NewTask(window, msg, buf, buflen);
    task->allFamilies = true;
    task->family = af;
    task->name = name;
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

void WSACancelAsyncRequestsOf(std::uintptr_t window)
{
    std::lock_guard lock(TheLookups().mutex);
    for (auto it = TheLookups().tasks.begin(); it != TheLookups().tasks.end();) {
        if (it->second->window == window) {
            it->second->cancelled = true;
            it = TheLookups().tasks.erase(it);
        } else {
            ++it;
        }
    }
}

void SetLookupGateForTesting(std::function<void(const std::string &name)> gate)
{
    std::lock_guard lock(gGateMutex);
    gGate = std::move(gate);
}

} // namespace ws
