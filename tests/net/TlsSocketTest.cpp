#include "net/TlsWSocket.h"
#include "tests/net/SocketTestSupport.h"
#include "tests/support/NginxTlsFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/SocksFixtures.h"
#include "tests/support/TestCertificates.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

// What one plain-text exchange over a TLS session saw.
struct Exchange {
    std::vector<int> connected; // errors of OnSessionConnected, in order
    std::vector<int> closed;    // errors of OnSessionClosed
    std::string received;
    int dataSent = 0;
};

// Connects the socket, sends request once connected and collects the answer
// until the session closes or timeoutMs pass.
Exchange Converse(TCustomTlsWSocket &socket, const std::string &port, const std::string &request, int timeoutMs = 10000)
{
    Exchange x;
    socket.SetAddr("127.0.0.1");
    socket.SetPort(port);
    socket.SetProto("tcp");
    socket.OnSessionConnected = [&](TCustomWSocket *s, std::uint16_t error) {
        x.connected.push_back(error);
        if (error == 0)
            s->SendString(request);
    };
    socket.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        char buffer[3000];
        for (int n; (n = s->Receive(buffer, sizeof buffer)) > 0;)
            x.received.append(buffer, static_cast<std::size_t>(n));
    };
    socket.OnDataSent = [&](TCustomWSocket *, std::uint16_t) { ++x.dataSent; };
    socket.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t error) { x.closed.push_back(error); };
    socket.Connect();
    PumpUntil([&] { return !x.closed.empty(); }, timeoutMs);
    return x;
}

class TlsSocketTest : public ::testing::Test {
protected:
    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
    TestAuthority::Issued site_ = ca_.Issue("site", {"localhost", "127.0.0.1"});
};

TEST_F(TlsSocketTest, PageFromNginxDirectAndThroughSocks)
{
    NginxTlsServer nginx(site_);
    const std::string page(50000, 'p');
    nginx.Serve("page.txt", QByteArray::fromStdString(page));
    MicrosocksServer socks;
    for (const bool throughSocks : {false, true}) {
        SCOPED_TRACE(throughSocks ? "through SOCKS 5" : "direct");
        TCustomTlsWSocket socket;
        socket.SetTlsEnabled(true);
        if (throughSocks) {
            socket.SetSocksServer("127.0.0.1");
            socket.SetSocksPort(socks.PortText().toStdString());
        }
        const Exchange x = Converse(socket, nginx.PortText().toStdString(), "GET /page.txt HTTP/1.0\r\n\r\n");
        EXPECT_EQ(std::vector<int>{0}, x.connected) << socket.TlsReason();
        ASSERT_EQ(1u, x.closed.size());
        EXPECT_EQ(0, x.closed[0]);
        ASSERT_GT(x.received.size(), page.size());
        EXPECT_EQ(0u, x.received.rfind("HTTP/1.1 200 OK\r\n", 0));
        EXPECT_EQ(page, x.received.substr(x.received.size() - page.size()));
        EXPECT_GE(x.dataSent, 1) << "the request's sending is reported";
        EXPECT_FALSE(socket.TlsActive());
    }
}

// A server that speaks first (a greeting) may send it in the same piece as the
// end of its handshake; it reaches the owner then, not when more bytes or the
// close happen to follow.
TEST_F(TlsSocketTest, GreetingThatCameWithTheHandshakesEndIsReadAtOnce)
{
    ScriptedServer server(
        {ConnectionScript()
             .TlsWithGreeting(site_.certificateFile.toStdString(), site_.keyFile.toStdString(), "220 benvenuto\r\n")
             .Hold()});
    TCustomTlsWSocket socket;
    socket.SetTlsEnabled(true);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(server.PortText());
    socket.SetProto("tcp");
    std::vector<int> connected;
    std::string received;
    socket.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t error) { connected.push_back(error); };
    socket.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        char buffer[256];
        for (int n; (n = s->Receive(buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<std::size_t>(n));
    };
    socket.Connect();
    EXPECT_TRUE(PumpUntil([&] { return received.size() >= 15; }, 3000)) << "the server holds the connection";
    EXPECT_EQ(std::vector<int>{0}, connected);
    EXPECT_EQ("220 benvenuto\r\n", received);
    EXPECT_EQ("TLSv1.2", socket.TlsProtocol());
    socket.Close();
}

TEST_F(TlsSocketTest, HandshakeStartedOnAnOpenConnection)
{
    NginxTlsServer nginx(site_);
    nginx.Serve("a.txt", "tunnelled");
    TCustomTlsWSocket socket;
    socket.SetTlsHost("localhost");
    std::vector<int> done;
    std::string received;
    bool closed = false;
    socket.SetAddr("127.0.0.1");
    socket.SetPort(nginx.PortText().toStdString());
    socket.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t error) {
        ASSERT_EQ(0, error);
        socket.StartTls();
    };
    socket.OnTlsHandshakeDone = [&](TCustomWSocket *s, std::uint16_t error) {
        done.push_back(error);
        s->SendString("GET /a.txt HTTP/1.0\r\nHost: localhost\r\n\r\n");
    };
    socket.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) { received += s->ReceiveString(); };
    socket.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t) { closed = true; };
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return closed; }, 10000));
    EXPECT_EQ(std::vector<int>{0}, done);
    EXPECT_NE(std::string::npos, received.find("\r\n\r\ntunnelled")) << received;
}

TEST_F(TlsSocketTest, HandshakeFailuresAreFailedConnects)
{
    const std::string serverHelloStart("\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03", 11);
    struct Row {
        const char *name;
        ConnectionScript script;
        int timeoutMs;
        TlsFailure failure;
    };
    const Row rows[] = {
        {"garbage instead of a hello", ConnectionScript().ReadBytes(5).Send("SSH-2.0-OpenSSH_9.2\r\n").Pause(200), 0,
         TlsFailure::NotTls},
        {"closed after the hello", ConnectionScript().ReadBytes(5).Close(), 0, TlsFailure::ClosedEarly},
        {"reset after the hello", ConnectionScript().ReadBytes(5).Reset(), 0, TlsFailure::ClosedEarly},
        {"stalls mid-handshake", ConnectionScript().ReadBytes(5).Send(serverHelloStart).Hold(), 300,
         TlsFailure::TimedOut},
        {"says nothing", ConnectionScript().Hold(), 300, TlsFailure::TimedOut},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({row.script});
        TCustomTlsWSocket socket;
        socket.SetTlsEnabled(true);
        socket.SetTlsHandshakeTimeout(row.timeoutMs);
        const Exchange x = Converse(socket, server.PortText(), "never sent");
        EXPECT_EQ(std::vector<int>{TlsErrorCode(row.failure)}, x.connected);
        EXPECT_EQ(std::vector<int>{TlsErrorCode(row.failure)}, x.closed);
        EXPECT_EQ(row.failure, socket.TlsLastFailure());
        EXPECT_EQ(TlsFailureText(row.failure), socket.TlsReason());
        EXPECT_EQ(0, x.dataSent) << "the hello is not the owner's data";
        EXPECT_EQ(wsClosed, socket.State());
        server.Stop();
        if (!server.Requests().empty()) {
            EXPECT_EQ(nullptr, std::strstr(server.Requests()[0].c_str(), "never sent"));
        }
    }
}

TEST_F(TlsSocketTest, AbortInTheMiddleOfAHandshakeEndsItQuietly)
{
    ScriptedServer server({ConnectionScript().Hold()});
    TCustomTlsWSocket socket;
    socket.SetTlsEnabled(true);
    socket.SetTlsHandshakeTimeout(200);
    std::vector<int> connected, closed;
    socket.SetAddr("127.0.0.1");
    socket.SetPort(server.PortText());
    socket.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t e) { connected.push_back(e); };
    socket.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) { closed.push_back(e); };
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return server.Connections() == 1 && socket.TlsActive(); }));
    socket.Abort();
    EXPECT_FALSE(socket.TlsActive());
    EXPECT_EQ(wsClosed, socket.State());
    // The handshake's time limit must not fire for a session that is gone.
    PumpUntil([] { return false; }, 500);
    EXPECT_TRUE(connected.empty());
    EXPECT_EQ(std::vector<int>{0}, closed);
}

} // namespace
