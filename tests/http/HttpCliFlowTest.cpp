#include "net/HttpCause.h"
#include "tests/http/HttpTestHelpers.h"
#include "tests/support/SilentAddress.h"

#include <sys/resource.h>

namespace {

ConnectionScript Redirect(const std::string &location, const std::string &status = "302 Found")
{
    return ConnectionScript().ReadRequest().Send("HTTP/1.0 " + status + "\r\nLocation: " + location +
                                                 "\r\nContent-Type: text/html\r\n\r\n<a>moved</a>");
}

ConnectionScript Page(const std::string &body)
{
    return ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\n" + body);
}

std::string RequestLine(const std::string &request)
{
    return request.substr(0, request.find("\r\n"));
}

std::string HostLine(const std::string &request)
{
    const std::size_t at = request.find("\r\nHost: ");
    return at == std::string::npos ? std::string() : request.substr(at + 2, request.find("\r\n", at + 2) - at - 2);
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST(HttpCliRelocation, Direct)
{
    struct Row {
        const char *name;
        std::string url;      // path on the first server
        std::string location; // "%2" stands for the second server's port
        std::string wantLine; // request line of the second request
        bool secondServer;
        std::string wantHost; // "%1" and "%2" stand for the two servers' ports
    };
    const Row rows[] = {
        {"absolute path on the same host", "/a/b.htm", "/other", "GET /other HTTP/1.0", false, "Host: 127.0.0.1:%1"},
        {"relative to the document's folder", "/dir/a.htm?q=1", "b.htm", "GET /dir/b.htm HTTP/1.0", false,
         "Host: 127.0.0.1:%1"},
        {"another host by name", "/", "http://localhost:%2/x/y.htm", "GET /x/y.htm HTTP/1.0", true,
         "Host: localhost:%2"},
        {"another host without a path", "/", "http://localhost:%2", "GET / HTTP/1.0", true, "Host: localhost:%2"},
        {"http:// without a host keeps the server", "/a", "http:///same", "GET /same HTTP/1.0", false,
         "Host: 127.0.0.1:%1"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer second({Page("second")});
        std::string location = row.location;
        if (const std::size_t at = location.find("%2"); at != std::string::npos)
            location.replace(at, 2, second.PortText());
        ScriptedServer first({Redirect(location), Page("first")});
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        cli.SetURL("http://" + first.HostPort() + row.url);
        int changes = 0;
        cli.OnLocationChange = [&](THttpCli *) { ++changes; };
        EXPECT_FALSE(RunGet(cli).raised);
        EXPECT_EQ(changes, 1);
        ScriptedServer &target = row.secondServer ? second : first;
        const std::size_t index = row.secondServer ? 0 : 1;
        ASSERT_TRUE(target.WaitFinished(static_cast<int>(index) + 1));
        ASSERT_GT(target.Requests().size(), index);
        EXPECT_EQ(RequestLine(target.Requests()[index]), row.wantLine);
        std::string wantHost = row.wantHost;
        for (const auto &[mark, port] : {std::pair{"%1", first.PortText()}, std::pair{"%2", second.PortText()}})
            if (const std::size_t at = wantHost.find(mark); at != std::string::npos)
                wantHost.replace(at, 2, port);
        EXPECT_EQ(HostLine(target.Requests()[index]), wantHost);
        // The body of the relocating response is not part of the result.
        EXPECT_EQ(body.Bytes(), row.secondServer ? "second" : "first");
        EXPECT_EQ(cli.StatusCode(), 200);
    }
}

TEST(HttpCliRelocation, ThroughProxy)
{
    struct Row {
        const char *name;
        std::string url;
        std::string location;
        std::string wantLine;
        std::string wantHost;
        std::string wantLocation;
    };
    const Row rows[] = {
        {"absolute path", "http://www.example.it/dir/a.htm", "/other", "GET http://www.example.it/other HTTP/1.0",
         "Host: www.example.it", "http://www.example.it/other"},
        {"absolute path keeps the port", "http://www.example.it:8080/dir/a.htm", "/other",
         "GET http://www.example.it:8080/other HTTP/1.0", "Host: www.example.it:8080",
         "http://www.example.it:8080/other"},
        {"another host", "http://www.example.it/dir/a.htm", "http://other.example/x",
         "GET http://other.example/x HTTP/1.0", "Host: other.example", "http://other.example/x"},
        {"another host with a port", "http://www.example.it/dir/a.htm", "http://other.example:8081/x",
         "GET http://other.example:8081/x HTTP/1.0", "Host: other.example:8081", "http://other.example:8081/x"},
        {"relative to an address without a path", "http://www.x.it", "index.php",
         "GET http://www.x.it/index.php HTTP/1.0", "Host: www.x.it", "http://www.x.it/index.php"},
        {"relative to an address with a port and no path", "http://www.x.it:8080", "index.php",
         "GET http://www.x.it:8080/index.php HTTP/1.0", "Host: www.x.it:8080", "http://www.x.it:8080/index.php"},
        {"relative to a folder", "http://www.x.it/dir/a.htm", "b.htm", "GET http://www.x.it/dir/b.htm HTTP/1.0",
         "Host: www.x.it", "http://www.x.it/dir/b.htm"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer proxy({Redirect(row.location), Page("via proxy")});
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        // The proxy's port is written in Proxy; ProxyPort keeps its "80", and
        // the relocated request must still go to the same proxy.
        cli.SetProxy(proxy.HostPort());
        cli.SetURL(row.url);
        EXPECT_FALSE(RunGet(cli).raised);
        ASSERT_TRUE(proxy.WaitFinished(2));
        ASSERT_EQ(proxy.Requests().size(), 2u);
        EXPECT_EQ(RequestLine(proxy.Requests()[0]), "GET " + row.url + " HTTP/1.0");
        EXPECT_EQ(RequestLine(proxy.Requests()[1]), row.wantLine);
        EXPECT_EQ(HostLine(proxy.Requests()[1]), row.wantHost);
        // The address the document came from, never the proxy's.
        EXPECT_EQ(cli.Location(), row.wantLocation);
        EXPECT_EQ(body.Bytes(), "via proxy");
    }
}

TEST(HttpCliRelocation, PostBecomesGetAndEveryHopIsReported)
{
    ScriptedServer server({Redirect("/step2", "303 See Other"), Redirect("/step3"), Page("done")});
    THttpCli cli;
    TMemoryStream body, post;
    post.Write("a=1", 3);
    post.SetPosition(0);
    cli.SetRcvdStream(&body);
    cli.SetSendStream(&post);
    cli.SetURL("http://" + server.HostPort() + "/form");
    std::vector<std::string> locations;
    cli.OnLocationChange = [&](THttpCli *c) { locations.push_back(c->Location()); };
    THttpRequest doneType = rqNone;
    bool done = false;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest type, std::uint16_t) {
        doneType = type;
        done = true;
    };
    cli.StartRequest(rqPost);
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    ASSERT_TRUE(server.WaitFinished(3));
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(RequestLine(requests[0]), "POST /form HTTP/1.0");
    EXPECT_EQ(RequestLine(requests[1]), "GET /step2 HTTP/1.0");
    EXPECT_EQ(requests[1].find("Content-Length"), std::string::npos);
    EXPECT_EQ(RequestLine(requests[2]), "GET /step3 HTTP/1.0");
    // The address each hop went to, port and all.
    const std::string at = "http://" + server.HostPort();
    EXPECT_EQ(locations, (std::vector<std::string>{at + "/step2", at + "/step3"}));
    EXPECT_EQ(doneType, rqGet);
    EXPECT_EQ(body.Bytes(), "done");
}

TEST(HttpCliRelocation, ARelocatedPostLeavesItsBodyBehind)
{
    // The answer comes while the body is still on its way; the new request
    // is a GET, and nothing of the old body may follow its header.
    const std::string payload(2400 * 1000, 'p');
    ScriptedServer server({ConnectionScript().ReadBytes(64).Send("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"),
                           ConnectionScript().ReadRequest().Pause(300).Send("HTTP/1.0 200 OK\r\n\r\ndone")});
    TMemoryStream body, post;
    THttpCli cli;
    post.Write(payload.data(), static_cast<int>(payload.size()));
    post.SetPosition(0);
    cli.SetRcvdStream(&body);
    cli.SetSendStream(&post);
    cli.SetURL("http://" + server.HostPort() + "/form");
    bool done = false;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) { done = true; };
    cli.StartRequest(rqPost);
    ASSERT_TRUE(PumpUntil([&] { return done; }, 10000));
    ASSERT_TRUE(server.WaitFinished(2));
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RequestLine(requests[1]), "GET /next HTTP/1.0");
    EXPECT_EQ(requests[1].size(), requests[1].find("\r\n\r\n") + 4) << "bytes behind the header of the GET";
    EXPECT_EQ(body.Bytes(), "done");
}

TEST(HttpCliRelocation, Limits)
{
    struct Row {
        const char *name;
        int redirects;
        std::string lastLocation; // the Location of the final response; empty: a page
        bool raised;
        std::string message;
        int connections;
    };
    const Row rows[] = {
        {"twenty hops are followed", 20, "", false, "", 21},
        {"the twenty-first is refused", 21, "", true, "Too many relocations", 21},
        // Port 1 of this machine refuses: the relocation was followed to it.
        // A failure after a relocation names where it went.
        {"https is followed", 0, "https://127.0.0.1:1/login", true,
         "Connection refused (Error #10061) (relocated to https://127.0.0.1:1/login)", 1},
        {"HTTPS in capitals too", 0, "HTTPS://127.0.0.1:1/", true,
         "Connection refused (Error #10061) (relocated to https://127.0.0.1:1/)", 1},
        // A new scheme without a host keeps the server, not the old scheme's port.
        {"https without a host goes to 443", 0, "https:///secure", true,
         "Connection refused (Error #10061) (relocated to https://127.0.0.1/secure)", 1},
        {"ftp is not", 0, "ftp://files.example/f.zip", true, "Relocation to ftp:// is not supported", 1},
        {"carriage return in the target", 0, "/a\rSet-Cookie: x", true, "Invalid character in relocation address", 1},
        {"nul in the target", 0, std::string("/a\0b", 4), true, "Invalid character in relocation address", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<ConnectionScript> scripts;
        for (int i = 0; i < row.redirects; ++i)
            scripts.push_back(Redirect("/hop" + std::to_string(i + 1)));
        scripts.push_back(row.lastLocation.empty() ? Page("end") : Redirect(row.lastLocation));
        ScriptedServer server(scripts);
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        cli.SetURL("http://" + server.HostPort() + "/start");
        const GetOutcome got = RunGet(cli);
        EXPECT_EQ(got.raised, row.raised);
        EXPECT_EQ(got.message, row.message);
        if (row.raised) {
            EXPECT_EQ(got.code, 404);
            EXPECT_EQ(body.Bytes(), "");
        }
        PumpUntil([] { return false; }, 50);
        EXPECT_EQ(server.Connections(), row.connections);
    }
}

TEST(HttpCliRelocation, CredentialsOfAnAddressAcrossAChain)
{
    struct Row {
        const char *name;
        std::string written; // host of the address with the credentials
        std::string via;     // host of the hop in between, on the other server; empty: none
        std::string back;    // host the chain comes back to, on the first server
        bool sent;           // the credentials go with the request that comes back
    };
    const Row rows[] = {
        // Once they have left their origin, they are not brought back to it.
        {"there and back", "127.0.0.1", "127.0.0.1", "127.0.0.1", false},
        {"the same host written in another case", "LOCALHOST", "", "localhost", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer probe({});
        const std::uint16_t port = probe.Port();
        probe.Stop();
        const std::string back = "http://" + row.back + ":" + std::to_string(port) + "/back";
        ScriptedServer other({Redirect(back)});
        const std::string first = row.via.empty() ? back : "http://" + row.via + ":" + other.PortText() + "/via";
        ScriptedServer server({Redirect(first), Page("home")}, std::chrono::seconds(20), "127.0.0.1", port);
        THttpCli cli;
        cli.SetURL("http://u:p@" + row.written + ":" + std::to_string(port) + "/start");
        EXPECT_FALSE(RunGet(cli).raised);
        ASSERT_TRUE(server.WaitFinished(2));
        const std::vector<std::string> seen = server.Requests();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_NE(seen[0].find("Authorization: Basic dTpw\r\n"), std::string::npos) << seen[0];
        EXPECT_EQ(seen[1].find("Authorization:") != std::string::npos, row.sent) << seen[1];
        if (!row.via.empty()) {
            ASSERT_EQ(other.Requests().size(), 1u);
            EXPECT_EQ(other.Requests()[0].find("Authorization:"), std::string::npos) << other.Requests()[0];
        }
    }
}

TEST(HttpCliAbort, DuringTheLookup)
{
    ScriptedServer server({Page("never")});
    THttpCli cli;
    cli.SetURL("http://localhost:" + server.PortText() + "/");
    std::vector<std::uint16_t> errors;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t error) { errors.push_back(error); };
    cli.StartRequest(rqGet);
    ASSERT_EQ(cli.State(), hsDnsLookup);
    cli.Abort();
    EXPECT_EQ(cli.State(), hsReady);
    EXPECT_EQ(cli.StatusCode(), 404);
    EXPECT_EQ(cli.ReasonPhrase(), "Connection aborted on request");
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    // The lookup's late completion must not start a connection.
    PumpUntil([] { return false; }, 150);
    EXPECT_EQ(errors, std::vector<std::uint16_t>{3});
    EXPECT_EQ(server.Connections(), 0);
}

TEST(HttpCliAbort, FromAStateChangeHandlerBeforeTheLookupStarts)
{
    ScriptedServer server({Page("never")});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    cli.OnStateChange = [](THttpCli *c) {
        if (c->State() == hsDnsLookup)
            c->Abort();
    };
    const GetOutcome got = RunGet(cli);
    EXPECT_TRUE(got.raised);
    EXPECT_EQ(got.message, "Connection aborted on request");
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(cli.State(), hsReady);
}

TEST(HttpCliAbort, WhileWaitingForTheAnswer)
{
    struct Row {
        const char *name;
        ConnectionScript script;
    };
    const Row rows[] = {
        {"no answer at all", ConnectionScript().ReadRequest().Hold()},
        {"in the middle of the header", ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nX: y\r\n").Hold()},
        {"header with a relocation pending",
         ConnectionScript().ReadRequest().Send("HTTP/1.0 302 Found\r\nLocation: /next\r\n").Hold()},
        {"in the middle of the body", ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\npart").Hold()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({row.script, Page("relocated")});
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        cli.SetURL("http://" + server.HostPort() + "/");
        std::vector<std::uint16_t> errors;
        cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t error) { errors.push_back(error); };
        const auto abort = After(150, [&] { cli.Abort(); });
        const GetOutcome got = RunGet(cli);
        EXPECT_TRUE(got.raised);
        EXPECT_EQ(got.code, 404);
        EXPECT_EQ(got.message, "Connection aborted on request");
        ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
        PumpUntil([] { return false; }, 100);
        EXPECT_EQ(errors, std::vector<std::uint16_t>{3});
        EXPECT_EQ(server.Connections(), 1) << "an aborted relocation must not connect again";
        EXPECT_FALSE(cli.Connected());
        EXPECT_EQ(cli.CtrlSocket().State(), wsClosed);
    }
}

TEST(HttpCliAbort, OnAnIdleClient)
{
    // A zero Content-Length ends the request while the server keeps the
    // connection; Abort on the idle client closes it and does nothing else.
    ScriptedServer server(
        {ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n").Hold()});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    EXPECT_FALSE(RunGet(cli).raised);
    PumpUntil([] { return false; }, 50);
    ASSERT_NE(cli.CtrlSocket().State(), wsClosed);
    int stateChanges = 0, done = 0;
    cli.OnStateChange = [&](THttpCli *) { ++stateChanges; };
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) { ++done; };
    cli.Abort();
    EXPECT_EQ(cli.CtrlSocket().State(), wsClosed);
    EXPECT_TRUE(server.WaitFinished(1)) << "the server saw no close";
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(stateChanges, 0);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(cli.StatusCode(), 200);

    THttpCli fresh;
    fresh.Abort();
    EXPECT_EQ(fresh.State(), hsReady);
}

TEST(HttpCliFlow, EventOrderOfAPlainGet)
{
    ScriptedServer server(
        {ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nServer: x\r\n\r\n").Pause(30).Send("body")});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    std::vector<std::string> events;
    const auto note = [&](const std::string &e) {
        if (e != "DocData" || events.empty() || events.back() != "DocData")
            events.push_back(e);
    };
    const char *stateNames[] = {"Ready",         "NotConnected",  "Connected",   "DnsLookup",
                                "DnsLookupDone", "WaitingHeader", "WaitingBody", "Aborting"};
    cli.OnStateChange = [&](THttpCli *c) { note(std::string("State ") + stateNames[c->State()]); };
    cli.OnSessionConnected = [&](THttpCli *) { note("SessionConnected"); };
    cli.OnRequestHeaderBegin = [&](THttpCli *) { note("RequestHeaderBegin"); };
    cli.OnBeforeHeaderSend = [&](THttpCli *, const std::string &method, std::vector<std::string> &headers) {
        note("BeforeHeaderSend " + method + " " + std::to_string(headers.size()));
    };
    cli.OnCommand = [&](THttpCli *, std::string &s) { note("Command " + s.substr(0, s.find(' '))); };
    cli.OnRequestHeaderEnd = [&](THttpCli *) { note("RequestHeaderEnd"); };
    cli.OnHeaderBegin = [&](THttpCli *) { note("HeaderBegin"); };
    cli.OnHeaderData = [&](THttpCli *) { note("HeaderData"); };
    cli.OnHeaderEnd = [&](THttpCli *) { note("HeaderEnd"); };
    cli.OnDocBegin = [&](THttpCli *) { note("DocBegin"); };
    cli.OnDocData = [&](THttpCli *, const void *, int) { note("DocData"); };
    cli.OnDocEnd = [&](THttpCli *) { note("DocEnd"); };
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) { note("RequestDone"); };
    EXPECT_FALSE(RunGet(cli).raised);
    // The completion of a synchronous request comes after Get has returned.
    EXPECT_EQ(std::count(events.begin(), events.end(), "RequestDone"), 0);
    ASSERT_TRUE(PumpUntil([&] { return !events.empty() && events.back() == "RequestDone"; }));
    const std::vector<std::string> want = {"State NotConnected",
                                           "State DnsLookup",
                                           "State DnsLookupDone",
                                           "State Connected",
                                           "SessionConnected",
                                           "State WaitingHeader",
                                           "RequestHeaderBegin",
                                           "BeforeHeaderSend GET 4",
                                           "Command GET",
                                           "Command Accept:",
                                           "Command User-Agent:",
                                           "Command Host:",
                                           "RequestHeaderEnd",
                                           "Command ",
                                           "HeaderBegin",
                                           "HeaderData",
                                           "HeaderData",
                                           "State WaitingBody",
                                           "HeaderEnd",
                                           "DocBegin",
                                           "DocData",
                                           "DocEnd",
                                           "State Ready",
                                           "RequestDone"};
    EXPECT_EQ(events, want);
}

TEST(HttpCliFlow, HeaderEditedByTheHandlers)
{
    ScriptedServer server({Page("x")});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    cli.OnBeforeHeaderSend = [](THttpCli *, const std::string &, std::vector<std::string> &headers) {
        headers.push_back("X-Added: 1");
    };
    cli.OnCommand = [](THttpCli *, std::string &s) {
        if (s.rfind("Accept:", 0) == 0)
            s.clear(); // an emptied line still ends with CR LF
    };
    EXPECT_FALSE(RunGet(cli).raised);
    ASSERT_TRUE(server.WaitFinished(1));
    EXPECT_EQ(server.Requests()[0], "GET / HTTP/1.0\r\n\r\nUser-Agent: " + kDefaultAgent +
                                        "\r\nHost: " + server.HostPort() + "\r\nX-Added: 1\r\n\r\n");
}

TEST(HttpCliFlow, LookupAndConnectionFailures)
{
    ScriptedServer closedPortProbe({});
    const std::string closedPort = closedPortProbe.PortText();
    closedPortProbe.Stop(); // nothing listens there any more

    struct Row {
        const char *name;
        std::string url;
        std::string message;
        std::uint16_t error;
        QString cause; // what a visit records, in the user's words
        std::string proxy = {};
        std::string socks = {}; // a SOCKS server's name, on port 1080
    };
    const QString proxyAt = "Proxy 127.0.0.1:" + QString::fromStdString(closedPort);
    const Row rows[] = {
        {"unknown host", "http://no-such-host.invalid/", "can't resolve hostname to IP address", 11001,
         "Indirizzo del sito non trovato."},
        {"refused", "http://127.0.0.1:" + closedPort + "/", "Connection refused (Error #10061)", 10061,
         "Connessione rifiutata."},
        {"port that is no number", "http://127.0.0.1:http-x/", "", 0, ""},
        {"refused at an IPv6 address", "http://[::1]:" + closedPort + "/", "Connection refused (Error #10061)", 10061,
         "Connessione rifiutata."},
        {"refused at every address of a name", "http://localhost:" + closedPort + "/",
         "Connection refused (Error #10061)", 10061, "Connessione rifiutata."},
        {"brackets around no address", "http://[::zz]/", "can't resolve hostname to IP address", 11001,
         "Indirizzo del sito non trovato."},
        // What stood between names itself: the site was never reached.
        {"a proxy that refuses", "http://site.invalid/", "Connection refused (Error #10061)", 10061,
         proxyAt + ": connessione rifiutata.", "127.0.0.1:" + closedPort},
        {"a proxy that refuses an https address", "https://site.invalid/", "Connection refused (Error #10061)", 10061,
         proxyAt + ": connessione rifiutata.", "127.0.0.1:" + closedPort},
        {"a proxy that cannot be found", "http://127.0.0.1/", "can't resolve hostname to IP address", 11001,
         "Proxy no-such-proxy.invalid:8080: indirizzo non trovato.", "no-such-proxy.invalid:8080"},
        {"a SOCKS server that cannot be found", "http://127.0.0.1/", "SOCKS server no-such-socks.invalid:1080: "
         "can't resolve its name (Host not found)", 11001,
         "Server SOCKS no-such-socks.invalid:1080: indirizzo non trovato.", "", "no-such-socks.invalid"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        THttpCli cli;
        cli.SetURL(row.url);
        cli.SetProxy(row.proxy);
        if (!row.socks.empty()) {
            cli.SetSocksServer(row.socks);
            cli.SetSocksPort("1080");
        }
        std::vector<std::uint16_t> errors;
        cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t error) { errors.push_back(error); };
        int socketErrors = 0;
        cli.OnSocketError = [&](THttpCli *sender) {
            EXPECT_EQ(sender, &cli);
            ++socketErrors;
        };
        const GetOutcome got = RunGet(cli);
        EXPECT_TRUE(got.raised);
        EXPECT_EQ(got.code, 404);
        ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
        if (!row.message.empty()) {
            EXPECT_EQ(got.message, row.message);
            EXPECT_EQ(errors, std::vector<std::uint16_t>{row.error});
            EXPECT_EQ(FailureCause(cli), row.cause);
        } else {
            // The socket refuses the port through its error event; the
            // request must still end instead of waiting for a connection, and
            // say why.
            EXPECT_EQ(got.message.rfind("can't connect: ", 0), 0u) << got.message;
            EXPECT_NE(got.message.find("http-x"), std::string::npos) << got.message;
            EXPECT_EQ(cli.ReasonPhrase(), got.message);
            EXPECT_NE(errors.front(), 0);
            EXPECT_EQ(cli.StatusCode(), 404);
            EXPECT_GE(socketErrors, 1);
        }
    }
}

namespace {
// Counts the connects it is asked for; given addresses, it answers the
// lookup of any name with them, in their order.
class CountingSocket : public TWSocket {
public:
    explicit CountingSocket(std::vector<std::string> addresses, int &connects)
        : addresses_(std::move(addresses)), connects_(connects)
    {
    }
    std::string lookedUp;
    void Connect() override
    {
        ++connects_;
        TWSocket::Connect();
    }
    void DnsLookup(const std::string &HostName) override
    {
        if (addresses_.empty()) {
            TWSocket::DnsLookup(HostName);
            return;
        }
        lookedUp = HostName;
        FDnsResultList = addresses_;
        FDnsResult = addresses_.front();
        FireDnsLookupDone(0);
    }

private:
    std::vector<std::string> addresses_;
    int &connects_;
};
} // namespace

TEST(HttpCliFlow, IPv6AddressesAndNamesOfBothFamilies)
{
    // localhost is ::1 first, then 127.0.0.1, on this machine as on Debian.
    struct Row {
        const char *name;
        const char *serverAddress;
        std::string host; // "%1" stands for the server's port
        std::string localAddr = {};
        int connects = 0; // 0: not counted
        bool silentFirst = false;
        std::vector<std::string> addresses = {}; // what the lookup gives instead of the resolver's answer
        std::string wireHost = {};               // the name looked up and sent, when not the one written
    };
    const Row rows[] = {
        {"by IPv6 address", "::1", "[::1]:%1"},
        {"a name whose first address answers", "::1", "localhost:%1", "", 1},
        {"a name whose first address refuses and second answers, one attempt each", "127.0.0.1", "localhost:%1", "", 2},
        {"an IPv4 local address passes over the IPv6 address", "127.0.0.1", "localhost:%1", "127.0.0.1"},
        // The second address starts beside the silent one, which is never
        // given up on by a connect of its own.
        {"a name whose first address never answers", "127.0.0.1", "localhost:%1", "", 1, true},
        // A multicast address: no route for a stream, refused before any packet.
        {"an unreachable first address moves on",
         "127.0.0.1",
         "far.example:%1",
         "",
         2,
         false,
         {"224.0.0.1", "127.0.0.1"}},
        {"an accented name is looked up and sent in its IDNA form",
         "127.0.0.1",
         "citt\xe0.example:%1",
         "",
         1,
         false,
         {"127.0.0.1"},
         "xn--citt-3na.example"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({Page("six")}, std::chrono::seconds(20), row.serverAddress);
        std::unique_ptr<SilentAddress> silent;
        if (row.silentFirst) {
            silent = std::make_unique<SilentAddress>("::1", server.Port());
            ASSERT_TRUE(silent->Ready()) << "no silent [::1]:" << server.PortText();
        }
        std::string host = row.host;
        host.replace(host.find("%1"), 2, server.PortText());
        TMemoryStream body;
        int connects = 0;
        auto socket = std::make_unique<CountingSocket>(row.addresses, connects);
        CountingSocket &counting = *socket;
        THttpCli cli(std::move(socket));
        cli.SetRcvdStream(&body);
        if (!row.localAddr.empty())
            cli.SetLocalAddr(row.localAddr);
        cli.SetURL("http://" + host + "/x");
        const GetOutcome got = RunGet(cli);
        EXPECT_FALSE(got.raised) << got.message;
        EXPECT_EQ(body.Bytes(), "six");
        ASSERT_TRUE(server.WaitFinished(1));
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(RequestLine(server.Requests()[0]), "GET /x HTTP/1.0");
        const std::string sent = row.wireHost.empty() ? host : row.wireHost + ":" + server.PortText();
        EXPECT_EQ(HostLine(server.Requests()[0]), "Host: " + sent);
        if (!row.wireHost.empty()) {
            EXPECT_EQ(counting.lookedUp, row.wireHost);
        }
        if (row.connects != 0) {
            EXPECT_EQ(connects, row.connects);
        }
    }
}

namespace {
// Aborts when the try of the next address is due, before it starts.
class AbortedBetweenAddresses : public THttpCli {
public:
    int tries = 0;

protected:
    LRESULT WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam) override
    {
        if (Msg == WM_HTTP_NEXT_ADDRESS && tries++ == 0)
            Abort();
        return THttpCli::WindowProcedure(Msg, wParam, lParam);
    }
};
} // namespace

TEST(HttpCliFlow, AnAbortBetweenTwoAddressesEndsTheRequestOnce)
{
    // ::1 refuses; the abort comes before 127.0.0.1 is tried.
    ScriptedServer server({Page("never")});
    AbortedBetweenAddresses cli;
    cli.SetURL("http://localhost:" + server.PortText() + "/");
    std::vector<std::uint16_t> errors;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t error) { errors.push_back(error); };
    const GetOutcome got = RunGet(cli);
    EXPECT_TRUE(got.raised);
    EXPECT_EQ(got.message, "Connection aborted on request");
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(cli.tries, 1);
    EXPECT_EQ(errors, std::vector<std::uint16_t>{httperrAborted});
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(cli.State(), hsReady);
}

TEST(HttpCliRelocation, FromIPv4ToIPv6AndBack)
{
    ScriptedServer last({Page("back in IPv4")});
    ScriptedServer middle({Redirect("http://" + last.HostPort() + "/c")}, std::chrono::seconds(20), "::1");
    ScriptedServer first({Redirect("http://" + middle.HostPort() + "/b")});
    TMemoryStream body;
    THttpCli cli;
    cli.SetRcvdStream(&body);
    cli.SetURL("http://" + first.HostPort() + "/a");
    std::vector<std::string> locations;
    cli.OnLocationChange = [&](THttpCli *c) { locations.push_back(c->Location()); };
    const GetOutcome got = RunGet(cli);
    EXPECT_FALSE(got.raised) << got.message;
    EXPECT_EQ(body.Bytes(), "back in IPv4");
    EXPECT_EQ(locations,
              (std::vector<std::string>{"http://" + middle.HostPort() + "/b", "http://" + last.HostPort() + "/c"}));
    ASSERT_TRUE(middle.WaitFinished(1));
    EXPECT_EQ(HostLine(middle.Requests()[0]), "Host: " + middle.HostPort());
    ASSERT_TRUE(last.WaitFinished(1));
    EXPECT_EQ(RequestLine(last.Requests()[0]), "GET /c HTTP/1.0");
}

TEST(HttpCliFlow, NextRequestRightAfterAFailureIsNotCutShort)
{
    // A failed request may leave a report of its end in the queue (an abort
    // ends at once and the close reports later; a refused connection reports
    // twice). It must not end the request that the caller starts next, as a
    // run does after a time-out.
    ScriptedServer probe({});
    const std::string closedPort = probe.PortText();
    probe.Stop();
    struct Row {
        const char *name;
        std::function<void(THttpCli &, ScriptedServer &)> fail;
        bool firstConnectionHeld;
    };
    const Row rows[] = {
        {"after a refused connection",
         [&](THttpCli &c, ScriptedServer &) {
             c.SetURL("http://127.0.0.1:" + closedPort + "/");
             EXPECT_TRUE(RunGet(c).raised);
         },
         false},
        {"after an abort",
         [](THttpCli &c, ScriptedServer &s) {
             c.SetURL("http://" + s.HostPort() + "/hold");
             const auto abort = After(100, [&] { c.Abort(); });
             EXPECT_TRUE(RunGet(c).raised);
         },
         true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<ConnectionScript> scripts;
        if (row.firstConnectionHeld)
            scripts.push_back(ConnectionScript().ReadRequest().Hold());
        scripts.push_back(ConnectionScript().ReadRequest().Pause(150).Send("HTTP/1.0 200 OK\r\n\r\nfull body"));
        ScriptedServer server(scripts);
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        row.fail(cli, server);
        cli.SetURL("http://" + server.HostPort() + "/");
        EXPECT_FALSE(RunGet(cli).raised);
        EXPECT_EQ(cli.StatusCode(), 200);
        EXPECT_EQ(body.Bytes(), "full body");
    }
}

TEST(HttpCliFlow, RequestsOneAfterTheOtherOnOneClient)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n").Hold(),
                           Page("second"), ConnectionScript().ReadRequest().Send("HTTP/1.0 404 Not Found\r\n\r\n"),
                           Page("fourth")});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    const char *wantBodies[] = {"", "second", "", "fourth"};
    const bool wantRaised[] = {false, false, true, false};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        TMemoryStream body;
        cli.SetRcvdStream(&body);
        EXPECT_EQ(RunGet(cli).raised, wantRaised[i]);
        EXPECT_EQ(body.Bytes(), wantBodies[i]);
    }
    EXPECT_EQ(server.Connections(), 4);
}

TEST(HttpCliFlow, GetWaitsWithoutBurningTheProcessorAndKeepsTimersRunning)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Pause(400).Send("HTTP/1.0 200 OK\r\n\r\nlate")});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    const double before = CpuSeconds();
    EXPECT_FALSE(RunGet(cli).raised);
    const double used = CpuSeconds() - before;
    EXPECT_GE(ticks, 5);
    // A loop that polls would use the whole 400 ms.
    EXPECT_LT(used, 0.2);
}

TEST(HttpCliFlow, ClientDestroyedByItsOwnHandlerWhileGetWaits)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nabc").Hold()});
    auto *cli = new THttpCli;
    cli->SetURL("http://" + server.HostPort() + "/");
    cli->OnDocData = [](THttpCli *sender, const void *, int) { delete sender; };
    try {
        cli->Get();
        ADD_FAILURE() << "no exception";
    } catch (const EHttpException &e) {
        EXPECT_EQ(e.Message().toStdString(), "Connection aborted on request");
    }
    PumpUntil([] { return false; }, 50);
}

TEST(HttpCliFlow, MultiThreadedWaitUsesTheSocketPump)
{
    ScriptedServer server({Page("mt")});
    THttpCli cli;
    cli.SetMultiThreaded(true);
    EXPECT_TRUE(cli.CtrlSocket().MultiThreaded());
    TMemoryStream body;
    cli.SetRcvdStream(&body);
    cli.SetURL("http://" + server.HostPort() + "/");
    EXPECT_FALSE(RunGet(cli).raised);
    EXPECT_EQ(body.Bytes(), "mt");
}

TEST(HttpCliFlow, AnAddressWithoutAPortGoesToPortEighty)
{
    // Every other test names its server's port; here the socket is watched to
    // see which port it was asked to connect to. Nothing needs to listen on 80.
    struct Row {
        const char *name;
        std::string url;      // "%1" stands for the first server's port
        std::string location; // empty: no relocation
    };
    const Row rows[] = {
        {"direct request", "http://127.0.0.1/page.htm", ""},
        {"relocation to an address without a port", "http://127.0.0.1:%1/a", "http://127.0.0.1/b"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer first({Redirect(row.location)});
        std::string url = row.url;
        if (const std::size_t at = url.find("%1"); at != std::string::npos)
            url.replace(at, 2, first.PortText());
        std::vector<std::string> ports;
        THttpCli cli;
        cli.CtrlSocket().OnChangeState = [&](TCustomWSocket *s, TSocketState, TSocketState now) {
            if (now == wsOpened)
                ports.push_back(s->Port());
        };
        cli.SetURL(url);
        RunGet(cli, 15000);
        std::vector<std::string> want;
        if (!row.location.empty())
            want.push_back(first.PortText());
        want.push_back("80");
        EXPECT_EQ(ports, want);
    }
}
