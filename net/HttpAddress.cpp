// Address parsing and the encodings of the HTTP client: splitting a web
// address, the base a relative relocation is resolved against, document names,
// Base64 and HTTP dates. Pure functions on byte strings; no socket involved.

#include "net/HttpAddress.h"

#include "platform/TextCodec.h"

#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

bool StartsWith(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The text up to and including its last "/", or "/" when it has none.
std::string UpToLastSlash(const std::string &text)
{
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string("/") : text.substr(0, slash + 1);
}

} // namespace

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string text)
{
    for (char &c : text)
        c = LowerAscii(c);
    return text;
}

// Upper-case letters are deliberately left out: "HTTP://h" is not taken as a
// scheme and falls back to plain http with the whole text as authority.
bool InSchemeSet(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

void SplitAddress(const std::string &address, std::string &scheme, std::string &user, std::string &password,
                  std::string &host, std::string &port, std::string &path)
{
    const std::string base = path;
    scheme.clear();
    user.clear();
    password.clear();
    host.clear();
    port.clear();
    path.clear();
    if (address.empty())
        return;

    if (StartsWith(address, "./")) {
        path = UpToLastSlash(base) + address.substr(2);
        return;
    }
    if (StartsWith(address, "../")) {
        // Every "../" climbs one folder above the base document's own folder.
        std::string start = UpToLastSlash(base);
        std::string rest = address;
        while (StartsWith(rest, "../")) {
            rest.erase(0, 3);
            if (!start.empty() && start.back() == '/')
                start.pop_back();
            start = UpToLastSlash(start);
        }
        path = start + rest;
        return;
    }

    std::string rest;
    const std::size_t marker = address.find("://");
    if (marker != std::string::npos) {
        bool schemeChars = true;
        for (std::size_t i = 0; i < marker; ++i)
            schemeChars = schemeChars && InSchemeSet(address[i]);
        if (schemeChars) {
            scheme = address.substr(0, marker);
            rest = address.substr(marker + 3);
        } else {
            scheme = "http";
            rest = address;
        }
    } else if (address[0] == '/') {
        scheme = "http";
        if (address.size() < 2 || address[1] != '/') {
            path = address;
            return;
        }
        rest = address.substr(1);
    } else if (LowerAscii(address.substr(0, 5)) == "http:") {
        scheme = "http";
        if (address.size() > 6 && address[6] != '/') {
            path = address.substr(5);
            return;
        }
        rest = address.size() > 6 ? address.substr(6) : std::string();
    } else if (LowerAscii(address.substr(0, 7)) == "mailto:") {
        scheme = "mailto";
        rest = address.substr(address.find(':') + 1);
    } else {
        rest = address;
    }

    const std::size_t authorityEnd = rest.find_first_of("/?");
    std::string authority = rest.substr(0, authorityEnd);
    if (authorityEnd != std::string::npos)
        path = rest.substr(authorityEnd);

    const std::size_t at = authority.rfind('@');
    const std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
    const std::size_t bracket = authority.find(']', hostStart);
    const std::size_t colon = authority.rfind(':');
    if (hostStart < authority.size() && authority[hostStart] == '[' && bracket != std::string::npos) {
        // An IPv6 address is written in brackets, colons and all; the host
        // keeps its brackets, as Host and every address made from it need
        // them. Anything but a port after the bracket stays with the host,
        // which then names nothing.
        if (bracket + 1 < authority.size() && authority[bracket + 1] == ':') {
            host = authority.substr(hostStart, bracket + 1 - hostStart);
            port = authority.substr(bracket + 2);
        } else {
            host = authority.substr(hostStart);
        }
        if (at == std::string::npos)
            return;
    } else if (colon == std::string::npos && at == std::string::npos) {
        host = authority;
        return;
    } else if (colon != std::string::npos && (at == std::string::npos || colon > at)) {
        port = authority.substr(colon + 1);
        host = authority.substr(hostStart, colon - hostStart);
        if (at == std::string::npos)
            return;
    } else {
        host = authority.substr(at + 1);
    }
    const std::string userInfo = authority.substr(0, at);
    const std::size_t userColon = userInfo.find(':');
    if (userColon == std::string::npos) {
        user = userInfo;
    } else {
        user = userInfo.substr(0, userColon);
        password = userInfo.substr(userColon + 1);
    }
}

std::string AddressBase(const std::string &address)
{
    const std::size_t end = std::min(address.find('?'), address.size());
    const std::size_t cut = end == 0 ? std::string::npos : address.find_last_of("/:", end - 1);
    return cut == std::string::npos ? std::string() : address.substr(0, cut + 1);
}

int LastPosition(const std::string &sought, const std::string &text)
{
    if (sought.empty())
        return 0;
    const std::size_t at = text.rfind(sought);
    return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

void ReplaceExtension(std::string &name, const std::string &extension)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        name += "." + extension;
    else
        name = name.substr(0, dot + 1) + extension;
}

void DeriveDocName(std::string &docName)
{
    docName = docName.substr(0, docName.find('?'));
    if (docName.empty() || docName.back() == '/') {
        docName = "document.htm";
        return;
    }
    const std::size_t slash = docName.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    // A file name longer than 255 characters cannot be created on the
    // file systems the program saves to.
    docName = docName.substr(start, 255);
    docName = docName.substr(0, docName.find('?'));
}

std::string Base64Encode(const std::string &text)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= text.size(); i += 3) {
        const std::uint32_t v = (static_cast<unsigned char>(text[i]) << 16) |
                                (static_cast<unsigned char>(text[i + 1]) << 8) |
                                static_cast<unsigned char>(text[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t left = text.size() - i;
    if (left > 0) {
        std::uint32_t v = static_cast<unsigned char>(text[i]) << 16;
        if (left == 2)
            v |= static_cast<unsigned char>(text[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += left == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

namespace {

// Proleptic Gregorian date of a day count relative to 1970-01-01.
void CivilFromDays(std::int64_t z, std::int64_t &year, unsigned &month, unsigned &day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

std::string HttpDate(double dateTime)
{
    static const char days[] = "MonTueWedThuFriSatSun";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    // The old date type covers the years 1 to 9999; anything outside (or not
    // a number at all) is pinned to the nearest end instead of producing
    // garbage or undefined conversions.
    constexpr double kFirstDay = -693593.0;                    // 0001-01-01
    constexpr double kLastDay = 2958465.0 + 86399.0 / 86400.0; // 9999-12-31 23:59:59
    if (std::isnan(dateTime))
        dateTime = 0;
    dateTime = std::clamp(dateTime, kFirstDay, kLastDay);

    // The whole part counts days, the fraction is the time of day, also for
    // dates before the epoch (-1.25 is 1899-12-29 06:00).
    auto wholeDays = static_cast<std::int64_t>(dateTime);
    auto msOfDay =
        static_cast<std::int64_t>(std::llround(std::fabs(dateTime - static_cast<double>(wholeDays)) * 86400000.0));
    if (msOfDay >= 86400000) {
        msOfDay -= 86400000;
        wholeDays += 1;
    }
    std::int64_t year = 0;
    unsigned month = 1;
    unsigned day = 1;
    CivilFromDays(wholeDays - 25569, year, month, day);
    const int weekday = static_cast<int>(((wholeDays - 2) % 7 + 7) % 7);
    const std::int64_t seconds = msOfDay / 1000;

    char text[64];
    std::snprintf(text, sizeof text, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", days + 3 * weekday,
                  static_cast<int>(day), months + 3 * (month - 1), static_cast<int>(year),
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
    return text;
}

namespace {

bool AllAscii(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

QString FromCodePage(const std::string &text)
{
    return DecodeAnsi(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

} // namespace

std::string WirePath(const std::string &path)
{
    if (AllAscii(path))
        return path;
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out += c;
            continue;
        }
        for (const char b : FromCodePage(std::string(1, c)).toUtf8()) {
            const auto u = static_cast<unsigned char>(b);
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 0x0F];
        }
    }
    return out;
}

std::string WireHost(const std::string &host)
{
    if (AllAscii(host))
        return host;
    const QByteArray ace = QUrl::toAce(FromCodePage(host));
    return ace.isEmpty() ? host : ace.toStdString();
}
