#include "tests/net/ScriptedPeer.h"
#include "tests/net/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

std::string Socks5Connect(const std::string &host, int port)
{
    return Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + Bytes({port >> 8, port & 0xFF});
}

// The reply that grants a connection, with an IPv4 bound address 10.1.2.3:1234.
const std::string kGrantIpv4 = Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x04, 0xD2});

const char *AuthName(TSocksAuthState state)
{
    switch (state) {
    case socksAuthBegin:
        return "begin";
    case socksAuthAccepted:
        return "accepted";
    case socksAuthRejected:
        return "rejected";
    case socksAuthNotNeeded:
        return "not needed";
    }
    return "?";
}

// A TWSocket aimed through a SOCKS server, recording what it reports.
struct SocksClient {
    Log log;
    std::string data;
    std::vector<std::string> reads;
    int readSize = 4096;
    bool closed = false;
    TWSocket s;

    SocksClient()
    {
        s.OnSocksConnected = [this](TCustomWSocket *, std::uint16_t e) {
            log.push_back("socks connected " + std::to_string(e));
        };
        s.OnSocksError = [this](TCustomWSocket *, int e, const std::string &msg) {
            log.push_back("socks error " + std::to_string(e) + " " + msg);
        };
        s.OnSocksAuthState = [this](TCustomWSocket *, TSocksAuthState a) {
            log.push_back(std::string("auth ") + AuthName(a));
        };
        s.OnSessionConnected = [this](TCustomWSocket *, std::uint16_t e) {
            log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TCustomWSocket *, std::uint16_t e) {
            log.push_back("closed " + std::to_string(e));
            closed = true;
        };
        s.OnDataAvailable = [this](TCustomWSocket *sender, std::uint16_t) {
            if (log.empty() || log.back() != "data")
                log.push_back("data");
            char buf[4096];
            const int n = sender->Receive(buf, std::min(readSize, static_cast<int>(sizeof buf)));
            if (n > 0) {
                data.append(buf, static_cast<std::size_t>(n));
                reads.emplace_back(buf, static_cast<std::size_t>(n));
            }
        };
    }

    void Through(const std::string &socksPort, const std::string &level,
                 const std::string &addr = "www.example.invalid", const std::string &port = "8080")
    {
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(socksPort);
        s.SetSocksLevel(level);
        s.SetAddr(addr);
        s.SetPort(port);
        s.Connect();
    }

    bool Connected() const { return std::find(log.begin(), log.end(), "connected 0") != log.end(); }
};

void ExpectScriptPlayed(const ScriptedPeer &peer)
{
    EXPECT_TRUE(PumpUntil([&] { return peer.Done(); }));
    for (const std::string &p : peer.Problems())
        ADD_FAILURE() << "peer: " << p;
}

} // namespace

TEST(SocksNegotiation, Socks5WithoutAuthenticationSendsTheDestinationAsAName)
{
    // An IPv6 address travels as one, and a server may give its bound
    // address in IPv6.
    const std::string v6Request = Bytes({5, 1, 0, 4}) + std::string(15, '\0') + Bytes({1, 0x1F, 0x90});
    const std::string v6Grant =
        Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0D, 0xB8}) + std::string(11, '\0') + Bytes({5, 0x04, 0xD2});
    struct Row {
        const char *name;
        std::string addr;
        std::string request; // empty: the address as a name
        std::string grant;
        std::string bound;
    };
    const Row rows[] = {
        {"host name", "www.example.invalid", "", kGrantIpv4, "10.1.2.3"},
        {"dotted address", "10.9.8.7", "", kGrantIpv4, "10.1.2.3"},
        {"IPv6 address", "::1", v6Request, kGrantIpv4, "10.1.2.3"},
        {"IPv6 address in brackets, bound address in IPv6", "[::1]", v6Request, v6Grant, "2001:db8::5"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer;
        peer.Expect(Bytes({5, 1, 0}))
            .Send(Bytes({5, 0}))
            .Expect(row.request.empty() ? Socks5Connect(row.addr, 8080) : row.request)
            .Send(row.grant);
        peer.Start();
        SocksClient client;
        client.Through(peer.Port(), "5", row.addr);
        ASSERT_TRUE(PumpUntil([&] { return client.Connected() || client.closed; }));
        ExpectScriptPlayed(peer);
        EXPECT_EQ(client.log, (Log{"socks connected 0", "connected 0", "data"}));
        EXPECT_EQ(client.s.SocksBoundAddr(), row.bound);
        EXPECT_EQ(client.s.SocksBoundPort(), "1234");
        EXPECT_EQ(client.s.PeerPort(), peer.Port()) << "the TCP connection goes to the SOCKS server";
        EXPECT_EQ(client.s.ReadCount(), 0) << "the handshake is not data of the stream";
        EXPECT_EQ(client.s.RcvdCount(), 0);
    }
}

TEST(SocksNegotiation, RepliesInOneByteFragmentsAreEvaluatedWhenComplete)
{
    ScriptedPeer peer;
    const std::string host = "proxy.local";
    // The first byte of each reply alone must not move the client on.
    peer.Expect(Bytes({5, 1, 0}))
        .Send(Bytes({5}))
        .Silence(150)
        .Send(Bytes({0}))
        .Expect(Socks5Connect("dest.invalid", 80))
        .SendBytewise(Bytes({5, 0, 0, 3, static_cast<int>(host.size())}) + host + Bytes({0x1F, 0x90}));
    peer.Start();
    SocksClient client;
    client.Through(peer.Port(), "5", "dest.invalid", "80");
    ASSERT_TRUE(PumpUntil([&] { return client.Connected() || client.closed; }));
    ExpectScriptPlayed(peer);
    EXPECT_EQ(client.log, (Log{"socks connected 0", "connected 0", "data"}));
    EXPECT_EQ(client.s.SocksBoundAddr(), host) << "a bound address given as a name";
    EXPECT_EQ(client.s.SocksBoundPort(), "8080");
}

TEST(SocksNegotiation, Socks5UserCodeAuthentication)
{
    const std::string authRequest = Bytes({1, 4}) + "user" + Bytes({6}) + "secret";
    struct Row {
        const char *name;
        std::function<void(ScriptedPeer &)> script;
        Log log;
    };
    const Row rows[] = {
        {"accepted, reply in fragments",
         [&](ScriptedPeer &p) {
             p.Expect(Bytes({5, 1, 2}))
                 .Send(Bytes({5, 2}))
                 .Expect(authRequest)
                 .Send(Bytes({1}))
                 .Silence(150)
                 .Send(Bytes({0}))
                 .Expect(Socks5Connect("www.example.invalid", 8080))
                 .Send(kGrantIpv4);
         },
         {"socks connected 0", "auth begin", "auth accepted", "connected 0", "data"}},
        {"server needs none",
         [&](ScriptedPeer &p) {
             p.Expect(Bytes({5, 1, 2}))
                 .Send(Bytes({5, 0}))
                 .Expect(Socks5Connect("www.example.invalid", 8080))
                 .Send(kGrantIpv4);
         },
         {"socks connected 0", "auth not needed", "connected 0", "data"}},
        {"wrong password",
         [&](ScriptedPeer &p) {
             p.Expect(Bytes({5, 1, 2})).Send(Bytes({5, 2})).Expect(authRequest).Send(Bytes({1, 1}));
         },
         {"socks connected 0", "auth begin", "socks error 20015 socks authentication failed", "connected 20015",
          "closed 20015"}},
        {"server hangs up during authentication",
         [&](ScriptedPeer &p) {
             p.Expect(Bytes({5, 1, 2})).Send(Bytes({5, 2})).Expect(authRequest).HangUp();
         },
         {"socks connected 0", "auth begin", "auth rejected", "closed 0"}},
        {"authentication reply too long",
         [&](ScriptedPeer &p) {
             p.Expect(Bytes({5, 1, 2})).Send(Bytes({5, 2})).Expect(authRequest).Send(Bytes({1, 0, 0}));
         },
         {"socks connected 0", "auth begin", "socks error 20001 too much data availaible", "connected 20001",
          "closed 20001"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer;
        row.script(peer);
        peer.Start();
        SocksClient client;
        client.s.SetSocksUsercode("user");
        client.s.SetSocksPassword("secret");
        client.s.SetSocksAuthentication(socksAuthenticateUsercode);
        client.Through(peer.Port(), "5");
        ASSERT_TRUE(PumpUntil([&] { return (client.Connected() && peer.Done()) || client.closed; }));
        ExpectScriptPlayed(peer);
        EXPECT_EQ(client.log, row.log);
    }
}

TEST(SocksNegotiation, CredentialsAskedForThatDoNotFitAreNotSent)
{
    // Nothing was offered, so the settings were not refused at Connect.
    ScriptedPeer peer;
    peer.Expect(Bytes({5, 1, 0})).Send(Bytes({5, 2})).Silence(200);
    peer.Start();
    SocksClient client;
    client.s.SetSocksUsercode(std::string(100, 'u'));
    client.s.SetSocksPassword(std::string(100, 'p'));
    client.Through(peer.Port(), "5");
    ASSERT_TRUE(PumpUntil([&] { return client.closed; }));
    ExpectScriptPlayed(peer);
    EXPECT_EQ(client.log,
              (Log{"socks connected 0", "auth begin",
                   "socks error 20013 Socks user code and password too long: at most 125 characters together",
                   "connected 20013", "closed 20013"}));
}

TEST(SocksNegotiation, FailuresReportTheirCodeThreeTimes)
{
    struct Row {
        std::string name;
        std::string level;
        std::string reply;              // answers the method request (5) or the connect request (4)
        std::string grantedMethodFirst; // SOCKS 5: the method reply, when the connect reply is under test
        int code;
        std::string message;
    };
    const std::string ok = Bytes({5, 0});
    std::vector<Row> rows = {
        {"4: rejected", "4", Bytes({0, 91, 0, 0, 0, 0, 0, 0}), "", 20016, "request rejected or failed"},
        {"4: refused", "4", Bytes({0, 92, 0, 0, 0, 0, 0, 0}), "", 20008, "connection refused"},
        {"4: identd", "4", Bytes({0, 93, 0, 0, 0, 0, 0, 0}), "", 20015, "authentification failed"},
        {"4: unknown code", "4", Bytes({0, 99, 0, 0, 0, 0, 0, 0}), "", 20012, "unassigned error #99"},
        {"4: version", "4", Bytes({4, 90, 0, 0, 0, 0, 0, 0}), "", 20002, "socks version error"},
        {"4A: rejected", "4A", Bytes({0, 91, 0, 0, 0, 0, 0, 0}), "", 20016, "request rejected or failed"},
        {"5: method version", "5", Bytes({4, 0}), "", 20002, "socks version error"},
        {"5: no acceptable method", "5", Bytes({5, 0xFF}), "", 20003, "authentification method not acceptable"},
        {"5: reply version", "5", Bytes({4, 0, 0, 1}), ok, 20002, "socks version error"},
        {"5: unknown address type", "5", Bytes({5, 0, 0, 5, 1}), ok, 20011, "address type not supported"},
        {"5: unknown code", "5", Bytes({5, 9, 0, 1}), ok, 20012, "unassigned error #9"},
    };
    const char *const socks5Errors[] = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "network unreachable",          "host unreachable",
        "connection refused",           "time to live expired",
        "command not supported",        "address type not supported",
    };
    for (int code = 1; code <= 8; ++code)
        rows.push_back(
            {"5: code " + std::to_string(code), "5", Bytes({5, code, 0, 1}), ok, 20003 + code, socks5Errors[code - 1]});

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer;
        if (row.level == "5") {
            peer.Expect(Bytes({5, 1, 0}));
            if (!row.grantedMethodFirst.empty())
                peer.Send(row.grantedMethodFirst).Expect(Socks5Connect("127.0.0.1", 80));
        } else if (row.level == "4") {
            peer.Expect(Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0}));
        } else {
            peer.Expect(Bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + "127.0.0.1" + Bytes({0}));
        }
        peer.Send(row.reply);
        peer.Start();
        SocksClient client;
        client.Through(peer.Port(), row.level, "127.0.0.1", "80");
        ASSERT_TRUE(PumpUntil([&] { return client.closed; }));
        ExpectScriptPlayed(peer);
        const std::string code = std::to_string(row.code);
        EXPECT_EQ(client.log, (Log{"socks connected 0", "socks error " + code + " " + row.message, "connected " + code,
                                   "closed " + code}));
        EXPECT_EQ(client.s.State(), wsClosed);
    }
}

TEST(SocksNegotiation, Socks4And4ARequestsAndTheDataBehind)
{
    struct Row {
        const char *name;
        std::string level;
        std::string addr;
        std::string request;
    };
    const Row rows[] = {
        {"4 with a dotted destination", "4", "127.0.0.1", Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "joe" + Bytes({0})},
        {"4 looks the name up itself", "4", "localhost", Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "joe" + Bytes({0})},
        {"4A leaves the name to the server", "4A", "dest.invalid",
         Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1}) + "joe" + Bytes({0}) + "dest.invalid" + Bytes({0})},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer;
        peer.Expect(row.request).Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "hello").Expect("ping").Send("pong");
        peer.Start();
        SocksClient client;
        client.s.OnSessionConnected = [&](TCustomWSocket *s, std::uint16_t e) {
            client.log.push_back("connected " + std::to_string(e));
            s->SendString("ping");
        };
        client.s.SetSocksUsercode("joe");
        client.Through(peer.Port(), row.level, row.addr, "8080");
        ASSERT_TRUE(PumpUntil([&] { return client.data == "hellopong" || client.closed; }));
        ExpectScriptPlayed(peer);
        EXPECT_EQ(client.log, (Log{"socks connected 0", "connected 0", "data"}));
        EXPECT_EQ(client.data, "hellopong");
    }
}

TEST(SocksNegotiation, Socks4DestinationThatCannotBeResolved)
{
    ScriptedPeer peer;
    peer.Silence(300);
    peer.Start();
    SocksClient client;
    client.Through(peer.Port(), "4", "no-such-host.invalid");
    ASSERT_TRUE(PumpUntil([&] { return client.closed; }));
    ExpectScriptPlayed(peer);
    // Looked up without blocking, and reported as every other refusal: the
    // owner learns that its connection did not come about.
    ASSERT_EQ(client.log.size(), 4u);
    EXPECT_EQ(client.log[0], "socks connected 0");
    EXPECT_EQ(client.log[1].rfind("socks error 20017 can't resolve the destination no-such-host.invalid (", 0), 0u)
        << client.log[1];
    EXPECT_EQ(client.log[2], "connected 20017");
    EXPECT_EQ(client.log[3], "closed 20017");
}

TEST(SocksNegotiation, LeftoverBehindTheReplyIsReadFirst)
{
    for (const bool noLoop : {false, true}) {
        SCOPED_TRACE(noLoop ? "wsoNoReceiveLoop" : "receive loop");
        ScriptedPeer peer;
        peer.Expect(Bytes({5, 1, 0}))
            .Send(Bytes({5, 0}))
            .Expect(Socks5Connect("www.example.invalid", 8080))
            .Send(kGrantIpv4 + "HELLO")
            .Pause(400)
            .Send(" WORLD");
        peer.Start();
        SocksClient client;
        client.s.SetComponentOptions(noLoop ? TWSocketOptions{wsoNoReceiveLoop} : TWSocketOptions{0});
        client.readSize = 3; // takes the leftover in pieces
        int rcvdAtConnect = -1;
        client.s.OnSessionConnected = [&](TCustomWSocket *s, std::uint16_t e) {
            client.log.push_back("connected " + std::to_string(e));
            rcvdAtConnect = s->RcvdCount();
        };
        client.Through(peer.Port(), "5");
        // All of it, without waiting for more data from the network to push it out.
        EXPECT_TRUE(PumpUntil([&] { return client.data.size() >= 5 || client.closed; }, 300));
        EXPECT_EQ(client.data, "HELLO");
        ASSERT_TRUE(PumpUntil([&] { return client.data.size() >= 11 || client.closed; }));
        ExpectScriptPlayed(peer);
        EXPECT_EQ(rcvdAtConnect, 5) << "the leftover counts as waiting";
        ASSERT_FALSE(client.reads.empty());
        EXPECT_EQ(client.reads[0], "HEL");
        EXPECT_EQ(client.data, "HELLO WORLD");
        EXPECT_EQ(client.s.ReadCount(), 11);
    }
}

TEST(SocksNegotiation, SocksServerNotListening)
{
    SocksClient client;
    client.Through(UnusedPort(), "5");
    ASSERT_TRUE(PumpUntil([&] { return client.closed; }));
    EXPECT_EQ(client.log, (Log{"socks connected 10061", "connected 10061", "closed 0"}));
}

TEST(SocksSettings, RefusalsWhileInUseAndForOtherUses)
{
    LoopbackServer server;
    TWSocket client;
    Aim(client, server.Port());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected; }));
    struct Row {
        const char *name;
        std::function<void()> change;
        std::string message;
    };
    const Row whileOpen[] = {
        {"server", [&] { client.SetSocksServer("127.0.0.1"); }, "Can't change socks server if not closed"},
        {"port", [&] { client.SetSocksPort("1080"); }, "Can't change socks port if not closed"},
        {"level", [&] { client.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
    };
    for (const Row &row : whileOpen) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ErrorOf(row.change), row.message);
    }
    EXPECT_EQ(client.SocksServer(), "");
    EXPECT_EQ(client.SocksLevel(), "5");
    client.Close();

    TWSocket s;
    s.SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1") << "trimmed";
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "Listening is not supported thru socks server");
    s.SetProto("udp");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");
    s.SetProto("TCP");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "connect: WSocketResolvePort: Invalid Port.") << "no SOCKS port";
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), ws::INVALID_SOCKET);
}

TEST(SocksSettings, SettingsThatDoNotFitARequestAreRefusedBeforeConnecting)
{
    struct Row {
        const char *name;
        std::string level;
        TSocksAuthentication auth;
        std::size_t user, password, addr;
        std::string message;          // empty: accepted
        std::string destination = {}; // empty: one made of addr's length
    };
    const Row rows[] = {
        {"5: longest name", "5", socksNoAuthentication, 0, 0, 121, ""},
        {"5: name too long", "5", socksNoAuthentication, 0, 0, 122,
         "Socks destination address too long: at most 121 characters"},
        {"5: name of 300", "5", socksNoAuthentication, 0, 0, 300,
         "Socks destination address too long: at most 121 characters"},
        {"5: longest user code and password", "5", socksAuthenticateUsercode, 100, 25, 10, ""},
        {"5: user code and password too long", "5", socksAuthenticateUsercode, 100, 26, 10,
         "Socks user code and password too long: at most 125 characters together"},
        {"5: long password but no authentication", "5", socksNoAuthentication, 200, 200, 10, ""},
        {"4: longest user code", "4", socksNoAuthentication, 119, 0, 9, ""},
        {"4: user code too long", "4", socksNoAuthentication, 120, 0, 9,
         "Socks user code too long: at most 119 characters"},
        {"4A: longest user code and name", "4A", socksNoAuthentication, 100, 0, 18, ""},
        {"4A: user code and name too long", "4A", socksNoAuthentication, 100, 0, 19,
         "Socks user code and destination address too long: at most 118 characters together"},
        {"4: an IPv6 address", "4", socksNoAuthentication, 0, 0, 0,
         "SOCKS 4 cannot carry the IPv6 address ::1: use SOCKS 4A or 5", "::1"},
        {"4A: an IPv6 address goes as text", "4A", socksNoAuthentication, 0, 0, 0, "", "::1"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer; // counts as used only when a connection comes
        peer.Start();
        int lastError = -1;
        TWSocket s;
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(peer.Port());
        s.SetSocksLevel(row.level);
        s.SetSocksAuthentication(row.auth);
        s.SetSocksUsercode(std::string(row.user, 'u'));
        s.SetSocksPassword(std::string(row.password, 'p'));
        s.SetAddr(!row.destination.empty() ? row.destination
                  : row.level == "4"       ? std::string("127.0.0.1")
                                           : std::string(row.addr, 'a'));
        s.SetPort("80");
        const std::string error = ErrorOf([&] { s.Connect(); });
        EXPECT_EQ(error, row.message);
        if (row.message.empty()) {
            EXPECT_TRUE(PumpUntil([&] { return peer.Accepted(); }));
        } else {
            s.OnError = [&](TCustomWSocket *sender) { lastError = sender->LastError(); };
            s.Connect();
            EXPECT_EQ(lastError, 10022) << "OnError sees a code, not 0";
            EXPECT_EQ(s.State(), wsClosed);
            EXPECT_EQ(s.HSocket(), ws::INVALID_SOCKET);
            PumpUntil([] { return false; }, 50);
            EXPECT_FALSE(peer.Accepted()) << "nothing may reach the server";
        }
    }
}

TEST(SocksSettings, SettingsSurviveTheCloseUntilTheCallerChangesThem)
{
    ScriptedPeer peer;
    peer.Expect(Bytes({5, 1, 2})).Send(Bytes({5, 0})).Expect(Socks5Connect("127.0.0.1", 80)).Send(kGrantIpv4);
    peer.Start();
    SocksClient client;
    client.s.SetSocksUsercode("user");
    client.s.SetSocksPassword("pw");
    client.s.SetSocksAuthentication(socksAuthenticateUsercode);
    client.Through(peer.Port(), "5", "127.0.0.1", "80");
    ASSERT_TRUE(PumpUntil([&] { return client.Connected() || client.closed; }));
    ExpectScriptPlayed(peer);
    client.s.Close();

    EXPECT_EQ(client.s.SocksServer(), "127.0.0.1");
    EXPECT_EQ(client.s.SocksPort(), peer.Port());
    EXPECT_EQ(client.s.SocksLevel(), "5");
    EXPECT_EQ(client.s.SocksUsercode(), "user");
    EXPECT_EQ(client.s.SocksPassword(), "pw");
    EXPECT_EQ(client.s.SocksAuthentication(), socksAuthenticateUsercode);

    // Only the caller's own change sends the next connection straight to the destination.
    client.s.SetSocksServer("");
    std::string got;
    LoopbackServer direct(
        [&](TWSocket &p) { p.OnDataAvailable = [&](TCustomWSocket *x, std::uint16_t) { got += x->ReceiveString(); }; });
    client.s.OnSessionConnected = [](TCustomWSocket *s, std::uint16_t e) {
        if (e == 0)
            s->SendString("direct");
    };
    Aim(client.s, direct.Port());
    client.s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return got == "direct"; }));
    EXPECT_EQ(client.s.PeerPort(), direct.Port());
}

TEST(SocksNegotiation, DeletedInsideItsOwnEventWhileTheDestinationIsLookedUp)
{
    // Another socket keeps the library loaded: its last clean-up would
    // cancel every lookup and hide the one left behind.
    TWSocket keeper;
    ScriptedPeer peer;
    peer.Silence(300);
    peer.Start();
    auto *s = new TWSocket;
    bool deleted = false;
    // The connect's write event comes in the same message as the connect,
    // right after the SOCKS 4 lookup of the destination has started. The
    // pause lets the lookup's answer be queued before the socket goes, so
    // it arrives while the window, destroyed from inside its own message,
    // still takes messages.
    s->OnDataSent = [&](TCustomWSocket *, std::uint16_t) {
        if (!deleted) {
            deleted = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            delete s;
        }
    };
    s->SetSocksServer("127.0.0.1");
    s->SetSocksPort(peer.Port());
    s->SetSocksLevel("4");
    s->SetAddr("localhost");
    s->SetPort("80");
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return deleted; }));
    // The lookup's answer would come now, into the freed socket.
    PumpUntil([] { return false; }, 300);
    ExpectScriptPlayed(peer);
}
