// Answers a broken or hostile server may give, each of which once got
// through: a number that only looked like one, bytes of one connection
// leaking into the next, server text turned into request lines.

#include "tests/http/HttpTestHelpers.h"

namespace {

ConnectionScript Answer(const std::string &bytes)
{
    return ConnectionScript().ReadRequest().Send(bytes);
}

} // namespace

TEST(HttpCliHostileAnswer, NumbersThatAreNotQuiteNumbersFailTheRequest)
{
    struct Row {
        const char *name;
        std::string answer;
        std::string reason; // empty: the answer is accepted
        int status = 0;
        int contentLength = -1;
    };
    const Row rows[] = {
        {"a stray byte before the code shifts a blank into it", "HTTP/1.0\x95 200 OK\r\n\r\nbody",
         "Malformed status line: HTTP/1.0\x95 200 OK"},
        {"a negative code", "HTTP/1.0 -12 Odd\r\n\r\nbody", "Malformed status line: HTTP/1.0 -12 Odd"},
        {"a code with a sign", "HTTP/1.1 +20 Odd\r\n\r\nbody", "Malformed status line: HTTP/1.1 +20 Odd"},
        {"a code of two digits", "HTTP/1.0 20\r\n\r\nbody", "Malformed status line: HTTP/1.0 20"},
        {"a code with a leading zero", "HTTP/1.0 099 Odd\r\n\r\nbody", "Malformed status line: HTTP/1.0 099 Odd"},
        {"a negative length", "HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\nbody", "Malformed Content-Length: -5"},
        {"a length with a sign", "HTTP/1.0 200 OK\r\nContent-Length: +5\r\n\r\nbody", "Malformed Content-Length: +5"},
        {"a length beyond 32 bits", "HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\nbody",
         "Malformed Content-Length: 99999999999"},
        {"a code without reason is still a code", "HTTP/1.0 200\r\n\r\nbody", "", 200},
        {"a padded length is still a length", "HTTP/1.0 200 OK\r\nContent-Length:  4 \r\n\r\nbody", "", 200, 4},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server({Answer(row.answer)});
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        cli.SetURL("http://" + server.HostPort() + "/");
        const GetOutcome got = RunGet(cli);
        if (row.reason.empty()) {
            EXPECT_FALSE(got.raised) << got.message;
            EXPECT_EQ(cli.StatusCode(), row.status);
            EXPECT_EQ(cli.ContentLength(), row.contentLength);
            EXPECT_EQ(body.Bytes(), "body");
        } else {
            EXPECT_TRUE(got.raised);
            EXPECT_EQ(got.code, 404);
            EXPECT_EQ(cli.ReasonPhrase(), row.reason);
            EXPECT_EQ(body.Bytes(), "");
        }
        EXPECT_EQ(cli.State(), hsReady);
    }
}

TEST(HttpCliHostileAnswer, AnUnfinishedLineOfARelocatingAnswerStaysWithItsConnection)
{
    // The first answer relocates and closes in the middle of a line; that
    // piece once opened the next answer and turned all of it into the page.
    ScriptedServer server({Answer("HTTP/1.0 302 Found\r\nLocation: /next\r\n<html>stale").Close(),
                           Answer("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfresh")});
    TMemoryStream body;
    THttpCli cli;
    cli.SetRcvdStream(&body);
    cli.SetURL("http://" + server.HostPort() + "/first");
    const GetOutcome got = RunGet(cli);
    EXPECT_FALSE(got.raised) << got.message;
    EXPECT_EQ(cli.StatusCode(), 200);
    EXPECT_EQ(body.Bytes(), "fresh");
    EXPECT_EQ(cli.ContentType(), "text/plain");
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[1].substr(0, 20), "GET /next HTTP/1.0\r\n");
}

TEST(HttpCliHostileAnswer, ServerTextNeverBecomesRequestLines)
{
    struct Row {
        const char *name;
        std::string contentRange;
    };
    const Row rows[] = {
        {"a lone carriage return", "bytes 1-2\rX-Injected: yes/9"},
        {"a NUL byte", std::string("bytes 1\0-2/9", 12)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // The range an answer reports is never asked for by the next
        // connection, so nothing it holds is written there.
        ScriptedServer server(
            {Answer("HTTP/1.0 302 Found\r\nContent-Range: " + row.contentRange + "\r\nLocation: /next\r\n\r\n"),
             Answer("HTTP/1.0 200 OK\r\n\r\nnext")});
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        cli.SetURL("http://" + server.HostPort() + "/first");
        const GetOutcome got = RunGet(cli);
        EXPECT_FALSE(got.raised) << got.message;
        EXPECT_EQ(body.Bytes(), "next");
        EXPECT_TRUE(server.WaitFinished(2));
        server.Stop();
        ASSERT_EQ(server.Requests().size(), 2u);
        for (const std::string &request : server.Requests()) {
            EXPECT_EQ(request.find("X-Injected"), std::string::npos);
            EXPECT_EQ(request.find("Range:"), std::string::npos);
        }
    }
}

TEST(HttpCliHostileAnswer, ACallerValueWithALineBreakIsRefusedToo)
{
    ScriptedServer server({Answer("HTTP/1.0 200 OK\r\n\r\nbody")});
    THttpCli cli;
    cli.SetURL("http://" + server.HostPort() + "/");
    cli.SetAgent("agent\r\nX-Injected: yes");
    const GetOutcome got = RunGet(cli);
    EXPECT_TRUE(got.raised);
    EXPECT_EQ(got.message, "Invalid character in request header");
    EXPECT_EQ(cli.State(), hsReady);
    // Refused before anything starts: the server never sees a connection.
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(server.Connections(), 0);
}
