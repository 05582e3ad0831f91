#include "tests/net/SocketTestSupport.h"

#include "platform/Clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

namespace {

// Connects client to the server and pumps until both ends are connected.
void ConnectPair(LoopbackServer &server, TWSocket &client)
{
    Aim(client, server.Port());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected && server.Peer(0); }));
}

} // namespace

TEST(WSocketLookup, DottedAddressCompletesBeforeReturn)
{
    for (const char *host : {"10.1.2.3", "10.1.2.3 ", " 10.1.2.3", "  10.1.2.3  "}) {
        SCOPED_TRACE(std::string("'") + host + "'");
        Log log;
        TWSocket s;
        s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { log.push_back("done " + std::to_string(e)); };
        s.DnsLookup(host);
        ASSERT_EQ(log, Log{"done 0"});
        EXPECT_EQ(s.DnsResult(), "10.1.2.3");
        EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"10.1.2.3"});
    }
}

TEST(WSocketLookup, NamesAndBroadcastGoTheAsynchronousWay)
{
    struct Row {
        const char *name;
        std::string host;
        TSocketFamily family;
        std::uint16_t error;
        std::vector<std::string> results;
    };
    // The machine's hosts file names localhost in both families, ::1 first.
    const Row rows[] = {
        {"localhost", "localhost", sfIPv4, 0, {"127.0.0.1"}},
        {"localhost in both families", "localhost", sfAny, 0, {"::1", "127.0.0.1"}},
        {"localhost in IPv6", "localhost", sfIPv6, 0, {"::1"}},
        {"broadcast is not taken as dotted", "255.255.255.255", sfIPv4, 0, {"255.255.255.255"}},
        {"reserved invalid name", "no-such-host.invalid", sfIPv4, 11001, {}},
        {"reserved invalid name in both families", "no-such-host.invalid", sfAny, 11001, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<int> errors;
        TWSocket s;
        s.SetSocketFamily(row.family);
        s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { errors.push_back(e); };
        s.DnsLookup(row.host);
        EXPECT_TRUE(errors.empty()) << "fired inside DnsLookup";
        ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
        EXPECT_EQ(errors, std::vector<int>{row.error});
        EXPECT_EQ(s.DnsResult(), row.results.empty() ? std::string() : row.results.front());
        EXPECT_EQ(s.DnsResultList(), row.results);
    }
}

TEST(WSocketLookup, AnIPv6AddressIsItsOwnResult)
{
    for (const char *host : {"::1", "[::1]", " [0:0::1] ", "[2001:DB8::1]"}) {
        SCOPED_TRACE(host);
        std::vector<int> errors;
        TWSocket s;
        s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { errors.push_back(e); };
        s.DnsLookup(host);
        ASSERT_EQ(errors, std::vector<int>{0}) << "completes before DnsLookup returns";
        EXPECT_EQ(s.DnsResult(), std::string(host).find("DB8") != std::string::npos ? "2001:db8::1" : "::1");
    }
}

TEST(WSocketLookup, ReverseLookupGivesTheName)
{
    int done = -1;
    TWSocket s;
    s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { done = e; };
    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return done >= 0; }));
    EXPECT_EQ(done, 0);
    EXPECT_EQ(s.DnsResult(), "localhost");
}

TEST(WSocketLookup, EmptyNameWithAndWithoutOnError)
{
    {
        Log log;
        TWSocket s;
        s.OnError = [&](TCustomWSocket *) { log.push_back("error"); };
        s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { log.push_back("done " + std::to_string(e)); };
        s.DnsLookup("");
        EXPECT_EQ(log, (Log{"error", "done 10022"}));
    }
    {
        Log log;
        TWSocket s;
        s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { log.push_back("done " + std::to_string(e)); };
        EXPECT_EQ(ErrorOf([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
        ProcessMessages();
        EXPECT_TRUE(log.empty());
    }
}

TEST(WSocketLookup, SecondLookupCancelsTheFirstSilently)
{
    std::vector<int> errors;
    TWSocket s;
    s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { errors.push_back(e); };
    s.DnsLookup("no-such-host.invalid");
    s.DnsLookup("localhost");
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    // Give a stray reply of the first lookup every chance to arrive.
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(errors, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
}

TEST(WSocketLookup, CancelFiresInterruptedOnce)
{
    std::vector<int> errors;
    TWSocket s;
    s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { errors.push_back(e); };
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(errors, std::vector<int>{10004});
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(errors, std::vector<int>{10004});
    EXPECT_TRUE(s.DnsResult().empty());
    s.CancelDnsLookup(); // nothing pending: nothing fires
    EXPECT_EQ(errors.size(), 1u);
}

TEST(WSocketLookup, DestroyingWithAPendingLookupFiresNothing)
{
    int fired = 0;
    {
        auto s = std::make_unique<TWSocket>();
        s->OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t) { ++fired; };
        s->DnsLookup("localhost");
    }
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(fired, 0);
}

namespace {
int ThreadsOfThisProcess()
{
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}
} // namespace

TEST(WSocketLibrary, UnloadsWithTheLastSocketAndStartsAgain)
{
    ASSERT_EQ(SocketUserCount(), 0);
    const int threads = ThreadsOfThisProcess();
    int starts;
    {
        TWSocket s;
        EXPECT_EQ(SocketUserCount(), 1);
        s.DnsLookup("10.0.0.1"); // the first platform call starts the library
        EXPECT_TRUE(SocketLibrary().Loaded);
        starts = SocketLibrary().StartCount;
    }
    EXPECT_EQ(SocketUserCount(), 0);
    EXPECT_FALSE(SocketLibrary().Loaded);
    EXPECT_FALSE(ws::WSAIsStarted());
    {
        TWSocket s;
        EXPECT_FALSE(SocketLibrary().Loaded) << "creating a socket makes no platform call";
        int done = -1;
        s.OnDnsLookupDone = [&](TCustomWSocket *, std::uint16_t e) { done = e; };
        s.DnsLookup("localhost");
        EXPECT_TRUE(SocketLibrary().Loaded);
        EXPECT_EQ(SocketLibrary().StartCount, starts + 1);
        ASSERT_TRUE(PumpUntil([&] { return done >= 0; }));
        EXPECT_EQ(done, 0);
    }
    // The lookup workers end with the library, not some time after it.
    EXPECT_EQ(ThreadsOfThisProcess(), threads);
}

TEST(WSocketProperties, ClosedOnlySettersAndReset)
{
    LoopbackServer server;
    TWSocket client;
    ConnectPair(server, client);
    const std::string port = client.Port();
    struct Row {
        const char *name;
        std::function<void()> change;
        std::string message;
    };
    const Row rows[] = {
        {"addr", [&] { client.SetAddr("10.0.0.9"); }, "Cannot change Addr if not closed"},
        {"port", [&] { client.SetPort("81"); }, "Cannot change Port if not closed"},
        {"proto", [&] { client.SetProto("udp"); }, "Cannot change Proto if not closed"},
        {"local addr", [&] { client.SetLocalAddr("127.0.0.1"); }, "Cannot change LocalAddr if not closed"},
        {"local port", [&] { client.SetLocalPort("5000"); }, "Cannot change LocalPort if not closed"},
        {"socks server", [&] { client.SetSocksServer("proxy"); }, "Can't change socks server if not closed"},
        {"send flags", [&] { client.SetSendFlags(static_cast<TSocketSendFlags>(7)); }, "Invalid SendFlags"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ErrorOf(row.change), row.message);
    }
    EXPECT_EQ(client.Addr(), "127.0.0.1");
    EXPECT_EQ(client.LocalAddr(), "0.0.0.0");
    // The same text again is no change at all.
    EXPECT_EQ(ErrorOf([&] { client.SetAddr("127.0.0.1"); }), "");
    EXPECT_EQ(client.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(client.PeerPort(), server.Port());

    client.Close();
    EXPECT_EQ(client.State(), wsClosed);
    EXPECT_EQ(client.PeerAddr(), "error");
    EXPECT_EQ(client.BoundPort(), "error");
    // The texts stay, but count as unassigned until set again.
    EXPECT_EQ(client.Addr(), "127.0.0.1");
    client.SetPort(port);
    EXPECT_EQ(ErrorOf([&] { client.Connect(); }), "Connect: No IP Address Specified");
    client.SetAddr("");
    EXPECT_EQ(ErrorOf([&] { client.Connect(); }), "Connect: No IP Address Specified");
    client.SetLocalAddr("");
    EXPECT_EQ(client.LocalAddr(), "0.0.0.0");
}

TEST(WSocketProperties, ConnectChecksInOrder)
{
    TWSocket s;
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("80");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetProto("");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
    s.SetProto("nosuchproto");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }),
              "connect: WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), ws::INVALID_SOCKET) << "no socket may be opened by a failed resolution";
    s.SetProto("tcp");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4A");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "Listening is not supported thru socks server");
    // Never a silent direct connection when a SOCKS server was asked for.
    EXPECT_NE(ErrorOf([&] { s.Connect(); }), "");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketSend, WhenNotConnected)
{
    {
        TWSocket s;
        EXPECT_EQ(ErrorOf([&] { s.Send("x", 1); }), "Error 10057 in function Send\r\nSocket is not connected");
    }
    {
        // A listening socket is not closed, so the session end is reported.
        TWSocket s;
        s.SetAddr("127.0.0.1");
        s.SetPort("0");
        s.Listen();
        ASSERT_EQ(s.State(), wsListening);
        Log log;
        s.OnError = [&](TCustomWSocket *) { log.push_back("error " + std::to_string(s.LastError())); };
        s.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) { log.push_back("closed " + std::to_string(e)); };
        EXPECT_EQ(s.Send("x", 1), -1);
        EXPECT_EQ(log, (Log{"closed 10057", "error 10057"}));
        EXPECT_EQ(s.State(), wsClosed);
    }
}

TEST(WSocketSend, BlocksOf1460AndOnDataSentFromTheLoop)
{
    std::string received;
    LoopbackServer server([&](TWSocket &peer) {
        peer.OnDataAvailable = [&received](TCustomWSocket *sender, std::uint16_t) {
            char buf[4096];
            const int n = sender->Receive(buf, sizeof buf);
            if (n > 0)
                received.append(buf, n);
        };
    });
    std::vector<int> sent;
    bool insideSend = false;
    int dataSent = 0;
    TWSocket client;
    client.OnSendData = [&](TCustomWSocket *, int n) { sent.push_back(n); };
    client.OnDataSent = [&](TCustomWSocket *, std::uint16_t e) {
        EXPECT_FALSE(insideSend) << "OnDataSent fired inside Send";
        EXPECT_EQ(e, 0);
        ++dataSent;
    };
    ConnectPair(server, client);
    // The write notification that follows the connection comes first.
    ASSERT_TRUE(PumpUntil([&] { return dataSent == 1; }));

    std::string payload(5000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    insideSend = true;
    EXPECT_EQ(client.Send(payload.data(), 5000), 5000);
    insideSend = false;
    EXPECT_EQ(dataSent, 1);
    EXPECT_EQ(sent, (std::vector<int>{1460, 1460, 1460, 620}));
    ASSERT_TRUE(PumpUntil([&] { return dataSent == 2 && received.size() == payload.size(); }));
    EXPECT_EQ(received, payload);
    EXPECT_EQ(client.SendQueueBlocks(), 1) << "a drained block is kept for reuse";

    // A send of nothing after something was sent still reports, from the loop.
    insideSend = true;
    EXPECT_EQ(client.Send(nullptr, 0), 0);
    insideSend = false;
    ASSERT_TRUE(PumpUntil([&] { return dataSent == 3; }));
    EXPECT_EQ(client.SendString(""), 0);
    client.Flush(); // nothing queued: must return at once
}

TEST(WSocketSend, PartialSendFinishesOnTheNextWriteNotification)
{
    ShimUser shim;
    // A raw peer with a small receive buffer that reads nothing until told.
    ws::SOCKADDR_IN sin{};
    ws::SOCKET listener = SmallBufferListener(sin);
    ASSERT_NE(listener, ws::INVALID_SOCKET);

    int dataSent = 0;
    TWSocket client;
    client.OnDataSent = [&](TCustomWSocket *, std::uint16_t) { ++dataSent; };
    Aim(client, std::to_string(ws::ntohs(sin.sin_port)));
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected && dataSent == 1; }));
    const int sndbuf = 4096;
    ws::setsockopt(client.HSocket(), ws::SOL_SOCKET, ws::SO_SNDBUF, reinterpret_cast<const char *>(&sndbuf),
                   sizeof sndbuf);
    ws::SOCKET peer = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(peer, ws::INVALID_SOCKET);

    const int total = 1 << 20;
    std::string payload(total, '\0');
    for (int i = 0; i < total; ++i)
        payload[i] = static_cast<char>(i * 7 + i / 251);
    EXPECT_EQ(client.Send(payload.data(), total), total);
    PumpUntil([] { return false; }, 200);
    EXPECT_FALSE(client.AllSent()) << "the peer reads nothing, so most must still wait";
    EXPECT_EQ(dataSent, 1);

    std::atomic<bool> readerDone{false};
    std::string got;
    std::thread reader([&] {
        char buf[8192];
        while (static_cast<int>(got.size()) < total) {
            const int n = ws::recv(peer, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, n);
        }
        readerDone = true;
    });
    const bool finished = PumpUntil([&] { return dataSent == 2 && readerDone; }, 20000);
    if (!finished)
        ws::shutdown(peer, ws::SD_BOTH); // free the reader
    reader.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(got == payload) << "bytes lost or reordered";
    ws::closesocket(peer);
    ws::closesocket(listener);
}

TEST(WSocketReceive, UnreadDataComesBeforeTheCloseOnce)
{
    Log log;
    std::string got;
    LoopbackServer server;
    TWSocket client;
    client.SetComponentOptions(wsoNoReceiveLoop);
    client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        char c;
        if (s->Receive(&c, 1) == 1)
            got += c; // one byte per call, leaving the rest for later
    };
    client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) {
        log.push_back("closed " + std::to_string(e) + " after " + got);
    };
    ConnectPair(server, client);
    server.Peer(0)->SendString("hello world");
    server.Peer(0)->Close();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }));
    client.Close();
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(log, Log{"closed 0 after hello world"});
}

TEST(WSocketReceive, WithoutHandlerDataIsDiscardedAndCloseStillComes)
{
    int closed = 0;
    LoopbackServer server;
    TWSocket client;
    client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t) { ++closed; };
    ConnectPair(server, client);
    server.Peer(0)->SendString(std::string(100000, 'x'));
    server.Peer(0)->Flush();
    server.Peer(0)->Close();
    ASSERT_TRUE(PumpUntil([&] { return closed == 1; }));
    EXPECT_EQ(client.State(), wsClosed);
}

TEST(WSocketReceive, NoReceiveLoopCallsOncePerNotification)
{
    for (const bool noLoop : {true, false}) {
        SCOPED_TRACE(noLoop ? "wsoNoReceiveLoop" : "receive loop");
        LoopbackServer server;
        TWSocket client;
        client.SetComponentOptions(noLoop ? TWSocketOptions{wsoNoReceiveLoop} : TWSocketOptions{0});
        // A marker posted from each call runs before the next call only when the
        // handler is called again from a new notification.
        int markers = 0;
        std::vector<int> markersSeen;
        QObject scope;
        client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
            markersSeen.push_back(markers);
            char c;
            s->Receive(&c, 1);
            QTimer::singleShot(0, &scope, [&markers] { ++markers; });
        };
        ConnectPair(server, client);
        server.Peer(0)->SendString("12345");
        ASSERT_TRUE(PumpUntil([&] { return client.ReadCount() == 5; }));
        ASSERT_EQ(markersSeen.size(), 5u);
        if (noLoop) {
            for (int i = 1; i < 5; ++i)
                EXPECT_GE(markersSeen[i], i);
        } else {
            EXPECT_EQ(markersSeen, std::vector<int>(5, 0));
        }
        client.Close();
    }
}

TEST(WSocketReceive, HandlerThatReadsNothingDoesNotHang)
{
    int calls = 0;
    LoopbackServer server;
    TWSocket client;
    client.OnDataAvailable = [&](TCustomWSocket *, std::uint16_t) { ++calls; };
    ConnectPair(server, client);
    server.Peer(0)->SendString("ignored");
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
    PumpUntil([] { return false; }, 100);
    EXPECT_LT(calls, 10);
    EXPECT_EQ(client.RcvdCount(), 7) << "the data waits for a read";
    EXPECT_EQ(client.ReceiveString(), "ignored");
    EXPECT_EQ(client.ReadCount(), 7);
}

TEST(WSocketReceive, AHandlerThatReadsZeroBytesIsNotCalledOverAndOver)
{
    struct Row {
        const char *name;
        bool lineModeWithoutLineEnd; // the read is sized by RcvdCount
    };
    for (const Row &row : {Row{"Receive of 0 bytes", false}, Row{"line mode with an empty LineEnd", true}}) {
        SCOPED_TRACE(row.name);
        int calls = 0;
        std::string got;
        LoopbackServer server;
        TWSocket client;
        if (row.lineModeWithoutLineEnd) {
            client.SetLineEnd("");
            client.SetLineMode(true);
        }
        client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
            // Reads for real after a while, so that a fault cannot hang the test.
            const int n = ++calls > 1000 ? 64 : row.lineModeWithoutLineEnd ? s->RcvdCount() : 0;
            char buf[64];
            const int r = s->Receive(buf, std::min(n, 64));
            if (r > 0)
                got.append(buf, static_cast<std::size_t>(r));
        };
        ConnectPair(server, client);
        server.Peer(0)->SendString("abc");
        ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
        PumpUntil([] { return false; }, 200);
        EXPECT_LT(calls, 10);
        if (row.lineModeWithoutLineEnd) {
            EXPECT_EQ(got, "abc") << "without a line end the bytes come as they are";
        }
    }
}

TEST(WSocketConnect, RefusedConnection)
{
    Log log;
    TWSocket client;
    client.OnChangeState = [&](TCustomWSocket *, TSocketState, TSocketState n) {
        log.push_back("state " + std::to_string(n));
    };
    client.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t e) {
        log.push_back("connected " + std::to_string(e) + " " + SocketErrorText(e));
    };
    client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) { log.push_back("closed " + std::to_string(e)); };
    Aim(client, UnusedPort());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed && !log.empty() && log.back() != "state 3"; }));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(log, (Log{"state 1", "state 3", "state 4", "connected 10061 Connection refused", "state 7", "closed 0"}));
}

TEST(WSocketConnect, ListenOnAPortInUse)
{
    LoopbackServer server;
    TWSocket second;
    second.SetAddr("127.0.0.1");
    second.SetPort(server.Port());
    EXPECT_EQ(ErrorOf([&] { second.Listen(); }), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(second.State(), wsClosed);
    EXPECT_EQ(second.HSocket(), ws::INVALID_SOCKET) << "the unbound socket must not leak";
}

TEST(WSocketConnect, OnSessionClosedExactlyOnce)
{
    struct Row {
        const char *name;
        bool peerCloses;
    };
    for (const Row &row : {Row{"peer closes", true}, Row{"we close", false}}) {
        SCOPED_TRACE(row.name);
        int closed = 0;
        LoopbackServer server;
        TWSocket client;
        client.OnSessionClosed = [&](TCustomWSocket *s, std::uint16_t) {
            ++closed;
            s->Close(); // a handler closing again must not report again
        };
        ConnectPair(server, client);
        if (row.peerCloses)
            server.Peer(0)->Close();
        else
            client.Close();
        ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed && closed > 0; }));
        client.Close();
        PumpUntil([] { return false; }, 100);
        EXPECT_EQ(closed, 1);
    }
}

TEST(WSocketConnect, ReconnectFromInsideOnSessionClosed)
{
    Log log;
    LoopbackServer server;
    TWSocket client;
    ConnectPair(server, client);
    client.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t e) {
        log.push_back("connected " + std::to_string(e));
    };
    client.OnSessionClosed = [&](TCustomWSocket *s, std::uint16_t e) {
        log.push_back("closed " + std::to_string(e));
        if (log.size() == 1) {
            Aim(*static_cast<TWSocket *>(s), server.Port());
            s->Connect();
        }
    };
    client.Close();
    ASSERT_TRUE(PumpUntil([&] { return log.size() >= 2; }));
    EXPECT_EQ(log, (Log{"closed 0", "connected 0"}));
    EXPECT_EQ(client.State(), wsConnected);
    EXPECT_NE(client.HSocket(), ws::INVALID_SOCKET);
    ASSERT_TRUE(PumpUntil([&] { return server.Peers().size() == 2; }));
    // The new session ends like any other.
    server.Peer(1)->Close();
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
    EXPECT_EQ(log.back(), "closed 0");
}

TEST(WSocketConnect, CloseFromOnDataSentWithBlocksQueuedReportsOnce)
{
    for (int linger : {0, 1}) {
        SCOPED_TRACE(linger);
        ShimUser shim;
        // A peer that reads nothing, so the blocks stay queued.
        ws::SOCKADDR_IN sin{};
        ws::SOCKET listener = SmallBufferListener(sin);
        ASSERT_NE(listener, ws::INVALID_SOCKET);
        Log log;
        const std::string payload(1 << 20, 'q');
        TWSocket client;
        client.SetLingerTimeout(linger);
        client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) {
            log.push_back("closed " + std::to_string(e));
        };
        int sent = 0;
        client.OnDataSent = [&](TCustomWSocket *s, std::uint16_t) {
            if (++sent == 2) {
                s->Send(payload.data(), static_cast<int>(payload.size()));
                s->Close();
            }
        };
        Aim(client, std::to_string(ws::ntohs(sin.sin_port)));
        client.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected && sent == 1; }));
        ws::SOCKET peer = ws::accept(listener, nullptr, nullptr);
        client.Send(payload.data(), 100);
        ASSERT_TRUE(PumpUntil([&] { return !log.empty(); }, 10000));
        PumpUntil([] { return false; }, 300);
        EXPECT_EQ(log, Log{"closed 0"});
        EXPECT_EQ(client.State(), wsClosed);
        ws::closesocket(peer);
        ws::closesocket(listener);
    }
}

TEST(WSocketConnect, CloseFromOnSendDataWithBlocksQueuedReportsOnce)
{
    LoopbackServer server;
    TWSocket client;
    Log log;
    ConnectPair(server, client);
    client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) { log.push_back("closed " + std::to_string(e)); };
    client.OnError = [&](TCustomWSocket *) { log.push_back("error"); };
    client.OnSendData = [&](TCustomWSocket *s, int) {
        if (s->State() == wsConnected)
            s->Close();
    };
    const std::string payload(10 * 1460, 'q');
    client.Send(payload.data(), static_cast<int>(payload.size()));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(log, Log{"closed 0"});
}

TEST(WSocketLifetime, DestroyingAConnectedSocketFiresNothing)
{
    Log log;
    LoopbackServer server;
    auto client = std::make_unique<TWSocket>();
    ConnectPair(server, *client);
    client->OnChangeState = [&](TCustomWSocket *, TSocketState, TSocketState n) {
        log.push_back("state " + std::to_string(n));
    };
    client->OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) { log.push_back("closed " + std::to_string(e)); };
    client->OnError = [&](TCustomWSocket *) { log.push_back("error"); };
    client.reset();
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(log, Log{});
}

TEST(WSocketConnect, IPv6ByLiteralWithItsAddressesInText)
{
    LoopbackServer server({}, "::1");
    ASSERT_EQ(server.Listener().State(), wsListening);
    EXPECT_EQ(server.Listener().BoundAddr(), "::1");
    for (const char *addr : {"::1", "[::1]"}) {
        SCOPED_TRACE(addr);
        TWSocket client;
        client.SetAddr(addr);
        client.SetPort(server.Port());
        client.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected && server.Peers().size() == 1; }));
        EXPECT_EQ(client.PeerAddr(), "::1");
        EXPECT_EQ(client.PeerPort(), server.Port());
        EXPECT_EQ(client.BoundAddr(), "::1");
        EXPECT_EQ(server.Peer(0)->PeerPort(), client.BoundPort());
        server.Peers().clear();
    }
    // A local address of the other family cannot be bound for it.
    TWSocket mismatched;
    mismatched.SetAddr("::1");
    mismatched.SetPort(server.Port());
    mismatched.SetLocalAddr("127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { mismatched.Connect(); }), "connect: winsock.bind failed, error #10047");
}

TEST(WSocketConnect, ReusedForASecondConnection)
{
    LoopbackServer server;
    TWSocket client;
    ConnectPair(server, client);
    const ws::SOCKET first = client.HSocket();
    client.Close();
    Aim(client, server.Port());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected && server.Peers().size() == 2; }));
    EXPECT_NE(client.HSocket(), first) << "a handle is never handed out twice";
}

TEST(WSocketErrors, TestExceptionReachesOnBgException)
{
    for (const bool canClose : {true, false}) {
        SCOPED_TRACE(canClose ? "aborts" : "kept open");
        std::string message;
        LoopbackServer server;
        TWSocket client;
        client.OnBgException = [&](TCustomWSocket *, const std::exception &e, bool &close) {
            message = e.what();
            close = canClose;
        };
        ConnectPair(server, client);
        client.PostNotification(WM_SOCKET_TEST_EXCEPTION);
        ASSERT_TRUE(PumpUntil([&] { return !message.empty(); }));
        EXPECT_EQ(message, "Test exception in WSocket");
        EXPECT_EQ(client.State(), canClose ? wsClosed : wsConnected);
    }
}

TEST(WSocketLifetime, HandlersMayDestroyTheSocket)
{
    LoopbackServer server;
    auto *client = new TWSocket;
    bool closed = false;
    client->OnSessionClosed = [&](TCustomWSocket *s, std::uint16_t) {
        closed = true;
        delete s;
    };
    Aim(*client, server.Port());
    client->Connect();
    ASSERT_TRUE(PumpUntil([&] { return server.Peer(0) != nullptr; }));
    server.Peer(0)->SendString("bye");
    server.Peer(0)->Close();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    PumpUntil([] { return false; }, 100);

    // Release: the socket deletes itself from the message loop.
    auto *other = new TWSocket;
    int before = SocketUserCount();
    other->Release();
    EXPECT_EQ(SocketUserCount(), before);
    ASSERT_TRUE(PumpUntil([&] { return SocketUserCount() == before - 1; }));
}

TEST(WSocketLifetime, CloseDelayedClosesFromTheLoop)
{
    LoopbackServer server;
    TWSocket client;
    ConnectPair(server, client);
    client.CloseDelayed();
    EXPECT_EQ(client.State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }));
}

TEST(WSocketUdp, ConnectAndListenExchangeADatagram)
{
    std::string got;
    std::string from;
    TWSocket server;
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.SetProto("udp");
    int serverConnected = -1;
    server.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t e) { serverConnected = e; };
    server.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        char buf[512];
        ws::SOCKADDR_IN src{};
        int len = sizeof src;
        const int n = s->ReceiveFrom(buf, sizeof buf, src, len);
        if (n > 0) {
            got.assign(buf, n);
            from = ws::inet_ntoa(src.sin_addr);
        }
    };
    server.Listen();
    EXPECT_EQ(server.State(), wsConnected);
    EXPECT_EQ(serverConnected, 0);

    int clientConnected = -1;
    TWSocket client;
    client.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t e) { clientConnected = e; };
    Aim(client, server.BoundPort(), "udp");
    client.Connect();
    EXPECT_EQ(client.State(), wsConnected);
    EXPECT_EQ(clientConnected, 0);
    EXPECT_EQ(client.SendString("datagram"), 8);
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got, "datagram");
    EXPECT_EQ(from, "127.0.0.1");
    EXPECT_NE(client.LocalPort(), "0") << "the bound local port is reported";
}

TEST(WSocketWaits, WaitForCloseEndsWhenThePeerCloses)
{
    std::string got;
    LoopbackServer server;
    TWSocket client;
    client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) { got += s->ReceiveString(); };
    ConnectPair(server, client);
    QObject scope;
    QTimer::singleShot(50, &scope, [&] {
        server.Peer(0)->SendString("last words");
        server.Peer(0)->Close();
    });
    client.WaitForClose();
    PumpUntil([&] { return client.State() == wsClosed; });
    EXPECT_EQ(got, "last words");
}

TEST(WSocketWaits, SynchronizeWaitsForTheFlagOrTheTimeout)
{
    bool done = false;
    TWSocket s;
    EXPECT_EQ(s.Synchronize([&] { done = true; }, done), 0);
    QObject scope;
    QTimer::singleShot(20, &scope, [&] { done = true; });
    EXPECT_EQ(s.Synchronize({}, done), 0);
    EXPECT_TRUE(done);
    s.SetWaitTimeout(30);
    EXPECT_EQ(s.Synchronize({}, done), 12001);
}

TEST(WSocketWaits, LingeringCloseKeepsTheLoopAliveAndEnds)
{
    ShimUser shim;
    // A peer that never reads, so the data cannot leave within the linger time.
    ws::SOCKADDR_IN sin{};
    ws::SOCKET listener = SmallBufferListener(sin);
    ASSERT_NE(listener, ws::INVALID_SOCKET);

    TWSocket client;
    client.SetLingerOnOff(wsLingerOn);
    client.SetLingerTimeout(1);
    Aim(client, std::to_string(ws::ntohs(sin.sin_port)));
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected; }));
    ws::SOCKET peer = ws::accept(listener, nullptr, nullptr);
    const std::string payload(1 << 20, 'L');
    client.Send(payload.data(), static_cast<int>(payload.size()));

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);
    const std::uint32_t start = TickCount();
    client.Close();
    const std::uint32_t took = TickCount() - start;
    EXPECT_EQ(client.State(), wsClosed);
    EXPECT_GE(took, 900u) << "closed before the linger time while data was waiting";
    EXPECT_LT(took, 5000u);
    EXPECT_GE(ticks, 5) << "the message loop stood still during the wait";
    ws::closesocket(peer);
    ws::closesocket(listener);
}
