#include "net/WSocket.h"
#include "platform/NotifyWindow.h"
#include "platform/Sockets.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Message {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// A notification window that records what reaches it.
struct Recorder {
    std::vector<Message> got;
    NotifyWindow window{[this](UINT m, WPARAM w, LPARAM l) -> LRESULT {
        got.push_back({m, w, l});
        return 0;
    }};
    // The events reported for s, one entry per event bit, in the order a
    // receiver handles the bits of one message.
    std::vector<int> Events(ws::SOCKET s) const
    {
        std::vector<int> events;
        for (const Message &m : got)
            if (m.wParam == static_cast<WPARAM>(s))
                for (int bit : {ws::FD_CONNECT, ws::FD_READ, ws::FD_WRITE, ws::FD_ACCEPT, ws::FD_CLOSE, ws::FD_OOB})
                    if (LOWORD(static_cast<std::uintptr_t>(m.lParam)) & bit)
                        events.push_back(bit);
        return events;
    }
};

ws::SOCKADDR *Addr(ws::SOCKADDR_IN &sin)
{
    return reinterpret_cast<ws::SOCKADDR *>(&sin);
}

ws::SOCKADDR_IN Loopback(int port = 0)
{
    ws::SOCKADDR_IN sin{};
    sin.sin_family = ws::AF_INET;
    sin.sin_port = ws::htons(static_cast<ws::u_short>(port));
    sin.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    return sin;
}

class Shim : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ws::WSAStartup(0x0101, &data_), 0); }
    void TearDown() override { ws::WSACleanup(); }

    // A connected pair: a listening socket, a client and the accepted end.
    void MakePair(ws::SOCKET &client, ws::SOCKET &server)
    {
        ws::SOCKET listener = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
        ws::SOCKADDR_IN sin = Loopback();
        ASSERT_EQ(ws::bind(listener, Addr(sin), sizeof sin), 0);
        ASSERT_EQ(ws::listen(listener, 1), 0);
        int len = sizeof sin;
        ws::getsockname(listener, Addr(sin), &len);
        client = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
        ASSERT_EQ(ws::connect(client, Addr(sin), sizeof sin), 0);
        server = ws::accept(listener, nullptr, nullptr);
        ASSERT_NE(server, ws::INVALID_SOCKET);
        ws::closesocket(listener);
    }

    ws::WSADATA data_{};
};

} // namespace

TEST(ShimStartup, CallsNeedStartup)
{
    UnloadSocketLibrary(); // conversions run earlier in this program may have started it
    ASSERT_FALSE(ws::WSAIsStarted());
    EXPECT_EQ(ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0), ws::INVALID_SOCKET);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
    EXPECT_EQ(ws::WSACleanup(), ws::SOCKET_ERROR);
    ws::WSADATA data;
    EXPECT_EQ(ws::WSAStartup(0x0001, &data), ws::WSAVERNOTSUPPORTED);
    ASSERT_EQ(ws::WSAStartup(0x0202, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    ws::SOCKET s = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
    EXPECT_NE(s, ws::INVALID_SOCKET);
    // The last clean-up closes what is still open.
    EXPECT_EQ(ws::WSACleanup(), 0);
    EXPECT_EQ(ws::OpenSocketCount(), 0);
}

TEST_F(Shim, ErrnoBecomesWinSockCodes)
{
    struct Row {
        const char *name;
        std::function<int()> call;
        int code;
    };
    ws::SOCKET s = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
    ws::SOCKET closed = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
    ws::closesocket(closed);
    char buf[4];
    const Row rows[] = {
        {"closed handle", [&] { return ws::send(closed, "x", 1, 0); }, ws::WSAENOTSOCK},
        {"send unconnected", [&] { return ws::send(s, "x", 1, 0); }, ws::WSAENOTCONN},
        {"recv unconnected", [&] { return ws::recv(s, buf, 4, 0); }, ws::WSAENOTCONN},
        {"unknown option", [&] { return ws::setsockopt(s, ws::SOL_SOCKET, 0x7777, "\1\0\0\0", 4); },
         ws::WSAENOPROTOOPT},
        {"short address", [&] { return ws::bind(s, nullptr, 4); }, ws::WSAEFAULT},
        {"bad ioctl",
         [&] {
             ws::u_long v = 0;
             return ws::ioctlsocket(s, 0x1234, &v);
         },
         ws::WSAEINVAL},
        {"wrong family", [&] { return static_cast<int>(ws::socket(17, ws::SOCK_STREAM, 0)); }, ws::WSAEAFNOSUPPORT},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ws::WSASetLastError(0);
        EXPECT_EQ(row.call(), -1);
        EXPECT_EQ(ws::WSAGetLastError(), row.code);
    }
    ws::closesocket(s);
}

TEST_F(Shim, SendAfterShutdownAndAfterReset)
{
    ws::SOCKET client, server;
    MakePair(client, server);
    ASSERT_EQ(ws::shutdown(client, ws::SD_SEND), 0);
    EXPECT_EQ(ws::send(client, "x", 1, 0), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAESHUTDOWN);
    // The peer resets: the next calls report the reset, never a signal.
    ws::LINGER hard{1, 0};
    ws::setsockopt(server, ws::SOL_SOCKET, ws::SO_LINGER, reinterpret_cast<const char *>(&hard), sizeof hard);
    ws::closesocket(server);
    char buf[8];
    EXPECT_EQ(ws::recv(client, buf, sizeof buf, 0), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAECONNRESET);
    ws::closesocket(client);
}

TEST_F(Shim, ZeroLengthReadTellsWouldBlockFromData)
{
    ws::SOCKET client, server;
    MakePair(client, server);
    ws::u_long on = 1;
    ASSERT_EQ(ws::ioctlsocket(client, ws::FIONBIO, &on), 0);
    char none;
    EXPECT_EQ(ws::recv(client, &none, 0, 0), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    ASSERT_EQ(ws::send(server, "abc", 3, 0), 3);
    ASSERT_TRUE(PumpUntil([&] {
        ws::u_long n = 0;
        return ws::ioctlsocket(client, ws::FIONREAD, &n) == 0 && n == 3;
    }));
    EXPECT_EQ(ws::recv(client, &none, 0, 0), 0);
    ws::closesocket(client);
    ws::closesocket(server);
}

TEST_F(Shim, SelectFollowsTheReenablingRules)
{
    Recorder rec;
    ws::SOCKET listener = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    ws::SOCKADDR_IN sin = Loopback();
    ws::bind(listener, Addr(sin), sizeof sin);
    ws::listen(listener, 5);
    int len = sizeof sin;
    ws::getsockname(listener, Addr(sin), &len);
    ASSERT_EQ(ws::WSAAsyncSelect(listener, rec.window.Handle(), 0x401, ws::FD_ACCEPT | ws::FD_READ | ws::FD_CLOSE), 0);

    ws::SOCKET client = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    ASSERT_EQ(ws::WSAAsyncSelect(client, rec.window.Handle(), 0x401, 0x3B), 0);
    EXPECT_EQ(ws::connect(client, Addr(sin), sizeof sin), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return rec.Events(client).size() >= 2 && !rec.Events(listener).empty(); }));
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(rec.Events(client), (std::vector<int>{ws::FD_CONNECT, ws::FD_WRITE}));
    EXPECT_EQ(rec.Events(listener), std::vector<int>{ws::FD_ACCEPT});

    ws::SOCKET server = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(server, ws::INVALID_SOCKET);
    ws::send(server, "abcdef", 6, 0);
    ASSERT_TRUE(PumpUntil([&] { return rec.Events(client).size() == 3; }));
    // No second FD_READ until recv is called, though data still waits.
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(rec.Events(client).size(), 3u);
    char buf[2];
    EXPECT_EQ(ws::recv(client, buf, 2, 0), 2);
    ASSERT_TRUE(PumpUntil([&] { return rec.Events(client).size() == 4; }));
    EXPECT_EQ(rec.Events(client).back(), ws::FD_READ);
    char rest[8];
    EXPECT_EQ(ws::recv(client, rest, sizeof rest, 0), 4);
    ws::closesocket(server);
    ASSERT_TRUE(PumpUntil([&] { return rec.Events(client).back() == ws::FD_CLOSE; }));
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(rec.Events(client).back(), ws::FD_CLOSE);
    ws::closesocket(client);
    ws::closesocket(listener);
}

// Reports are handled straight from the readiness watch; they must still come
// after what was queued for the window before them, and a handler that waits
// in a nested loop must still see the reports of other sockets, and may close
// its own socket.
TEST_F(Shim, ReportsKeepTheQueueOrderAndNest)
{
    ws::SOCKET a, aPeer, b, bPeer;
    MakePair(a, aPeer);
    MakePair(b, bPeer);
    std::vector<std::string> seen;
    bool nestedSawB = false;
    NotifyWindow window([&](UINT m, WPARAM w, LPARAM l) -> LRESULT {
        const auto event = LOWORD(static_cast<std::uintptr_t>(l));
        if (m == 0x402) {
            seen.push_back("queued");
            return 0;
        }
        const std::string who = w == static_cast<WPARAM>(a) ? "a" : "b";
        seen.push_back(who + (event == ws::FD_READ ? " read" : event == ws::FD_CLOSE ? " close" : " other"));
        if (who == "a" && event == ws::FD_READ) {
            ws::send(bPeer, "y", 1, 0);
            nestedSawB = PumpUntil([&] { return seen.back() == "b read"; });
            ws::closesocket(a); // from inside its own report
        }
        return 0;
    });
    ASSERT_EQ(ws::WSAAsyncSelect(a, window.Handle(), 0x401, ws::FD_READ | ws::FD_CLOSE), 0);
    ASSERT_EQ(ws::WSAAsyncSelect(b, window.Handle(), 0x401, ws::FD_READ | ws::FD_CLOSE), 0);
    window.Post(0x402);
    ws::send(aPeer, "x", 1, 0);
    // The data is there before the loop runs, so both are due in its first turn.
    ws::u_long waiting = 0;
    for (int i = 0; i < 200 && waiting == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(ws::ioctlsocket(a, ws::FIONREAD, &waiting), 0);
    }
    ASSERT_EQ(waiting, 1u);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() >= 3; }));
    PumpUntil([] { return false; }, 50);
    EXPECT_TRUE(nestedSawB);
    EXPECT_EQ(seen, (std::vector<std::string>{"queued", "a read", "b read"}));
    ws::closesocket(aPeer);
    ws::closesocket(b);
    ws::closesocket(bPeer);
}

TEST_F(Shim, AsynchronousLookupWritesAHostEntry)
{
    Recorder rec;
    alignas(ws::HOSTENT) char buf[1025];
    std::memset(buf, 0, sizeof buf);
    const ws::HANDLE task = ws::WSAAsyncGetHostByName(rec.window.Handle(), 0x402, "localhost", buf, sizeof buf);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(PumpUntil([&] { return !rec.got.empty(); }));
    EXPECT_EQ(rec.got[0].wParam, task);
    EXPECT_EQ(HIWORD(static_cast<std::uintptr_t>(rec.got[0].lParam)), 0);
    const auto *he = reinterpret_cast<const ws::HOSTENT *>(buf);
    ASSERT_NE(he->h_addr_list[0], nullptr);
    EXPECT_EQ(he->h_length, 4);
    ws::in_addr a;
    std::memcpy(&a, he->h_addr_list[0], 4);
    EXPECT_STREQ(ws::inet_ntoa(a), "127.0.0.1");
    EXPECT_STREQ(he->h_name, "localhost");

    // Too small for even one entry: an error, and the buffer stays as it was.
    char tiny[8] = "keepme";
    ws::WSAAsyncGetHostByName(rec.window.Handle(), 0x402, "localhost", tiny, sizeof tiny);
    ASSERT_TRUE(PumpUntil([&] { return rec.got.size() == 2; }));
    EXPECT_EQ(HIWORD(static_cast<std::uintptr_t>(rec.got[1].lParam)), ws::WSAENOBUFS);
    EXPECT_STREQ(tiny, "keepme");

    // Cancelled: neither the message nor the buffer.
    std::memset(buf, 0x5A, sizeof buf);
    const ws::HANDLE cancelled = ws::WSAAsyncGetHostByName(rec.window.Handle(), 0x402, "localhost", buf, sizeof buf);
    EXPECT_EQ(ws::WSACancelAsyncRequest(cancelled), 0);
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(rec.got.size(), 2u);
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(ws::WSACancelAsyncRequest(0), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
}

TEST_F(Shim, IPv6SocketsListenConnectAndName)
{
    ws::SOCKET listener = ws::socket(ws::AF_INET6, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    ASSERT_NE(listener, ws::INVALID_SOCKET);
    ws::SOCKADDR_IN6 own{};
    own.sin6_family = ws::AF_INET6;
    ASSERT_EQ(ws::inet_pton(ws::AF_INET6, "::1", &own.sin6_addr), 1);
    auto *ownRecord = reinterpret_cast<ws::SOCKADDR *>(&own);
    // An IPv4-sized record is too short for an IPv6 one.
    EXPECT_EQ(ws::bind(listener, ownRecord, 16), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
    ASSERT_EQ(ws::bind(listener, ownRecord, sizeof own), 0);
    ASSERT_EQ(ws::listen(listener, 1), 0);
    ws::SOCKADDR_IN small{};
    int len = sizeof small;
    EXPECT_EQ(ws::getsockname(listener, Addr(small), &len), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
    ws::SOCKADDR_STORAGE bound{};
    len = sizeof bound;
    ASSERT_EQ(ws::getsockname(listener, reinterpret_cast<ws::SOCKADDR *>(&bound), &len), 0);
    EXPECT_EQ(len, 28);
    EXPECT_EQ(bound.ss_family, ws::AF_INET6);
    std::memcpy(&own, &bound, sizeof own);
    EXPECT_NE(own.sin6_port, 0);

    ws::SOCKET client = ws::socket(ws::AF_INET6, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    ASSERT_EQ(ws::connect(client, ownRecord, sizeof own), 0);
    ws::SOCKADDR_IN6 peer{};
    len = 16;
    EXPECT_EQ(ws::accept(listener, reinterpret_cast<ws::SOCKADDR *>(&peer), &len), ws::INVALID_SOCKET);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
    len = sizeof peer;
    ws::SOCKET server = ws::accept(listener, reinterpret_cast<ws::SOCKADDR *>(&peer), &len);
    ASSERT_NE(server, ws::INVALID_SOCKET);
    EXPECT_EQ(peer.sin6_family, ws::AF_INET6);
    char text[64];
    EXPECT_STREQ(ws::inet_ntop(ws::AF_INET6, &peer.sin6_addr, text, sizeof text), "::1");
    EXPECT_EQ(ws::inet_ntop(ws::AF_INET6, &peer.sin6_addr, text, 3), nullptr);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
    ws::SOCKADDR_IN6 seen{};
    len = sizeof seen;
    ASSERT_EQ(ws::getpeername(client, reinterpret_cast<ws::SOCKADDR *>(&seen), &len), 0);
    EXPECT_EQ(seen.sin6_port, own.sin6_port);
    EXPECT_EQ(ws::send(client, "six", 3, 0), 3);
    char got[4] = {};
    EXPECT_EQ(ws::recv(server, got, 3, 0), 3);
    EXPECT_STREQ(got, "six");

    // A listener on any IPv6 address takes no IPv4 connection in disguise.
    ws::SOCKET any6 = ws::socket(ws::AF_INET6, ws::SOCK_STREAM, 0);
    ws::SOCKADDR_IN6 anyAddress{};
    anyAddress.sin6_family = ws::AF_INET6;
    ASSERT_EQ(ws::bind(any6, reinterpret_cast<ws::SOCKADDR *>(&anyAddress), sizeof anyAddress), 0);
    ASSERT_EQ(ws::listen(any6, 1), 0);
    len = sizeof anyAddress;
    ASSERT_EQ(ws::getsockname(any6, reinterpret_cast<ws::SOCKADDR *>(&anyAddress), &len), 0);
    ws::SOCKADDR_IN toAny = Loopback(ws::ntohs(anyAddress.sin6_port));
    ws::SOCKET v4client = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
    EXPECT_EQ(ws::connect(v4client, Addr(toAny), sizeof toAny), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAECONNREFUSED);
    ws::closesocket(v4client);
    ws::closesocket(any6);

    // The IPv6 socket takes no IPv4 address, and the text forms know their family.
    ws::SOCKADDR_IN v4 = Loopback(ws::ntohs(own.sin6_port));
    ws::SOCKET other = ws::socket(ws::AF_INET6, ws::SOCK_STREAM, 0);
    EXPECT_EQ(ws::connect(other, Addr(v4), sizeof v4), -1);
    EXPECT_EQ(ws::inet_pton(ws::AF_INET6, "127.0.0.1", &seen.sin6_addr), 0);
    EXPECT_EQ(ws::inet_pton(17, "::1", &seen.sin6_addr), -1);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEAFNOSUPPORT);
    for (ws::SOCKET h : {listener, client, server, other})
        ws::closesocket(h);
}

TEST_F(Shim, LookupOfBothFamiliesWritesAnAddressChain)
{
    struct Row {
        const char *name;
        int family;
        int size;
        int error;
        std::vector<std::string> addresses;
    };
    // The machine's hosts file names localhost in both families (as Debian's does).
    const Row rows[] = {
        {"::1", ws::AF_UNSPEC, 1024, 0, {"::1"}},
        {"localhost", ws::AF_UNSPEC, 1024, 0, {"::1", "127.0.0.1"}},
        {"localhost", ws::AF_INET, 1024, 0, {"127.0.0.1"}},
        {"localhost", ws::AF_INET6, 1024, 0, {"::1"}},
        {"127.0.0.1", ws::AF_INET6, 1024, -1, {}},
        {"localhost", ws::AF_UNSPEC, static_cast<int>(sizeof(ws::ADDRINFO) + 28 + 10), 0, {"::1"}},
        {"localhost", ws::AF_UNSPEC, 40, ws::WSAENOBUFS, {}},
        // Both records, both address slots and the name: exactly, and one byte short.
        {"localhost", ws::AF_UNSPEC, static_cast<int>(2 * (sizeof(ws::ADDRINFO) + 28) + 10), 0, {"::1", "127.0.0.1"}},
        {"localhost", ws::AF_UNSPEC, static_cast<int>(2 * (sizeof(ws::ADDRINFO) + 28) + 10 - 1), 0, {"::1"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " family " + std::to_string(row.family) + " in " +
                     std::to_string(row.size));
        Recorder rec;
        alignas(ws::ADDRINFO) char buf[1024];
        std::memset(buf, 0x5A, sizeof buf);
        ASSERT_NE(ws::WSAAsyncGetAddrInfo(rec.window.Handle(), 0x402, row.name, row.family, buf, row.size), 0u);
        ASSERT_TRUE(PumpUntil([&] { return !rec.got.empty(); }));
        const int error = HIWORD(static_cast<std::uintptr_t>(rec.got[0].lParam));
        if (row.error < 0) {
            EXPECT_NE(error, 0);
            continue;
        }
        ASSERT_EQ(error, row.error);
        // Nothing is written past the size given.
        EXPECT_EQ(std::count(buf + row.size, buf + sizeof buf, 0x5A),
                  static_cast<std::ptrdiff_t>(sizeof buf) - row.size);
        if (error != 0) {
            EXPECT_EQ(buf[0], 0x5A);
            continue;
        }
        std::vector<std::string> got;
        for (auto *ai = reinterpret_cast<const ws::ADDRINFO *>(buf); ai; ai = ai->ai_next) {
            char text[64];
            const void *where =
                ai->ai_family == ws::AF_INET6
                    ? static_cast<const void *>(&reinterpret_cast<ws::SOCKADDR_IN6 *>(ai->ai_addr)->sin6_addr)
                    : static_cast<const void *>(&reinterpret_cast<ws::SOCKADDR_IN *>(ai->ai_addr)->sin_addr);
            EXPECT_EQ(ai->ai_addrlen, ai->ai_family == ws::AF_INET6 ? 28u : 16u);
            EXPECT_GE(reinterpret_cast<const char *>(ai->ai_addr), buf);
            EXPECT_LE(reinterpret_cast<const char *>(ai->ai_addr) + ai->ai_addrlen, buf + row.size);
            got.push_back(ws::inet_ntop(ai->ai_family, where, text, sizeof text));
        }
        EXPECT_EQ(got, row.addresses);
    }
    EXPECT_EQ(ws::WSAAsyncGetAddrInfo(0, 0x402, "localhost", 17, nullptr, 0), 0u);
}

TEST_F(Shim, LookupForAWindowThatIsGoneTouchesNothing)
{
    auto rec = std::make_unique<Recorder>();
    auto buf = std::make_unique<char[]>(1025);
    ws::WSAAsyncGetHostByName(rec->window.Handle(), 0x402, "localhost", buf.get(), 1025);
    rec.reset();
    buf.reset(); // a write into it now would be caught by the address sanitizer
    PumpUntil([] { return false; }, 200);
    // The workers go on serving the windows that remain.
    Recorder other;
    alignas(ws::HOSTENT) char reply[1025];
    ASSERT_NE(ws::WSAAsyncGetHostByName(other.window.Handle(), 0x402, "localhost", reply, sizeof reply), 0u);
    ASSERT_TRUE(PumpUntil([&] { return !other.got.empty(); }));
    EXPECT_EQ(HIWORD(static_cast<std::uintptr_t>(other.got[0].lParam)), 0);
}

TEST_F(Shim, LookupsCancelledInASlowResolverDoNotHoldUpTheNextOne)
{
    // Four lookups that the resolver keeps (as many as run at once), all
    // cancelled: their workers wait for nobody, and a new lookup must not
    // wait behind them.
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<int> stuck{0};
    ws::SetLookupGateForTesting([&](const std::string &name) {
        if (name != "lento.invalid")
            return;
        std::unique_lock lock(mutex);
        ++stuck;
        released.wait(lock, [&] { return release; });
    });
    Recorder rec;
    struct Reply {
        alignas(ws::HOSTENT) char bytes[1025];
    } bufs[5];
    std::vector<ws::HANDLE> slow;
    for (int i = 0; i < 4; ++i)
        slow.push_back(ws::WSAAsyncGetHostByName(rec.window.Handle(), 0x402, "lento.invalid", bufs[i].bytes, 1025));
    const bool allStuck = PumpUntil([&] { return stuck == 4; });
    for (const ws::HANDLE task : slow)
        EXPECT_EQ(ws::WSACancelAsyncRequest(task), 0);
    const ws::HANDLE next = ws::WSAAsyncGetHostByName(rec.window.Handle(), 0x402, "localhost", bufs[4].bytes, 1025);
    const bool answered = PumpUntil([&] { return !rec.got.empty(); }, 5000);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    ws::SetLookupGateForTesting(nullptr);
    ASSERT_TRUE(allStuck);
    ASSERT_TRUE(answered);
    EXPECT_EQ(rec.got[0].wParam, next);
    EXPECT_EQ(HIWORD(static_cast<std::uintptr_t>(rec.got[0].lParam)), 0);
}

TEST_F(Shim, Databases)
{
    const ws::SERVENT *se = ws::getservbyname("http", "tcp");
    ASSERT_NE(se, nullptr);
    EXPECT_EQ(ws::ntohs(se->s_port), 80);
    EXPECT_EQ(ws::getservbyname("nosuchservice", nullptr), nullptr);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSANO_DATA);
    const ws::PROTOENT *pe = ws::getprotobyname("udp");
    ASSERT_NE(pe, nullptr);
    EXPECT_EQ(pe->p_proto, 17);
    EXPECT_EQ(ws::gethostbyname("no-such-host.invalid"), nullptr);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAHOST_NOT_FOUND);
    EXPECT_EQ(ws::inet_addr("1.2.3.4"), ws::htonl(0x01020304));
    EXPECT_EQ(ws::inet_addr("1.2.3.x"), ws::INADDR_NONE);
    EXPECT_EQ(ws::inet_addr(""), ws::INADDR_NONE);
}

TEST_F(Shim, ShortSendReportsWhenWritingIsPossibleAgain)
{
    Recorder rec;
    ws::SOCKET client = ws::INVALID_SOCKET;
    ws::SOCKET server = ws::INVALID_SOCKET;
    MakePair(client, server);
    ASSERT_EQ(ws::WSAAsyncSelect(client, rec.window.Handle(), 0x401, ws::FD_WRITE), 0);
    ASSERT_TRUE(PumpUntil([&] { return rec.Events(client).size() == 1; }));

    // Far more than the buffers hold: the system takes only a part, and the
    // caller sends nothing more until it is told there is room.
    const std::string payload(8 << 20, 'w');
    const int taken = ws::send(client, payload.data(), static_cast<int>(payload.size()), 0);
    ASSERT_GT(taken, 0);
    ASSERT_LT(taken, static_cast<int>(payload.size()));
    PumpUntil([] { return false; }, 50);
    const std::size_t before = rec.Events(client).size();

    std::thread reader([&] {
        std::string sink(65536, '\0');
        int left = taken;
        while (left > 0) {
            const int n = ws::recv(server, sink.data(), static_cast<int>(sink.size()), 0);
            if (n <= 0)
                break;
            left -= n;
        }
    });
    const bool told = PumpUntil([&] { return rec.Events(client).size() > before; }, 10000);
    ws::shutdown(server, ws::SD_BOTH);
    reader.join();
    ASSERT_TRUE(told) << "no FD_WRITE after a short send";
    EXPECT_EQ(rec.Events(client).back(), ws::FD_WRITE);
    ws::closesocket(client);
    ws::closesocket(server);
}
