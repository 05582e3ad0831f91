#include "tests/interop/InteropServers.h"
#include "tests/interop/InteropVisit.h"
#include "tests/support/NginxTlsFixture.h"
#include "tests/support/SilentAddress.h"
#include "tests/support/SocksFixtures.h"
#include "tests/support/TinyproxyFixture.h"

#include <memory>

// Servers and proxies that listen on the IPv6 loopback only, as today's
// development servers do. localhost names ::1 first and 127.0.0.1 second, as
// in Debian's hosts file.
namespace {

class IPv6Peers : public ::testing::Test {
protected:
    // nginx with each side on ::1 or 127.0.0.1, serving the site's files.
    std::unique_ptr<NginxTlsServer> StartSite(bool tlsOnIPv6, bool plainOnIPv6, const QString &plainLocations = {},
                                              const QString &tlsLocations = {})
    {
        NginxTlsServer::Options options;
        options.tlsOnIPv6 = tlsOnIPv6;
        options.plainOnIPv6 = plainOnIPv6;
        options.plainLocations = plainLocations;
        options.tlsLocations = tlsLocations;
        auto site = std::make_unique<NginxTlsServer>(certificate_, options);
        SiteFiles::WriteInto(*site, "www");
        return site;
    }

    static void ExpectPage(const Visit &visit)
    {
        EXPECT_FALSE(visit.outcome.raised) << visit.outcome.message;
        EXPECT_EQ(200, visit.status) << visit.reason;
        EXPECT_EQ(SiteFiles::Page(), visit.body);
        EXPECT_TRUE(visit.doneCame);
        EXPECT_EQ(0, visit.doneError);
    }

    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
    TestAuthority::Issued certificate_ = ca_.Issue("site", {"localhost", "127.0.0.1", "::1"});
};

} // namespace

TEST_F(IPv6Peers, ASiteOnTheIPv6LoopbackByAddressAndByName)
{
    std::unique_ptr<NginxTlsServer> v6only, v4only;
    try {
        v6only = StartSite(true, true);
        v4only = StartSite(false, false);
    } catch (const std::exception &e) {
        FAIL() << "peer not available: " << e.what();
    }
    const std::string plain6 = v6only->PlainPortText().toStdString(), tls6 = v6only->PortText().toStdString();
    const std::string plain4 = v4only->PlainPortText().toStdString(), tls4 = v4only->PortText().toStdString();
    const std::string rows[] = {
        "http://[::1]:" + plain6 + "/page.htm",
        "https://[::1]:" + tls6 + "/page.htm",
        "http://localhost:" + plain6 + "/page.htm",
        "https://localhost:" + tls6 + "/page.htm",
        // The first address (::1) refuses, the second answers.
        "http://localhost:" + plain4 + "/page.htm",
        "https://localhost:" + tls4 + "/page.htm",
    };
    for (const std::string &url : rows) {
        SCOPED_TRACE(url);
        ExpectPage(VisitUrl(url));
    }
    // Host names the address in its brackets.
    const QStringList log = v6only->AccessLog();
    ASSERT_EQ(log.size(), 4) << log.join('\n').toStdString();
    for (const QString &line : log)
        EXPECT_TRUE(line.startsWith("::1 ")) << line.toStdString();
    EXPECT_EQ(v4only->AccessLog().size(), 2);
}

TEST_F(IPv6Peers, RelocationFromIPv4ToIPv6AndBack)
{
    std::unique_ptr<NginxTlsServer> site;
    try {
        site = StartSite(true, false, "location = /chain { return 302 https://[::1]:$tls/back; }",
                         "location = /back { return 302 http://127.0.0.1:$plain/page.htm; }");
    } catch (const std::exception &e) {
        FAIL() << "peer not available: " << e.what();
    }
    const std::string plain = site->PlainPortText().toStdString();
    const Visit visit = VisitUrl("http://127.0.0.1:" + plain + "/chain");
    ExpectPage(visit);
    EXPECT_EQ(2, visit.relocations);
    EXPECT_EQ("http://127.0.0.1:" + plain + "/page.htm", visit.location);
}

TEST_F(IPv6Peers, ProxiesOnTheIPv6Loopback)
{
    std::unique_ptr<NginxTlsServer> site;
    std::unique_ptr<TinyproxyServer> tinyproxy;
    std::unique_ptr<MicrosocksServer> microsocks, guarded;
    try {
        site = StartSite(true, true);
        tinyproxy = std::make_unique<TinyproxyServer>("ConnectPort " + site->PortText() + "\n", true);
        microsocks = std::make_unique<MicrosocksServer>(QString(), QString(), true);
        guarded = std::make_unique<MicrosocksServer>("quorvi", "secret", true);
    } catch (const std::exception &e) {
        FAIL() << "peer not available: " << e.what();
    }
    const std::string http = "http://[::1]:" + site->PlainPortText().toStdString() + "/page.htm";
    const std::string https = "https://[::1]:" + site->PortText().toStdString() + "/page.htm";
    const std::string proxy = "[::1]:" + tinyproxy->PortText().toStdString();
    const std::string socksPort = microsocks->PortText().toStdString();
    const auto throughSocks = [&](const std::string &level, const std::string &port = {},
                                  const std::string &server = "::1") {
        return [=](THttpCli &cli) {
            cli.SetSocksServer(server);
            cli.SetSocksPort(port.empty() ? socksPort : port);
            cli.SetSocksLevel(level);
            if (!port.empty()) {
                cli.SetSocksAuthentication(socksAuthenticateUsercode);
                cli.SetSocksUsercode("quorvi");
                cli.SetSocksPassword("wrong");
            }
        };
    };
    const struct {
        const char *name;
        VisitSetup setup;
    } ways[] = {
        {"tinyproxy", [&](THttpCli &cli) { cli.SetProxy(proxy); }},
        {"microsocks, SOCKS 5", throughSocks("5")},
        // Its name is looked up in both families, without holding the program.
        {"microsocks named localhost", throughSocks("5", {}, "localhost")},
    };
    for (const auto &way : ways) {
        for (const std::string &url : {http, https}) {
            SCOPED_TRACE(url + " through " + way.name);
            ExpectPage(VisitUrl(url, way.setup));
        }
    }
    // SOCKS 4 has no room for an IPv6 destination: said before anything is sent.
    const Visit refused = VisitUrl(http, throughSocks("4"));
    EXPECT_TRUE(refused.outcome.raised);
    EXPECT_EQ(refused.reason, "can't connect: SOCKS 4 cannot carry the IPv6 address ::1: use SOCKS 4A or 5");
    // A refusal names the server with its address in brackets.
    const std::string guardedPort = guarded->PortText().toStdString();
    const Visit wrongPassword = VisitUrl(http, throughSocks("5", guardedPort));
    EXPECT_TRUE(wrongPassword.outcome.raised);
    EXPECT_EQ(wrongPassword.reason.rfind("SOCKS server [::1]:" + guardedPort + ": ", 0), 0u) << wrongPassword.reason;
    PumpUntil([&] { return site->AccessLog().size() == 6; });
    EXPECT_EQ(site->AccessLog().size(), 6);
}

// A first address that takes the attempt and never answers (a broken IPv6
// route): the second one starts beside it and the page comes at once, whether
// the name is the site's, the proxy's or the SOCKS server's.
TEST_F(IPv6Peers, ASilentFirstAddressCostsAQuarterSecondNotTheVisit)
{
    std::unique_ptr<NginxTlsServer> site;
    std::unique_ptr<TinyproxyServer> tinyproxy;
    std::unique_ptr<MicrosocksServer> microsocks;
    try {
        site = StartSite(false, false);
        tinyproxy = std::make_unique<TinyproxyServer>();
        microsocks = std::make_unique<MicrosocksServer>();
    } catch (const std::exception &e) {
        FAIL() << "peer not available: " << e.what();
    }
    const std::uint16_t plain = site->PlainPortText().toUShort(), tls = site->PortText().toUShort();
    const std::uint16_t proxyPort = tinyproxy->PortText().toUShort(), socksPort = microsocks->PortText().toUShort();
    SilentAddress silentPlain("::1", plain), silentTls("::1", tls), silentProxy("::1", proxyPort),
        silentSocks("::1", socksPort);
    for (const SilentAddress *silent : {&silentPlain, &silentTls, &silentProxy, &silentSocks})
        ASSERT_TRUE(silent->Ready()) << "no silent [::1]:" << silent->Port();
    const std::string byAddress = "http://127.0.0.1:" + std::to_string(plain) + "/page.htm";
    const struct {
        const char *name;
        std::string url;
        VisitSetup setup;
    } rows[] = {
        {"the site's name", "http://localhost:" + std::to_string(plain) + "/page.htm", {}},
        {"the site's name over TLS", "https://localhost:" + std::to_string(tls) + "/page.htm", {}},
        {"the proxy's name", byAddress, [&](THttpCli &cli) { cli.SetProxy("localhost:" + std::to_string(proxyPort)); }},
        {"the SOCKS server's name", byAddress,
         [&](THttpCli &cli) {
             cli.SetSocksServer("localhost");
             cli.SetSocksPort(std::to_string(socksPort));
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        // Without the second attempt the visit would wait for the kernel's
        // two minutes, far past the visit's guard.
        ExpectPage(VisitUrl(row.url, row.setup));
    }
    PumpUntil([&] { return site->AccessLog().size() == 4; });
    EXPECT_EQ(site->AccessLog().size(), 4);
}
