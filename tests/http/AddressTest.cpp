#include "net/HttpProt.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

struct Parts {
    std::string scheme, user, password, host, port, path;
    bool operator==(const Parts &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Parts &p)
{
    return os << "{scheme '" << p.scheme << "', user '" << p.user << "', password '" << p.password << "', host '"
              << p.host << "', port '" << p.port << "', path '" << p.path << "'}";
}

Parts Split(const std::string &address, const std::string &base = {})
{
    Parts p;
    p.path = base;
    // Stale values in the outputs must not leak into the result.
    p.scheme = p.user = p.password = p.host = p.port = "stale";
    SplitAddress(address, p.scheme, p.user, p.password, p.host, p.port, p.path);
    return p;
}

std::string Repeat(const std::string &piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

} // namespace

TEST(SplitAddressTest, EveryBranch)
{
    struct Row {
        const char *name;
        std::string address;
        std::string base;
        Parts want;
    };
    const Row rows[] = {
        {"empty address clears everything", "", "/base/x.htm", {}},
        {"full address", "http://u:p@h:81/d/x?q", "", {"http", "u", "p", "h", "81", "/d/x?q"}},
        {"no scheme", "site.it/p", "", {"", "", "", "site.it", "", "/p"}},
        {"host only", "http://h", "", {"http", "", "", "h", "", ""}},
        {"query right after host", "http://h?x=1", "", {"http", "", "", "h", "", "?x=1"}},
        {"host and port", "h:8080", "", {"", "", "", "h", "8080", ""}},
        {"user and host", "u@h", "", {"", "u", "", "h", "", ""}},
        {"user, password and host", "http://u:p@h/x", "", {"http", "u", "p", "h", "", "/x"}},
        {"user and port", "http://u@h:81/", "", {"http", "u", "", "h", "81", "/"}},
        {"password keeps later colons", "http://u:p:q@h/", "", {"http", "u", "p:q", "h", "", "/"}},
        {"last at sign separates host", "http://a@b@h/", "", {"http", "a@b", "", "h", "", "/"}},
        {"empty port", "http://h:/x", "", {"http", "", "", "h", "", "/x"}},
        {"other scheme in the set", "ftp+x.y-z://h/f", "", {"ftp+x.y-z", "", "", "h", "", "/f"}},
        {"upper-case scheme is not a scheme", "HTTP://h/p", "", {"http", "", "", "HTTP", "", "//h/p"}},
        {"scheme with a blank", "ht tp://h/p", "", {"http", "", "", "ht tp", "", "//h/p"}},
        {"empty scheme before the marker", "://h/p", "", {"", "", "", "h", "", "/p"}},
        {"absolute path", "/a/b.htm", "/x/y", {"http", "", "", "", "", "/a/b.htm"}},
        {"lone slash", "/", "", {"http", "", "", "", "", "/"}},
        {"two leading slashes", "//h/p", "", {"http", "", "", "", "", "/h/p"}},
        {"http: with a path", "http:/x/y", "", {"http", "", "", "", "", "/x/y"}},
        {"Http: in mixed case", "Http:/x", "", {"http", "", "", "", "", "/x"}},
        {"http: with slash at seven", "http:x/y", "", {"http", "", "", "", "", "/y"}},
        {"http: alone", "http:", "", {"http", "", "", "", "", ""}},
        {"http: six characters", "http:x", "", {"http", "", "", "", "", ""}},
        {"mailto", "mailto:info@maker.it", "", {"mailto", "info", "", "maker.it", "", ""}},
        {"MAILTO upper case", "MAILTO:a@b", "", {"mailto", "a", "", "b", "", ""}},
        {"dot slash against a base", "./c.htm", "/a/b/x.htm", {"", "", "", "", "", "/a/b/c.htm"}},
        {"dot slash without a base", "./c.htm", "", {"", "", "", "", "", "/c.htm"}},
        {"dot dot slash", "../x", "/a/b/c.htm", {"", "", "", "", "", "/a/x"}},
        {"dot dot slash twice", "../../x", "/a/b/c.htm", {"", "", "", "", "", "/x"}},
        {"dot dot above the root", "../../../x", "/a/b/c.htm", {"", "", "", "", "", "/x"}},
        {"dot dot without a base", "../x", "", {"", "", "", "", "", "/x"}},
        {"dot dot from a folder", "../x", "/a/b/", {"", "", "", "", "", "/a/x"}},
        {"IPv6 address and port", "http://[::1]:8080/x", "", {"http", "", "", "[::1]", "8080", "/x"}},
        {"IPv6 address alone", "https://[2001:db8::1]", "", {"https", "", "", "[2001:db8::1]", "", ""}},
        {"IPv6 address, query", "http://[::1]?a:b", "", {"http", "", "", "[::1]", "", "?a:b"}},
        {"IPv6 address with user and port", "http://u:p@[::1]:81/", "", {"http", "u", "p", "[::1]", "81", "/"}},
        {"IPv6 address with user", "u@[fe80::2]", "", {"", "u", "", "[fe80::2]", "", ""}},
        {"IPv6 address, empty port", "http://[::1]:/x", "", {"http", "", "", "[::1]", "", "/x"}},
        {"IPv6 address, no scheme", "[::1]:8888", "", {"", "", "", "[::1]", "8888", ""}},
        {"text after the bracket stays with the host", "http://[::1]x:80/", "", {"http", "", "", "[::1]x:80", "", "/"}},
        {"bracket never closed", "http://[::1:80/", "", {"http", "", "", "[::1", "80", "/"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Split(row.address, row.base), row.want);
    }
}

TEST(SplitAddressTest, ResultMayBeSplitIntoTheBaseItself)
{
    // The client passes its own request path as both base and result.
    std::string s, u, p, h, port, path = "/a/b/c.htm";
    SplitAddress("../d.htm", s, u, p, h, port, path);
    EXPECT_EQ(path, "/a/d.htm");
}

TEST(AddressHelpers, AddressBase)
{
    struct Row {
        const char *name;
        std::string address, want;
    };
    const Row rows[] = {
        {"folder of a document", "/a/b/c.htm", "/a/b/"},
        {"slash inside the query is ignored", "/a/b.cgi?x=/y/z", "/a/"},
        {"colon counts", "http:x", "http:"},
        {"absolute address", "http://h/a/b", "http://h/a/"},
        {"nothing to cut", "abc", ""},
        {"query only", "?x/y", ""},
        {"empty", "", ""},
        {"slash right before the query", "/a/?q", "/a/"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(AddressBase(row.address), row.want);
    }
}

TEST(AddressHelpers, LastPosition)
{
    EXPECT_EQ(LastPosition("/", "/a/b"), 3);
    EXPECT_EQ(LastPosition("ab", "abxab"), 4);
    EXPECT_EQ(LastPosition("?", "/a/b"), 0);
    EXPECT_EQ(LastPosition("", "abc"), 0);
    EXPECT_EQ(LastPosition("abcd", "abc"), 0);
}

TEST(AddressHelpers, ReplaceExtension)
{
    struct Row {
        const char *name;
        std::string in, ext, want;
    };
    const Row rows[] = {
        {"executable", "setup.exe", "htm", "setup.htm"},
        {"no extension", "index", "htm", "index.htm"},
        {"only the last dot", "a.tar.gz", "htm", "a.tar.htm"},
        {"trailing dot", "name.", "htm", "name.htm"},
        {"empty name", "", "htm", ".htm"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string name = row.in;
        ReplaceExtension(name, row.ext);
        EXPECT_EQ(name, row.want);
    }
}

TEST(AddressHelpers, DeriveDocName)
{
    struct Row {
        const char *name;
        std::string in, want;
    };
    const Row rows[] = {
        {"root", "/", "document.htm"},
        {"empty", "", "document.htm"},
        {"folder", "/a/b/", "document.htm"},
        {"query after a folder", "/a/?x=1", "document.htm"},
        {"cgi with query", "/a/b.cgi?x=1", "b.cgi"},
        {"plain file", "/dir/p.htm", "p.htm"},
        {"no slash", "file.txt", "file.txt"},
        {"query only", "?x", "document.htm"},
        {"absolute address", "http://h/x/y.zip", "y.zip"},
        {"long name cut to 255", "/" + std::string(300, 'n'), std::string(255, 'n')},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string doc = row.in;
        DeriveDocName(doc);
        EXPECT_EQ(doc, row.want);
    }
}

TEST(EncodingTest, Base64)
{
    struct Row {
        const char *name;
        std::string in, want;
    };
    const Row rows[] = {
        {"empty", "", ""},
        {"one byte pads twice", "f", "Zg=="},
        {"two bytes pad once", "fo", "Zm8="},
        {"three bytes no pad", "foo", "Zm9v"},
        {"credentials", "user:pass", "dXNlcjpwYXNz"},
        {"long text has no line breaks", std::string(99, 'a'), Repeat("YWFh", 33)},
        {"high bytes", std::string("\xff\xfe\x00", 3), "//4A"},
        {"all alphabet ends", std::string("\xfb\xff", 2), "+/8="},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Base64Encode(row.in), row.want);
    }
}

TEST(EncodingTest, WhatGoesOnTheWire)
{
    // In: the list's code page (Windows-1252), as the run hands the address over.
    struct Row {
        const char *name;
        std::string path, wirePath, host, wireHost;
    };
    const Row rows[] = {
        {"ASCII untouched", "/a b/c?x=%41", "/a b/c?x=%41", "www.example.it", "www.example.it"},
        {"accented letter as UTF-8", "/citt\xe0.html", "/citt%C3%A0.html", "citt\xe0.it", "xn--citt-3na.it"},
        {"already encoded stays, the query too", "/%C3%A0?q=\xe8", "/%C3%A0?q=%C3%A8", std::string("b\xfc") + "cher.de",
         "xn--bcher-kva.de"},
        // 0x80 is the euro sign in the code page, three bytes in UTF-8.
        {"a byte the code page gives a sign of its own", "/\x80", "/%E2%82%AC", "x.example", "x.example"},
        {"a name with no IDNA form stays as written", "/", "/", "a\xe0..b", "a\xe0..b"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(WirePath(row.path), row.wirePath);
        EXPECT_EQ(WireHost(row.host), row.wireHost);
    }
}

TEST(EncodingTest, HttpDate)
{
    struct Row {
        const char *name;
        double t;
        std::string want;
    };
    const Row rows[] = {
        {"first monday of 1900", 2.0, "Mon, 01 Jan 1900 00:00:00"},
        {"day zero", 0.0, "Sat, 30 Dec 1899 00:00:00"},
        {"time of day", 2.75, "Mon, 01 Jan 1900 18:00:00"},
        {"leap day 2000", 36585.5, "Tue, 29 Feb 2000 12:00:00"},
        {"2003 release month", 37712.0 + (13 * 3600 + 5 * 60 + 9) / 86400.0, "Tue, 01 Apr 2003 13:05:09"},
        {"before the epoch", -1.25, "Fri, 29 Dec 1899 06:00:00"},
        {"rounding up to midnight", 3.0 - 1e-10, "Tue, 02 Jan 1900 00:00:00"},
        {"far future pinned", 1e12, "Fri, 31 Dec 9999 23:59:59"},
        {"not a number", std::nan(""), "Sat, 30 Dec 1899 00:00:00"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HttpDate(row.t), row.want);
    }
}
