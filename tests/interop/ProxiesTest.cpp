#include "tests/interop/InteropProxies.h"
#include "tests/interop/InteropServers.h"
#include "tests/interop/InteropVisit.h"
#include "tests/support/NginxTlsFixture.h"
#include "tests/support/SocksFixtures.h"
#include "tests/support/TinyproxyFixture.h"

#include <memory>

namespace {

// A proxy of the system, how the client is pointed at it, and the requests
// only it refuses.
struct ProxyUnderTest {
    std::vector<std::unique_ptr<PeerProcess>> processes;
    std::uint16_t port = 0;
    // An HTTP proxy; otherwise a SOCKS server speaking these levels.
    bool http = false;
    std::vector<std::string> socksLevels;
    struct Refusal {
        std::string name;
        std::string url;
        VisitSetup setup; // how the client goes through the proxy for it
    };
    std::vector<Refusal> ownRefusals;
    // Ways through it besides the usual ones.
    std::vector<std::pair<std::string, VisitSetup>> extraWays;
};

VisitSetup ThroughHttpProxy(std::uint16_t port)
{
    return [port](THttpCli &cli) { cli.SetProxy("127.0.0.1:" + std::to_string(port)); };
}

VisitSetup ThroughSocks(std::uint16_t port, const std::string &level, const std::string &user = {},
                        const std::string &password = {})
{
    return [=](THttpCli &cli) {
        cli.SetSocksServer("127.0.0.1");
        cli.SetSocksPort(std::to_string(port));
        cli.SetSocksLevel(level);
        if (!user.empty()) {
            cli.SetSocksAuthentication(socksAuthenticateUsercode);
            cli.SetSocksUsercode(user);
            cli.SetSocksPassword(password);
        }
    };
}

class Proxies : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        try {
            // On both loopbacks: squid looks localhost up in the hosts file,
            // takes ::1 alone and does not try 127.0.0.1.
            NginxTlsServer::Options options;
            options.alsoOnIPv6 = true;
            site_ = std::make_unique<NginxTlsServer>(certificate_, options);
            SiteFiles::WriteInto(*site_, "www");
            StartProxy(GetParam());
        } catch (const std::exception &e) {
            FAIL() << "peer not available: " << e.what();
        }
    }

    void StartProxy(const std::string &kind)
    {
        const std::string plain = site_->PlainPortText().toStdString();
        const std::string page = "/page.htm";
        if (kind == "squid") {
            proxy_.processes.push_back(StartSquid());
            proxy_.port = proxy_.processes.back()->Port();
            proxy_.http = true;
            const VisitSetup way = ThroughHttpProxy(proxy_.port);
            proxy_.ownRefusals = {{"forbidden destination", "http://127.0.0.2:" + plain + page, way},
                                  {"forbidden tunnel", "https://127.0.0.2:" + plain + page, way}};
        } else if (kind == "tinyproxy") {
            // Tunnels to the TLS side only: the open plain port is not allowed.
            proxy_.processes.push_back(std::make_unique<TinyproxyServer>("ConnectPort " + site_->PortText() + "\n"));
            proxy_.port = proxy_.processes.back()->Port();
            proxy_.http = true;
            proxy_.ownRefusals = {
                {"tunnel to a port not allowed", "https://localhost:" + plain + page, ThroughHttpProxy(proxy_.port)}};
        } else if (kind == "dante") {
            proxy_.processes.push_back(std::make_unique<DanteServer>());
            proxy_.port = proxy_.processes.back()->Port();
            proxy_.socksLevels = {"4", "5"};
            proxy_.ownRefusals = {{"destination outside its rules, SOCKS 4", "http://127.0.0.2:" + plain + page,
                                   ThroughSocks(proxy_.port, "4")},
                                  {"destination outside its rules, SOCKS 5", "http://127.0.0.2:" + plain + page,
                                   ThroughSocks(proxy_.port, "5")},
                                  {"SOCKS 4A, which it does not speak", "http://localhost:" + plain + page,
                                   ThroughSocks(proxy_.port, "4A")}};
        } else if (kind == "microsocks") {
            proxy_.processes.push_back(std::make_unique<MicrosocksServer>());
            proxy_.port = proxy_.processes.back()->Port();
            proxy_.socksLevels = {"5"};
            proxy_.processes.push_back(std::make_unique<MicrosocksServer>("quorvi", "secret"));
            const std::uint16_t guarded = proxy_.processes.back()->Port();
            proxy_.ownRefusals = {
                {"SOCKS 4, which it does not speak", "http://127.0.0.1:" + plain + page,
                 ThroughSocks(proxy_.port, "4")},
                {"wrong password", "http://127.0.0.1:" + plain + page, ThroughSocks(guarded, "5", "quorvi", "wrong")}};
            // The right password opens the way: the success next to the refusal.
            proxy_.extraWays = {
                {"SOCKS 5 with user name and password", ThroughSocks(guarded, "5", "quorvi", "secret")}};
        } else if (kind == "ssh_dynamic") {
            ssh_ = std::make_unique<SshDynamicForward>();
            proxy_.port = ssh_->Port();
            proxy_.socksLevels = {"4", "4A", "5"};
        } else {
            FAIL() << "no proxy " << kind;
        }
    }

    // Every way through the proxy the client can take.
    std::vector<std::pair<std::string, VisitSetup>> Ways() const
    {
        std::vector<std::pair<std::string, VisitSetup>> ways;
        if (proxy_.http)
            ways.emplace_back("as HTTP proxy", ThroughHttpProxy(proxy_.port));
        for (const std::string &level : proxy_.socksLevels)
            ways.emplace_back("SOCKS " + level, ThroughSocks(proxy_.port, level));
        return ways;
    }

    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
    TestAuthority::Issued certificate_ = ca_.Issue("site", {"localhost", "127.0.0.1"});
    std::unique_ptr<NginxTlsServer> site_;
    ProxyUnderTest proxy_;
    std::unique_ptr<SshDynamicForward> ssh_;
};

TEST_P(Proxies, HttpAndHttpsPagesArriveThroughIt)
{
    const std::string http = "http://127.0.0.1:" + site_->PlainPortText().toStdString() + "/page.htm";
    const std::string https = "https://localhost:" + site_->PortText().toStdString() + "/page.htm";
    auto ways = Ways();
    ways.insert(ways.end(), proxy_.extraWays.begin(), proxy_.extraWays.end());
    for (const auto &[way, setup] : ways) {
        for (const std::string &url : {http, https}) {
            SCOPED_TRACE(url + " " + way);
            const Visit visit = VisitUrl(url, setup);
            EXPECT_FALSE(visit.outcome.raised) << visit.outcome.message;
            EXPECT_EQ(200, visit.status) << visit.reason;
            EXPECT_EQ(SiteFiles::Page(), visit.body);
            EXPECT_TRUE(visit.doneCame);
            EXPECT_EQ(0, visit.doneError);
        }
    }
}

// A proxy that will not or cannot reach the destination makes the visit
// fail, with a status and a reason a user can read, never an empty success.
TEST_P(Proxies, RefusalsFailTheVisitWithAReason)
{
    // Nothing listens there.
    const std::string closed = std::to_string(FreeLoopbackPort());
    std::vector<ProxyUnderTest::Refusal> refusals;
    for (const auto &[way, setup] : Ways()) {
        refusals.push_back({"destination refuses http, " + way, "http://127.0.0.1:" + closed + "/page.htm", setup});
        refusals.push_back({"destination refuses https, " + way, "https://localhost:" + closed + "/page.htm", setup});
    }
    refusals.insert(refusals.end(), proxy_.ownRefusals.begin(), proxy_.ownRefusals.end());
    for (const auto &refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        const Visit visit = VisitUrl(refusal.url, refusal.setup);
        EXPECT_TRUE(visit.outcome.raised) << "status " << visit.status << ", " << visit.body.size() << " bytes";
        EXPECT_GE(visit.status, 400);
        EXPECT_FALSE(visit.reason.empty());
        EXPECT_EQ(std::string::npos, visit.reason.find("Not a WinSock error")) << visit.reason;
        EXPECT_TRUE(visit.doneCame);
    }
    EXPECT_TRUE(site_->AccessLog().isEmpty()) << "no refused request may reach the site";
}

// haproxy also holds a proxied request to RFC 9112: its Host must name the
// authority of the address it carries, port included.
TEST(ProxyClosing, PlainRequestPassesTunnelItClosesOnFails)
{
    TestAuthority ca;
    TrustOnly trust(ca.CertificateFile());
    std::unique_ptr<NginxTlsServer> site;
    std::unique_ptr<PeerProcess> proxy;
    try {
        site = std::make_unique<NginxTlsServer>(ca.Issue("site", {"localhost", "127.0.0.1"}));
        proxy = StartProxyClosingOnConnect(site->PlainPort());
    } catch (const std::exception &e) {
        FAIL() << "peer not available: " << e.what();
    }
    SiteFiles::WriteInto(*site, "www");
    const VisitSetup way = ThroughHttpProxy(proxy->Port());

    const Visit plain = VisitUrl("http://127.0.0.1:" + site->PlainPortText().toStdString() + "/page.htm", way);
    EXPECT_FALSE(plain.outcome.raised) << plain.outcome.message;
    EXPECT_EQ(200, plain.status) << plain.reason;
    EXPECT_EQ(SiteFiles::Page(), plain.body);

    const Visit tunnel = VisitUrl("https://localhost:" + site->PortText().toStdString() + "/page.htm", way);
    EXPECT_TRUE(tunnel.outcome.raised) << "status " << tunnel.status << ", " << tunnel.body.size() << " bytes";
    EXPECT_GE(tunnel.status, 400);
    EXPECT_FALSE(tunnel.reason.empty());
    EXPECT_TRUE(tunnel.doneCame);
    EXPECT_NE(0, tunnel.doneError);
}

INSTANTIATE_TEST_SUITE_P(Interop, Proxies,
                         ::testing::Values("squid", "tinyproxy", "dante", "microsocks", "ssh_dynamic"),
                         [](const ::testing::TestParamInfo<std::string> &info) { return info.param; });

} // namespace
