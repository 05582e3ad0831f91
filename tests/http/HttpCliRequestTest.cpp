#include "tests/http/HttpTestHelpers.h"

#include <functional>

namespace {

const std::string kOk = "HTTP/1.0 200 OK\r\n\r\nok";

} // namespace

TEST(HttpCliRequest, WrittenBytes)
{
    struct Row {
        const char *name;
        std::function<void(THttpCli &, const ScriptedServer &)> setup;
        std::function<std::string(const ScriptedServer &)> want;
        THttpRequest kind = rqGet;
    };
    const auto direct = [](const std::string &path) {
        return [path](THttpCli &c, const ScriptedServer &s) { c.SetURL("http://" + s.HostPort() + path); };
    };
    const auto withHeaders = [](const std::string &target, const std::string &host, const std::string &extra) {
        // An empty host stands for the test server, whose port is never 80.
        return [=](const ScriptedServer &s) {
            return "GET " + target + " HTTP/1.0\r\nAccept: " + kDefaultAccept + "\r\nUser-Agent: " + kDefaultAgent +
                   "\r\nHost: " + (host.empty() ? s.HostPort() : host) + "\r\n" + extra + "\r\n";
        };
    };
    const Row rows[] = {
        {"defaults give five lines, the port in Host when not 80", direct("/dir/p.htm"),
         [](const ScriptedServer &s) { return DefaultRequest("/dir/p.htm", s.HostPort()); }},
        {"no path asks for the root", direct(""),
         [](const ScriptedServer &s) { return DefaultRequest("/", s.HostPort()); }},
        {"query kept", direct("/cgi?x=1&y=/2"),
         [](const ScriptedServer &s) { return DefaultRequest("/cgi?x=1&y=/2", s.HostPort()); }},
        {"accented path and query as a browser sends them", direct("/citt\xe0.html?q=\xe8&r=%C3%A0"),
         [](const ScriptedServer &s) { return DefaultRequest("/citt%C3%A0.html?q=%C3%A8&r=%C3%A0", s.HostPort()); }},
        {"an accented host in its IDNA form",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetProxy(s.HostPort());
             c.SetURL("http://citt\xe0.example/\xe8");
         },
         [](const ScriptedServer &) {
             return DefaultRequest("http://xn--citt-3na.example/%C3%A8", "xn--citt-3na.example");
         }},
        {"head request", direct("/h"),
         [](const ScriptedServer &s) { return DefaultRequest("/h", s.HostPort(), "HEAD"); }, rqHead},
        {"through a proxy with its port",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetProxy(s.HostPort());
             c.SetURL("http://www.example.it/dir/p.htm");
         },
         [](const ScriptedServer &) { return DefaultRequest("http://www.example.it/dir/p.htm", "www.example.it"); }},
        {"through a proxy on ProxyPort",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetProxy("127.0.0.1");
             c.SetProxyPort(s.PortText());
             c.SetURL("http://www.example.it:8080/x");
         },
         [](const ScriptedServer &) { return DefaultRequest("http://www.example.it:8080/x", "www.example.it:8080"); }},
        {"port 80 written out is the default",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetProxy(s.HostPort());
             c.SetURL("http://www.example.it:80/x");
         },
         [](const ScriptedServer &) { return DefaultRequest("http://www.example.it:80/x", "www.example.it"); }},
        {"address without scheme through a proxy",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetProxy(s.HostPort());
             c.SetURL("www.example.it");
         },
         [](const ScriptedServer &) { return DefaultRequest("http://www.example.it", "www.example.it"); }},
        {"credentials in the address",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetUsername("old");
             c.SetPassword("old");
             c.SetURL("http://user:pass@" + s.HostPort() + "/");
         },
         withHeaders("/", "", "Authorization: Basic dXNlcjpwYXNz\r\n")},
        {"no cache",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetNoCache(true);
             c.SetURL("http://" + s.HostPort() + "/");
         },
         withHeaders("/", "", "Pragma: no-cache\r\n")},
        {"modified since",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetModifiedSince(37712.5);
             c.SetURL("http://" + s.HostPort() + "/");
         },
         withHeaders("/", "", "If-Modified-Since: Tue, 01 Apr 2003 12:00:00 GMT\r\n")},
        {"cookie",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetCookie("a=1; b=2");
             c.SetURL("http://" + s.HostPort() + "/");
         },
         withHeaders("/", "", "Cookie: a=1; b=2\r\n")},
        {"open range",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetContentRangeBegin("100");
             c.SetURL("http://" + s.HostPort() + "/");
         },
         withHeaders("/", "", "Range: bytes=100-\r\n")},
        {"proxy credentials without a proxy are not sent",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetProxyUsername("pu");
             c.SetURL("http://" + s.HostPort() + "/");
         },
         [](const ScriptedServer &s) { return DefaultRequest("/", s.HostPort()); }},
        {"empty accept and agent are left out",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetAccept("");
             c.SetAgent("");
             c.SetURL("http://" + s.HostPort() + "/");
         },
         [](const ScriptedServer &s) { return "GET / HTTP/1.0\r\nHost: " + s.HostPort() + "\r\n\r\n"; }},
        {"every optional line in its place",
         [](THttpCli &c, const ScriptedServer &s) {
             c.SetProxy(s.HostPort());
             c.SetURL("http://h.it/");
             c.SetSender("me@h.it");
             c.SetReference("http://ref.it/");
             c.SetAcceptLanguage("it");
             c.SetNoCache(true);
             c.SetModifiedSince(2.0);
             c.SetUsername("u");
             c.SetPassword("p");
             c.SetProxyUsername("pu");
             c.SetProxyPassword("pp");
             c.SetCookie("c=1");
             c.SetContentRangeBegin("1");
             c.SetContentRangeEnd("2");
         },
         [](const ScriptedServer &) {
             return "GET http://h.it/ HTTP/1.0\r\nFrom: me@h.it\r\nAccept: " + kDefaultAccept +
                    "\r\nReferer: http://ref.it/\r\nAccept-Language: it\r\nUser-Agent: " + kDefaultAgent +
                    "\r\nHost: h.it\r\nPragma: no-cache\r\nIf-Modified-Since: Mon, 01 Jan 1900 00:00:00 GMT\r\n"
                    "Authorization: Basic dTpw\r\nProxy-Authorization: Basic cHU6cHA=\r\nCookie: c=1\r\n"
                    "Range: bytes=1-2\r\n\r\n";
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({ConnectionScript().ReadRequest().Send(kOk)});
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        row.setup(cli, server);
        bool done = false;
        cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) { done = true; };
        cli.StartRequest(row.kind);
        ASSERT_TRUE(PumpUntil([&] { return done; }));
        EXPECT_EQ(cli.StatusCode(), 200);
        ASSERT_TRUE(server.WaitFinished(1));
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0], row.want(server));
        EXPECT_EQ(body.Bytes(), "ok");
        // A range is asked for once.
        EXPECT_EQ(cli.ContentRangeBegin(), "");
        EXPECT_EQ(cli.ContentRangeEnd(), "");
    }
}

TEST(HttpCliRequest, CredentialsInAnAddressStayWithIt)
{
    struct Row {
        const char *name;
        std::string callerUser, callerPassword;
        std::string wantSecond; // Authorization line of the second request, or empty
    };
    const Row rows[] = {
        {"no credentials of the caller", "", "", ""},
        {"the caller's come back", "c", "d", "Authorization: Basic " + Base64Encode("c:d")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({ConnectionScript().ReadRequest().Send(kOk), ConnectionScript().ReadRequest().Send(kOk)});
        THttpCli cli;
        cli.SetUsername(row.callerUser);
        cli.SetPassword(row.callerPassword);
        cli.SetURL("http://u:p@" + server.HostPort() + "/");
        EXPECT_FALSE(RunGet(cli).raised);
        cli.SetURL("http://" + server.HostPort() + "/other");
        EXPECT_FALSE(RunGet(cli).raised);
        ASSERT_TRUE(server.WaitFinished(2));
        const std::vector<std::string> requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_NE(requests[0].find("Authorization: Basic dTpw\r\n"), std::string::npos) << requests[0];
        const std::size_t at = requests[1].find("Authorization:");
        const std::string second =
            at == std::string::npos ? std::string() : requests[1].substr(at, requests[1].find("\r\n", at) - at);
        EXPECT_EQ(second, row.wantSecond);
    }
}

TEST(HttpCliRequest, AnAnsweredRangeIsNotAskedForAgain)
{
    ScriptedServer server(
        {ConnectionScript().ReadRequest().Send("HTTP/1.0 206 Partial\r\nContent-Range: bytes 100-199/500\r\n\r\nx"),
         ConnectionScript().ReadRequest().Send(kOk)});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    EXPECT_FALSE(RunGet(cli).raised);
    EXPECT_EQ(cli.ContentRangeBegin(), "100");
    EXPECT_FALSE(RunGet(cli).raised);
    ASSERT_TRUE(server.WaitFinished(2));
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].find("Range:"), std::string::npos) << requests[1];
}

TEST(HttpCliRequest, CredentialsInTheAddressReplaceTheProperties)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send(kOk)});
    THttpCli cli;
    cli.SetUsername("old");
    cli.SetPassword("secret");
    cli.SetURL("http://newuser@" + server.HostPort() + "/");
    EXPECT_FALSE(RunGet(cli).raised);
    // Only the part written in the address is replaced.
    EXPECT_EQ(cli.Username(), "newuser");
    EXPECT_EQ(cli.Password(), "secret");
    ASSERT_TRUE(server.WaitFinished(1));
    EXPECT_NE(server.Requests()[0].find("Authorization: Basic " + Base64Encode("newuser:secret") + "\r\n"),
              std::string::npos);
}

TEST(HttpCliRequest, PostSendsTheWholeBodyInBoundedBlocks)
{
    std::string payload;
    for (int i = 0; i < 20000; ++i)
        payload += static_cast<char>('a' + i % 26);
    ScriptedServer server({ConnectionScript().ReadRequest().Send(kOk)});
    THttpCli cli;
    TMemoryStream body, post;
    post.Write(payload.data(), static_cast<int>(payload.size()));
    post.SetPosition(0);
    cli.SetRcvdStream(&body);
    cli.SetSendStream(&post);
    cli.SetURL("http://" + server.HostPort() + "/form");
    std::vector<int> blocks;
    int begins = 0, ends = 0;
    cli.OnSendBegin = [&](THttpCli *) { ++begins; };
    cli.OnSendData = [&](THttpCli *, const void *, int len) { blocks.push_back(len); };
    cli.OnSendEnd = [&](THttpCli *) { ++ends; };
    bool done = false;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest type, std::uint16_t error) {
        EXPECT_EQ(type, rqPost);
        EXPECT_EQ(error, 0);
        done = true;
    };
    cli.StartRequest(rqPost);
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    ASSERT_TRUE(server.WaitFinished(1));
    const std::string want = "POST /form HTTP/1.0\r\nAccept: " + kDefaultAccept +
                             "\r\nContent-Type: application/x-www-form-urlencoded\r\nUser-Agent: " + kDefaultAgent +
                             "\r\nHost: " + server.HostPort() + "\r\nContent-Length: 20000\r\n\r\n" + payload;
    EXPECT_EQ(server.Requests()[0], want);
    EXPECT_EQ(cli.SentCount(), 20000);
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ends, 1);
    int total = 0;
    for (int b : blocks) {
        EXPECT_LE(b, 8193);
        total += b;
    }
    EXPECT_EQ(total, 20000);
    EXPECT_GE(blocks.size(), 3u);
}

TEST(HttpCliRequest, PostLengthCountsFromTheStreamPosition)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send(kOk)});
    TMemoryStream post;
    THttpCli cli;
    post.Write("skipbody", 8);
    post.SetPosition(4);
    cli.SetSendStream(&post);
    cli.SetURL("http://" + server.HostPort() + "/");
    bool done = false;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) { done = true; };
    cli.StartRequest(rqPost);
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    ASSERT_TRUE(server.WaitFinished(1));
    const std::string request = server.Requests()[0];
    EXPECT_NE(request.find("Content-Length: 4\r\n\r\nbody"), std::string::npos) << request;
    EXPECT_EQ(request.substr(request.size() - 4), "body");
}

TEST(HttpCliRequest, RefusedBeforeAnythingIsSent)
{
    struct Row {
        const char *name;
        std::function<void(THttpCli &, const ScriptedServer &, TMemoryStream &)> setup;
        THttpRequest kind;
        int code;
        std::string message;
    };
    const Row rows[] = {
        {"post without a stream",
         [](THttpCli &c, const ScriptedServer &s, TMemoryStream &) { c.SetURL("http://" + s.HostPort() + "/"); },
         rqPost, 2, "HTTP component has nothing to post"},
        {"line feed in the address",
         [](THttpCli &c, const ScriptedServer &s, TMemoryStream &) {
             c.SetURL("http://" + s.HostPort() + "/a\nX-Injected: 1");
         },
         rqGet, 9, "Invalid character in URL"},
        {"carriage return in the address",
         [](THttpCli &c, const ScriptedServer &s, TMemoryStream &) { c.SetURL("http://" + s.HostPort() + "/a\rb"); },
         rqGet, 9, "Invalid character in URL"},
        {"nul in the address",
         [](THttpCli &c, const ScriptedServer &s, TMemoryStream &) {
             c.SetURL("http://" + s.HostPort() + std::string("/a\0b", 4));
         },
         rqGet, 9, "Invalid character in URL"},
        {"line feed in the proxy",
         [](THttpCli &c, const ScriptedServer &s, TMemoryStream &) {
             c.SetURL("http://h.it/");
             c.SetProxy(s.HostPort() + "\n");
         },
         rqGet, 9, "Invalid character in proxy address"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({ConnectionScript().ReadRequest().Send(kOk)});
        TMemoryStream stream;
        THttpCli cli;
        row.setup(cli, server, stream);
        int stateChanges = 0;
        cli.OnStateChange = [&](THttpCli *) { ++stateChanges; };
        try {
            cli.RunRequest(row.kind);
            ADD_FAILURE() << "no exception";
        } catch (const EHttpException &e) {
            EXPECT_EQ(e.ErrorCode(), row.code);
            EXPECT_EQ(e.Message().toStdString(), row.message);
        }
        EXPECT_EQ(cli.State(), hsReady);
        EXPECT_EQ(stateChanges, 0);
        PumpUntil([] { return false; }, 100);
        EXPECT_EQ(server.Connections(), 0);
    }
}

TEST(HttpCliRequest, SecondRequestWhileBusyIsRefused)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send(kOk)});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    bool done = false;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) { done = true; };
    cli.StartRequest(rqGet);
    try {
        cli.Get();
        ADD_FAILURE() << "no exception";
    } catch (const EHttpException &e) {
        EXPECT_EQ(e.ErrorCode(), 1);
        EXPECT_EQ(e.Message().toStdString(), "HTTP component is busy");
    }
    // The first request goes on untouched.
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(cli.StatusCode(), 200);
}
