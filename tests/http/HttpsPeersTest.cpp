#include "tests/http/HttpTestHelpers.h"
#include "tests/support/NginxTlsFixture.h"
#include "tests/support/SocksFixtures.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TinyproxyFixture.h"

#include <QCryptographicHash>
#include <memory>

namespace {

struct Done {
    int calls = 0;
    std::uint16_t error = 0;
    // OnRequestDone comes from the message loop after Get has returned.
    bool Came()
    {
        return PumpUntil([this] { return calls > 0; }, 5000);
    }
};

void Watch(THttpCli &cli, Done &done)
{
    cli.OnRequestDone = [&done](THttpCli *, THttpRequest, std::uint16_t error) {
        ++done.calls;
        done.error = error;
    };
}

class HttpsPeers : public ::testing::Test {
protected:
    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
    TestAuthority::Issued site_ = ca_.Issue("site", {"localhost", "127.0.0.1"});
    static inline const QByteArray page_ = "<html><body>\r\nQuorvi secure page\r\n</body></html>\r\n";
};

TEST_F(HttpsPeers, PagesAndRelocationsDirectThroughTinyproxyAndMicrosocks)
{
    NginxTlsServer::Options options;
    options.tlsLocations = "absolute_redirect off;\n"
                           "location = /to-plain { return 302 http://127.0.0.1:$plain/page.htm; }\n"
                           "location = /rel { return 302 /dir/page.htm; }\n"
                           "location = /dir/rel { return 302 page.htm; }";
    options.plainLocations = "location = /to-tls { return 301 https://localhost:$tls/page.htm; }\n"
                             "location = /to-tls-ip { return 301 HTTPS://127.0.0.1:$tls/dir/rel; }";
    NginxTlsServer nginx(site_, options);
    nginx.Serve("page.htm", page_);
    nginx.Serve("dir/page.htm", "in a folder");
    TinyproxyServer tinyproxy;
    MicrosocksServer microsocks;
    const std::string tls = nginx.PortText().toStdString();
    const std::string plain = nginx.PlainPortText().toStdString();

    struct Row {
        const char *name;
        std::string url;
        QByteArray body;
        std::string location; // where the page was found, when relocated
    };
    const Row rows[] = {
        {"a page by name", "https://localhost:" + tls + "/page.htm", page_, ""},
        {"a page by address", "https://127.0.0.1:" + tls + "/page.htm", page_, ""},
        {"scheme in capitals", "HTTPS://localhost:" + tls + "/page.htm", page_, ""},
        {"http to https", "http://127.0.0.1:" + plain + "/to-tls", page_, "https://localhost:" + tls + "/page.htm"},
        {"https to http", "https://localhost:" + tls + "/to-plain", page_, "http://127.0.0.1:" + plain + "/page.htm"},
        {"relative on https", "https://localhost:" + tls + "/rel", "in a folder",
         "https://localhost:" + tls + "/dir/page.htm"},
        {"http to https, then a relative one", "http://127.0.0.1:" + plain + "/to-tls-ip", "in a folder",
         "https://127.0.0.1:" + tls + "/dir/page.htm"},
    };
    for (const char *way : {"directly", "through tinyproxy", "through microsocks"}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(row.name) + " " + way);
            THttpCli cli;
            TMemoryStream body;
            cli.SetRcvdStream(&body);
            cli.SetURL(row.url);
            if (std::string(way) == "through tinyproxy")
                cli.SetProxy("127.0.0.1:" + tinyproxy.PortText().toStdString());
            if (std::string(way) == "through microsocks") {
                cli.SetSocksServer("127.0.0.1");
                cli.SetSocksPort(microsocks.PortText().toStdString());
            }
            Done done;
            Watch(cli, done);
            const GetOutcome outcome = RunGet(cli, 15000);
            EXPECT_FALSE(outcome.raised) << outcome.message;
            EXPECT_EQ(200, cli.StatusCode()) << cli.ReasonPhrase();
            EXPECT_EQ(row.body, QByteArray(body.Bytes().data(), static_cast<int>(body.Bytes().size())));
            if (!row.location.empty()) {
                EXPECT_EQ(row.location, cli.Location());
            }
            EXPECT_TRUE(done.Came());
            EXPECT_EQ(0, done.error);
        }
    }
    // Through tinyproxy every https request was a tunnel, never a proxied GET.
    int tunnels = 0;
    for (const QString &line : tinyproxy.Log())
        tunnels += line.contains("CONNECT") ? 1 : 0;
    EXPECT_GE(tunnels, 7) << tinyproxy.Log().join('\n').toStdString();
}

TEST_F(HttpsPeers, LargeFileArrivesWhole)
{
    NginxTlsServer nginx(site_);
    const QByteArray large = NoiseBytes(24 * 1024 * 1024 + 321);
    nginx.Serve("large.bin", large);
    THttpCli cli;
    TMemoryStream body;
    cli.SetRcvdStream(&body);
    cli.SetURL("https://localhost:" + nginx.PortText().toStdString() + "/large.bin");
    const GetOutcome outcome = RunGet(cli, 60000);
    ASSERT_FALSE(outcome.raised) << outcome.message;
    ASSERT_EQ(static_cast<std::int64_t>(large.size()), body.Size());
    EXPECT_EQ(QCryptographicHash::hash(large, QCryptographicHash::Sha256),
              QCryptographicHash::hash(QByteArrayView(body.Bytes().data(), static_cast<qsizetype>(body.Bytes().size())),
                                       QCryptographicHash::Sha256));
}

TEST_F(HttpsPeers, RefusedServersFailTheRequestWithTheirCause)
{
    TestAuthority other("Elsewhere CA");
    struct Row {
        const char *name;
        TestAuthority::Issued certificate;
        NginxTlsServer::Options options;
        std::string reason;
    };
    NginxTlsServer::Options oldOnly;
    oldOnly.protocols = "TLSv1";
    oldOnly.ciphers = "DEFAULT:@SECLEVEL=0";
    const Row rows[] = {
        {"another authority", other.Issue("other", {"localhost"}), {}, "TLS: the certificate's issuer is not trusted"},
        {"expired", ca_.Issue("expired", {"localhost"}, -90, -2), {}, "TLS: the certificate has expired"},
        {"another host",
         ca_.Issue("elsewhere", {"www.elsewhere.test"}),
         {},
         "TLS: the certificate is for another host"},
        {"TLS 1.0 only", site_, oldOnly, "TLS: no protocol version or cipher in common with the server"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        NginxTlsServer nginx(row.certificate, row.options);
        nginx.Serve("page.htm", page_);
        THttpCli cli;
        TMemoryStream body;
        cli.SetRcvdStream(&body);
        cli.SetURL("https://localhost:" + nginx.PortText().toStdString() + "/page.htm");
        Done done;
        Watch(cli, done);
        const GetOutcome outcome = RunGet(cli, 15000);
        EXPECT_TRUE(outcome.raised);
        EXPECT_EQ(404, outcome.code);
        EXPECT_EQ(row.reason, outcome.message);
        EXPECT_EQ(row.reason, cli.ReasonPhrase());
        EXPECT_TRUE(done.Came());
        EXPECT_EQ(httperrTlsFailed, done.error);
        EXPECT_EQ(0, body.Size());
        EXPECT_TRUE(nginx.AccessLog().isEmpty()) << "no request may reach a server that was not trusted";
    }
}

TEST_F(HttpsPeers, ServersThatMisbehaveInTheHandshake)
{
    const std::string helloStart("\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03", 11);
    struct Row {
        const char *name;
        ConnectionScript script;
        int handshakeLimitMs;
        int abortAfterMs;
        std::uint16_t error;
        std::string reason;
    };
    const Row rows[] = {
        {"garbage instead of a handshake", ConnectionScript().ReadBytes(5).Send("HTTP/1.0 200 OK\r\n\r\nplain"), 0, 0,
         httperrTlsFailed, "TLS: the server did not answer with TLS"},
        {"closes in the handshake", ConnectionScript().ReadBytes(5).Send(helloStart).Close(), 0, 0, httperrTlsFailed,
         "TLS: the server closed the connection during the handshake"},
        {"stalls: the handshake's own limit", ConnectionScript().ReadBytes(5).Send(helloStart).Hold(), 300, 0,
         httperrTlsFailed, "TLS: the server did not complete the handshake in time"},
        {"stalls: interrupted", ConnectionScript().ReadBytes(5).Send(helloStart).Hold(), 0, 300, httperrAborted,
         "Connection aborted on request"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({row.script});
        THttpCli cli;
        TMemoryStream body;
        cli.SetRcvdStream(&body);
        cli.SetURL("https://localhost:" + server.PortText() + "/");
        cli.CtrlSocket().SetTlsHandshakeTimeout(row.handshakeLimitMs);
        std::unique_ptr<QTimer> abort;
        if (row.abortAfterMs)
            abort = After(row.abortAfterMs, [&] { cli.Abort(); });
        Done done;
        Watch(cli, done);
        const GetOutcome outcome = RunGet(cli, 10000);
        EXPECT_TRUE(outcome.raised);
        EXPECT_EQ(row.reason, cli.ReasonPhrase());
        EXPECT_TRUE(done.Came());
        EXPECT_EQ(row.error, done.error);
        EXPECT_EQ(hsReady, cli.State());
        EXPECT_EQ(0, body.Size());
    }
}

TEST_F(HttpsPeers, TunnelRequestAndRefusal)
{
    struct Row {
        const char *name;
        std::string answer;
        std::string user;
        int code;
        std::string reason;
        std::uint16_t error;
    };
    const Row rows[] = {
        {"refused with credentials", "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", "u", 407,
         "HTTP/1.0 407 Proxy Authentication Required", httperrTunnelRefused},
        {"bad gateway", "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n", "", 502, "HTTP/1.1 502 Bad Gateway",
         httperrTunnelRefused},
        {"a relocation is no tunnel", "HTTP/1.0 302 Found\r\nLocation: http://x/\r\n\r\n", "", 404,
         "HTTP/1.0 302 Found", httperrTunnelRefused},
        {"not HTTP at all", "SSH-2.0-OpenSSH_9.2\r\n", "", 404, "SSH-2.0-OpenSSH_9.2", httperrTunnelRefused},
        {"tunnel to a server that is no TLS server", "HTTP/1.0 200 Connection established\r\nProxy-agent: test\r\n\r\n",
         "", 404, "TLS: the server did not answer with TLS", httperrTlsFailed},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ConnectionScript script;
        script.ReadRequest().Send(row.answer);
        if (row.error == httperrTlsFailed)
            script.ReadBytes(5).Send("HTTP/1.0 400 Bad Request\r\n\r\n");
        ScriptedServer proxy({script});
        THttpCli cli;
        TMemoryStream body;
        cli.SetRcvdStream(&body);
        cli.SetURL("https://www.example.test/secret?q=1");
        cli.SetProxy("127.0.0.1:" + proxy.PortText());
        if (!row.user.empty()) {
            cli.SetProxyUsername("u");
            cli.SetProxyPassword("p");
        }
        Done done;
        Watch(cli, done);
        const GetOutcome outcome = RunGet(cli, 10000);
        EXPECT_TRUE(outcome.raised);
        EXPECT_EQ(row.code, cli.StatusCode());
        EXPECT_EQ(row.reason, cli.ReasonPhrase());
        EXPECT_TRUE(done.Came());
        EXPECT_EQ(row.error, done.error);
        proxy.Stop();
        ASSERT_FALSE(proxy.Requests().empty());
        const std::string expected = "CONNECT www.example.test:443 HTTP/1.0\r\nHost: www.example.test:443\r\n" +
                                     std::string(row.user.empty() ? "" : "Proxy-Authorization: Basic dTpw\r\n") +
                                     "\r\n";
        EXPECT_EQ(0u, proxy.Requests()[0].rfind(expected, 0)) << proxy.Requests()[0];
        EXPECT_EQ(std::string::npos, proxy.Requests()[0].find("secret")) << "the path travels only inside the tunnel";
    }
}

} // namespace
