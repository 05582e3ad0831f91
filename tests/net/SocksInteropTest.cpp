#include "tests/net/ScriptedPeer.h"
#include "tests/net/SocketTestSupport.h"
#include "tests/support/SocksFixtures.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

// A web server of the test: answers one request per connection with a
// small page and closes.
class PageServer {
public:
    static constexpr const char *kResponse = "HTTP/1.0 200 OK\r\n"
                                             "Content-Type: text/plain\r\n"
                                             "\r\n"
                                             "first line\r\n"
                                             "second line\r\n"
                                             "last words";

    PageServer()
        : server_([this](TWSocket &peer) {
              peer.SetLingerOnOff(wsLingerNoSet);
              auto request = std::make_shared<std::string>();
              auto answered = std::make_shared<bool>(false);
              peer.OnDataAvailable = [this, request, answered](TCustomWSocket *s, std::uint16_t) {
                  *request += s->ReceiveString();
                  if (!*answered && request->find("\r\n\r\n") != std::string::npos) {
                      *answered = true;
                      requests_.push_back(*request);
                      s->SendString(kResponse);
                  }
              };
              peer.OnDataSent = [answered](TCustomWSocket *s, std::uint16_t) {
                  if (*answered)
                      s->CloseDelayed();
              };
          })
    {
    }
    std::string Port() { return server_.Port(); }
    const Lines &Requests() const { return requests_; }

private:
    Lines requests_;
    LoopbackServer server_;
};

struct Fetch {
    Lines log;
    Lines lines;
    bool closed = false;
};

// Fetches the page through the SOCKS server with a line-mode TWSocket.
Fetch FetchThrough(PageServer &pages, const std::string &socksPort, const std::string &level,
                   const std::function<void(TWSocket &)> &setUp = {})
{
    Fetch f;
    TWSocket client;
    client.SetLineMode(true);
    client.OnSocksError = [&](TCustomWSocket *, int e, const std::string &m) {
        f.log.push_back("socks error " + std::to_string(e) + " " + m);
    };
    client.OnSocksAuthState = [&](TCustomWSocket *, TSocksAuthState a) {
        f.log.push_back("auth " + std::to_string(static_cast<int>(a)));
    };
    client.OnSessionConnected = [&](TCustomWSocket *s, std::uint16_t e) {
        f.log.push_back("connected " + std::to_string(e));
        if (e == 0)
            s->SendString("GET /page HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    };
    client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        const std::string line = s->ReceiveString();
        if (!line.empty())
            f.lines.push_back(line);
    };
    client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) {
        f.log.push_back("closed " + std::to_string(e));
        f.closed = true;
    };
    client.SetSocksServer("127.0.0.1");
    client.SetSocksPort(socksPort);
    client.SetSocksLevel(level);
    if (setUp)
        setUp(client);
    Aim(client, pages.Port());
    client.Connect();
    EXPECT_TRUE(PumpUntil([&] { return f.closed; }, 10000));
    return f;
}

const Lines kPageLines = {
    "HTTP/1.0 200 OK\r\n", "Content-Type: text/plain\r\n", "\r\n", "first line\r\n", "second line\r\n", "last words"};

} // namespace

TEST(SocksInterop, Microsocks)
{
    struct Row {
        const char *name;
        bool serverWantsPassword;
        std::string password;
        TSocksAuthentication auth;
        Lines log;
    };
    const Row rows[] = {
        {"open server", false, "", socksNoAuthentication, {"connected 0", "closed 0"}},
        {"user and password",
         true,
         "s3cret",
         socksAuthenticateUsercode,
         {"auth 0", "auth 1", "connected 0", "closed 0"}},
        {"wrong password",
         true,
         "wrong",
         socksAuthenticateUsercode,
         {"auth 0", "socks error 20015 socks authentication failed", "connected 20015", "closed 20015"}},
        {"password wanted but not offered",
         true,
         "",
         socksNoAuthentication,
         {"socks error 20003 authentification method not acceptable", "connected 20003", "closed 20003"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<MicrosocksServer> socks;
        try {
            socks = row.serverWantsPassword ? std::make_unique<MicrosocksServer>("tester", "s3cret")
                                            : std::make_unique<MicrosocksServer>();
        } catch (const std::exception &e) {
            FAIL() << e.what();
        }
        const std::string port = socks->PortText().toStdString();
        PageServer pages;
        const Fetch f = FetchThrough(pages, port, "5", [&](TWSocket &s) {
            s.SetSocksUsercode("tester");
            s.SetSocksPassword(row.password);
            s.SetSocksAuthentication(row.auth);
        });
        EXPECT_EQ(f.log, row.log);
        if (row.log.front() == "connected 0" || row.log[1] == "auth 1") {
            EXPECT_EQ(f.lines, kPageLines);
            ASSERT_EQ(pages.Requests().size(), 1u);
            EXPECT_EQ(pages.Requests()[0].rfind("GET /page HTTP/1.0\r\n", 0), 0u);
        } else {
            EXPECT_TRUE(f.lines.empty());
            EXPECT_TRUE(pages.Requests().empty());
        }
    }
}

TEST(SocksInterop, Dante)
{
    std::unique_ptr<DanteServer> socks;
    try {
        socks = std::make_unique<DanteServer>();
    } catch (const std::exception &e) {
        FAIL() << e.what();
    }
    const std::string port = socks->PortText().toStdString();

    for (const std::string level : {"4", "5"}) {
        SCOPED_TRACE("SOCKS " + level);
        PageServer pages;
        const Fetch f = FetchThrough(pages, port, level);
        EXPECT_EQ(f.log, (Lines{"connected 0", "closed 0"}));
        EXPECT_EQ(f.lines, kPageLines);
        EXPECT_EQ(pages.Requests().size(), 1u);
    }
    // A destination the rules do not allow is refused by the server.
    {
        SCOPED_TRACE("refused by the rules");
        Fetch f;
        TWSocket client;
        client.OnSocksError = [&](TCustomWSocket *, int e, const std::string &) {
            f.log.push_back("socks error " + std::to_string(e));
        };
        client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t) { f.closed = true; };
        client.SetSocksServer("127.0.0.1");
        client.SetSocksPort(port);
        client.SetSocksLevel("4");
        client.SetAddr("127.0.0.2");
        client.SetPort("80");
        client.Connect();
        ASSERT_TRUE(PumpUntil([&] { return f.closed; }, 10000));
        EXPECT_EQ(f.log, Lines{"socks error 20016"});
    }
}
