#include "tests/http/HttpTestHelpers.h"

namespace {

// A connection that first reads the whole request.
ConnectionScript Answer()
{
    return ConnectionScript().ReadRequest();
}

} // namespace

TEST(HttpCliResponse, Outcomes)
{
    struct Row {
        const char *name;
        ConnectionScript reply;
        bool raised;
        int code;           // ErrorCode when raised, else StatusCode
        std::string reason; // message when raised, else ReasonPhrase
        std::string body;
        std::string contentType = "";
        int contentLength = -1;
    };
    const std::string longLine = "X-Long: " + std::string(8192 - 8, 'a');
    const std::string fitLine = "X-Fit: " + std::string(8191 - 7, 'b') + "\n";
    const Row rows[] = {
        {"page in small fragments",
         Answer().Send("HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\n\r\n<p>hi</p>\r\nend", 7, 15), false, 200, "OK",
         "<p>hi</p>\r\nend", "text/html"},
        {"status line of version 1.1 and lone line feeds",
         Answer().Send("HTTP/1.1 203 Partial Info\nContent-Length: 3\n\nabc"), false, 203, "Partial Info", "abc", "",
         3},
        {"bytes beyond Content-Length are no body", Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nabcd"),
         false, 200, "OK", "ab", "", 2},
        {"Content-Length bytes on a connection held open",
         Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nab").Pause(50).Send("cde").Hold(), false, 200, "OK",
         "abcde", "", 5},
        {"html without a header is the body, line ends and all", Answer().Send("<HTML>\r\n<body>x</body>\n</html>\r\n"),
         false, 0, "", "<HTML>\r\n<body>x</body>\n</html>\r\n", "text/html"},
        {"html in mixed case, in fragments", Answer().Send("<hTmL><p>a\r\nb\r\n", 5, 20), false, 0, "",
         "<hTmL><p>a\r\nb\r\n", "text/html"},
        {"content length 0 ends at the empty line",
         Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n").Hold(), false, 200, "OK", "", "", 0},
        {"a line of 8191 bytes and its line feed fit", Answer().Send("HTTP/1.0 200 OK\r\n" + fitLine + "\r\nbody"),
         false, 200, "OK", "body"},
        {"404 keeps what came with the header",
         Answer().Send("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<h1>gone").Hold(), true, 404,
         "Not Found", "<h1>gone", "text/html"},
        {"400 is the first failing status", Answer().Send("HTTP/1.0 400 Bad Request\r\n\r\n"), true, 400, "Bad Request",
         ""},
        {"399 is not a failure", Answer().Send("HTTP/1.0 399 Odd\r\n\r\nx"), false, 399, "Odd", "x"},
        {"closed before Content-Length bytes came",
         Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc").Close(), true, 404,
         "Connection closed before end of body", "abc", "", 10},
        {"reset before Content-Length bytes came",
         Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc").Pause(50).Reset(), true, 404,
         "Connection reset before end of body", "abc", "", 10},
        {"reset in a body without a length", Answer().Send("HTTP/1.0 200 OK\r\n\r\nabc").Pause(50).Reset(), true, 404,
         "Connection reset before end of body", "abc"},
        {"Content-Length bytes, then a reset",
         Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc").Pause(50).Reset(), false, 200, "OK", "abc",
         "", 3},
        {"500 raises with its own reason", Answer().Send("HTTP/1.0 500 Internal Server Error\r\n\r\n"), true, 500,
         "Internal Server Error", ""},
        {"closed before the end of the header", Answer().Send("HTTP/1.0 200 OK\r\nServer: x\r\n").Close(), true, 404,
         "Connection closed before end of header", ""},
        {"closed without any answer", Answer().Close(), true, 404, "Connection closed before end of header", ""},
        {"reset in the middle of the header", Answer().Send("HTTP/1.0 200 OK\r\nSer").Pause(50).Reset(), true, 404,
         "Connection closed before end of header", ""},
        {"malformed status", Answer().Send("HTTP/1.0 2x0 OK\r\n\r\nbody").Hold(), true, 404,
         "Malformed status line: HTTP/1.0 2x0 OK", ""},
        {"status line cut short", Answer().Send("HTTP/1.1\r\n\r\nbody").Hold(), true, 404,
         "Malformed status line: HTTP/1.1", ""},
        {"malformed Content-Length", Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 12ab\r\n\r\n").Hold(), true, 404,
         "Malformed Content-Length: 12ab", ""},
        {"header line of 8192 bytes", Answer().Send("HTTP/1.0 200 OK\r\n" + longLine).Hold(), true, 404,
         "HTTP line too long", ""},
        {"header that never ends",
         Answer().Send("HTTP/1.0 200 OK\r\n" + Repeat("X-A: b\r\n", THttpCli::kMaxHeaderBytes / 8 + 2)).Hold(), true,
         404, "Response header too large", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({row.reply});
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        cli.SetURL("http://" + server.HostPort() + "/page.htm");
        const GetOutcome got = RunGet(cli);
        EXPECT_EQ(got.raised, row.raised);
        if (row.raised) {
            EXPECT_EQ(got.code, row.code);
            EXPECT_EQ(got.message, row.reason);
        } else {
            EXPECT_EQ(cli.StatusCode(), row.code);
            EXPECT_EQ(cli.ReasonPhrase(), row.reason);
        }
        EXPECT_EQ(body.Bytes(), row.body);
        EXPECT_EQ(cli.RcvdCount(), static_cast<int>(row.body.size()));
        EXPECT_EQ(cli.ContentType(), row.contentType);
        EXPECT_EQ(cli.ContentLength(), row.contentLength);
        // The client is usable again at once.
        EXPECT_EQ(cli.State(), hsReady);
    }
}

TEST(HttpCliResponse, HeaderFields)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("HTTP/1.0 206 Partial Content\r\n"
                                                                 "Content-Range: bytes 100-199/500\r\n"
                                                                 "Accept-Ranges: bytes\r\n"
                                                                 "Set-Cookie: a=1; path=/\r\n"
                                                                 "set-cookie:b=2\r\n"
                                                                 "WWW-Authenticate: Basic realm=x\r\n"
                                                                 "Content-Type: TEXT/HTML; Charset=UTF-8\r\n"
                                                                 "X-Other:   kept as is\r\n"
                                                                 "\r\n"
                                                                 "body")});
    TMemoryStream body;
    THttpCli cli;
    cli.SetRcvdStream(&body);
    cli.SetURL("http://" + server.HostPort() + "/files/setup.exe?v=2");
    std::vector<std::string> cookies;
    int headerData = 0;
    cli.OnCookie = [&](THttpCli *, const std::string &data, bool &accept) {
        EXPECT_TRUE(accept);
        accept = false;
        cookies.push_back(data);
    };
    cli.OnHeaderData = [&](THttpCli *) { ++headerData; };
    EXPECT_FALSE(RunGet(cli).raised);
    EXPECT_EQ(cli.StatusCode(), 206);
    EXPECT_EQ(cli.ContentRangeBegin(), "100");
    EXPECT_EQ(cli.ContentRangeEnd(), "199");
    EXPECT_EQ(cli.AcceptRanges(), "bytes");
    EXPECT_EQ(cli.ContentType(), "text/html; charset=utf-8");
    EXPECT_EQ(cookies, (std::vector<std::string>{"a=1; path=/", "b=2"}));
    EXPECT_EQ(headerData, 8);
    ASSERT_EQ(cli.RcvdHeader().size(), 8u);
    EXPECT_EQ(cli.RcvdHeader().front(), "HTTP/1.0 206 Partial Content");
    EXPECT_EQ(cli.RcvdHeader().back(), "X-Other:   kept as is");
    // Not exactly "text/html": the name keeps its extension.
    EXPECT_EQ(cli.DocName(), "setup.exe");
    EXPECT_EQ(body.Bytes(), "body");
}

TEST(HttpCliResponse, DocumentName)
{
    struct Row {
        const char *name;
        std::string path, contentType, want;
    };
    const Row rows[] = {
        {"program served as a page", "/files/setup.exe", "text/html", "setup.htm"},
        {"no extension served as a page", "/cgi/list?x=1", "text/html", "list.htm"},
        {"program served as a program", "/files/setup.exe", "application/octet-stream", "setup.exe"},
        {"folder", "/dir/", "text/html", "document.htm"},
        {"other extension untouched", "/a/b.php", "text/html", "b.php"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({ConnectionScript().ReadRequest().Send(
            "HTTP/1.0 200 OK\r\nContent-Type: " + row.contentType + "\r\n\r\nx")});
        THttpCli cli;
        cli.SetURL("http://" + server.HostPort() + row.path);
        EXPECT_FALSE(RunGet(cli).raised);
        EXPECT_EQ(cli.DocName(), row.want);
    }
}

TEST(HttpCliResponse, AsynchronousFailureReportsItsErrorToo)
{
    // Without Get the caller only has OnRequestDone: a failed request must
    // not look like a clean end there either.
    struct Row {
        const char *name;
        ConnectionScript reply;
        std::uint16_t error;
    };
    const Row rows[] = {
        {"header cut short", Answer().Send("HTTP/1.0 200 OK\r\nServer: x\r\n").Close(), httperrHeaderIncomplete},
        {"body cut short", Answer().Send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nab").Close(),
         httperrBodyIncomplete},
        {"body reset", Answer().Send("HTTP/1.0 200 OK\r\n\r\nab").Pause(50).Reset(), 10054},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({row.reply});
        THttpCli cli;
        cli.SetURL("http://" + server.HostPort() + "/");
        std::vector<std::uint16_t> errors;
        cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t error) { errors.push_back(error); };
        cli.StartRequest(rqGet);
        ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
        PumpUntil([] { return false; }, 50);
        EXPECT_EQ(errors, std::vector<std::uint16_t>{row.error});
        EXPECT_EQ(cli.StatusCode(), 404);
    }
}

TEST(HttpCliResponse, RequestDoneComesAfterGetHasReturned)
{
    struct Row {
        const char *name;
        ConnectionScript reply;
        bool abortInHeader = false;
    };
    const Row rows[] = {
        {"malformed status line", Answer().Send("HTTP/1.0 2x0 OK\r\n\r\n").Hold()},
        {"header too large",
         Answer().Send("HTTP/1.0 200 OK\r\n" + Repeat("X-A: b\r\n", THttpCli::kMaxHeaderBytes / 8 + 2)).Hold()},
        {"line too long", Answer().Send("HTTP/1.0 200 OK\r\nX-Long: " + std::string(8192, 'a')).Hold()},
        {"refused relocation", Answer().Send("HTTP/1.0 302 Found\r\nLocation: https://x/\r\n\r\n").Hold()},
        {"abort from a header handler", Answer().Send("HTTP/1.0 200 OK\r\nX: y\r\n").Hold(), true},
        {"plain success", Answer().Send("HTTP/1.0 200 OK\r\n\r\nok")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({row.reply});
        THttpCli cli;
        cli.SetURL("http://" + server.HostPort() + "/");
        if (row.abortInHeader)
            cli.OnHeaderData = [](THttpCli *c) { c->Abort(); };
        bool returned = false;
        int done = 0;
        bool doneBeforeReturn = false;
        cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) {
            ++done;
            doneBeforeReturn = doneBeforeReturn || !returned;
        };
        RunGet(cli);
        returned = true;
        EXPECT_TRUE(PumpUntil([&] { return done > 0; }));
        PumpUntil([] { return false; }, 50);
        EXPECT_EQ(done, 1);
        EXPECT_FALSE(doneBeforeReturn);
    }
}
