#include "net/WSockBuf.h"
#include "net/WSocket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

// Runs f and returns the message of the ESocketException it raised ("" when none).
std::string RaisedText(const std::function<void()> &f)
{
    try {
        f();
    } catch (const ESocketException &e) {
        return e.Text();
    }
    return {};
}

std::string DottedOf(std::uint32_t addr)
{
    ws::in_addr in{addr};
    return ws::inet_ntoa(in);
}

} // namespace

TEST(Conversions, IsDottedAddress)
{
    struct Row {
        const char *name;
        std::string text;
        bool dotted;
    };
    const Row rows[] = {
        {"plain", "10.0.0.1", true},
        {"blanks around", " 10.0.0.1 ", true},
        {"trailing blank", "1.2.3.4 ", true},
        {"three parts", "10.0.0", false},
        {"empty part", "10..0.1", false},
        {"leading dot", ".1.2.3", false},
        {"leading dot after blanks", "  .1.2.3.4", false},
        {"trailing letter", "1.2.3.4x", false},
        {"last part too big", "1.2.3.256", false},
        {"middle part too big", "1.256.3.4", false},
        {"five parts", "1.2.3.4.5", false},
        {"trailing dot", "1.2.3.", false},
        {"blank inside", "1.2 .3.4", false},
        {"letters after blank", "1.2.3.4 x", false},
        {"broadcast", "255.255.255.255", true},
        {"zero", "0.0.0.0", true},
        {"empty", "", false},
        {"blanks only", "   ", false},
        {"huge part cannot wrap", "1.2.3.4294967297", false},
        {"host name", "localhost", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(IsDottedAddress(row.text), row.dotted) << row.text;
    }
}

TEST(Conversions, LeadingNumber)
{
    struct Row {
        const char *name;
        std::string text;
        std::uint32_t value;
    };
    const Row rows[] = {
        {"digits", "80", 80},
        {"blanks first", "   8080", 8080},
        {"stops at letter", "12ab34", 12},
        {"no digit", "http", 0},
        {"empty", "", 0},
        {"wraps without check", "4294967297", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(LeadingNumber(row.text), row.value);
    }
}

TEST(Conversions, ResolvePort)
{
    struct Row {
        const char *name;
        std::string port;
        std::string proto;
        int value; // -1: an error with the text below
        std::string error;
    };
    const Row rows[] = {
        {"number", "80", "tcp", 80, ""},
        {"wraps modulo 65536", "70000", "tcp", 4464, ""},
        {"digits then letters", "81x", "tcp", 81, ""},
        {"service name", "http", "tcp", 80, ""},
        {"service name padded", "smtp ", "tcp", 25, ""},
        {"service over udp", "domain", "udp", 53, ""},
        {"empty port", "", "tcp", -1, "WSocketResolvePort: Invalid Port."},
        {"port of 32 characters", std::string(32, '1'), "tcp", -1, "WSocketResolvePort: Invalid Port."},
        {"empty proto", "80", "", -1, "WSocketResolvePort: Invalid Proto."},
        {"unknown service", "nosuchservice", "tcp", -1,
         "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.value >= 0) {
            EXPECT_EQ(WSocketResolvePort(row.port, row.proto), row.value);
        } else {
            EXPECT_EQ(RaisedText([&] { WSocketResolvePort(row.port, row.proto); }), row.error);
        }
    }
}

TEST(Conversions, ResolveProto)
{
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto(" tcp "), 6);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(RaisedText([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(RaisedText([] { WSocketResolveProto(std::string(32, 't')); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(RaisedText([] { WSocketResolveProto("nosuchproto"); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
}

TEST(Conversions, NumericProtocolNeedsNoDatabase)
{
    // With the library unloaded, a database query would have to start it again.
    UnloadSocketLibrary();
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_FALSE(SocketLibrary().Loaded);
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_TRUE(SocketLibrary().Loaded);
    UnloadSocketLibrary();
}

TEST(Conversions, ResolveHost)
{
    EXPECT_EQ(DottedOf(WSocketResolveHost("127.0.0.1")), "127.0.0.1");
    EXPECT_EQ(DottedOf(WSocketResolveHost("1.2.3.4 ")), "1.2.3.4");
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(DottedOf(WSocketResolveHost("localhost")), "127.0.0.1");

    const std::string longName(257, 'a');
    EXPECT_EQ(RaisedText([&] { WSocketResolveHost(longName); }),
              "WSocketResolveHost: '" + longName + "' Invalid Hostname.");
    EXPECT_EQ(RaisedText([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    // Not dotted (a part above 255), so it goes to the host database, which fails.
    EXPECT_EQ(RaisedText([] { WSocketResolveHost("1.2.3.999"); }),
              "WSocketResolveHost: Cannot convert host address '1.2.3.999', Error #11001");
    EXPECT_EQ(RaisedText([] { WSocketResolveHost("no-such-host.invalid"); }),
              "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #11001");
}

TEST(Conversions, ErrorTexts)
{
    struct Row {
        int code;
        const char *text;
    };
    const Row rows[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10035, "Operation would block"},
        {10047, "Address family not supported by protocol family"},
        {10054, "Connection reset by peer"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10061, "Connection refused"},
        {10069, "Disc quota exceeded"},
        {10071, "Too many levels of remote in path"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11004, "No Data"},
        {10072, "Not a WinSock error"},
        {12345, "Not a WinSock error"},
        {-1, "Not a WinSock error"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(SocketErrorText(row.code), row.text);
    }
}

TEST(SendBuffer, WriteFillsThenRefuses)
{
    TBuffer b(10);
    EXPECT_EQ(b.Write("abcdef", 6), 6);
    EXPECT_EQ(b.Write("ghijkl", 6), 4);
    EXPECT_EQ(b.Write("x", 1), 0);
    int len = 0;
    const char *p = b.Peek(len);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefghij");
}

TEST(SendBuffer, RemoveAdvancesAndResetsWhenDrained)
{
    TBuffer b(8);
    b.Write("12345678", 8);
    EXPECT_EQ(b.Remove(3), 3);
    int len = 0;
    const char *p = b.Peek(len);
    EXPECT_EQ(std::string(p, len), "45678");
    // Freed space in front is not reused while bytes remain.
    EXPECT_EQ(b.Write("z", 1), 0);
    EXPECT_EQ(b.Remove(100), 5);
    EXPECT_EQ(b.WrCount(), 0);
    EXPECT_EQ(b.RdCount(), 0);
    b.Peek(len);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Write("again", 5), 5);
}

TEST(SendBuffer, ResizeKeepsUnsentBytes)
{
    TBuffer b(0);
    EXPECT_EQ(b.BufSize(), 1514);
    b.SetBufSize(4);
    EXPECT_EQ(b.BufSize(), 4);
    b.Write("abcd", 4);
    b.Remove(1);
    b.SetBufSize(8);
    int len = 0;
    const char *p = b.Peek(len);
    EXPECT_EQ(std::string(p, len), "bcd");
    EXPECT_EQ(b.Write("efgh", 4), 4);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, len), "bcdefgh");
    // Shrinking below what was written would cut off unsent bytes: refused.
    b.SetBufSize(2);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, len), "bcdefgh");
}
