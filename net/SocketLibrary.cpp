#include "net/SocketLibrary.h"
#include "net/SocketLibraryDetail.h"

#include "platform/Clock.h"
#include "platform/TextCodec.h"

#include <QCoreApplication>
#include <QEvent>

#include <atomic>
#include <mutex>

// The bottom of the network code: the process-wide sockets library record
// (started on the first call, released with the last socket object), the
// conversions of host, port and protocol texts, and the error texts. No hooks:
// the socket chain starts above it, in CustomWSocket.cpp.

// ---------------------------------------------------------------------------
// Library record
// ---------------------------------------------------------------------------

namespace wsdetail {

std::atomic<bool> gLoaded{false};
std::atomic<int> gSocketUserCount{0};
std::atomic<bool> gQuitRequested{false};
std::atomic<unsigned> gQuitCount{0};

std::string Trim(const std::string &s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Fills the first %s with text and the first %d with code, in whatever order
// they appear; the program's formats use at most one of each.
std::string FormatMessage(const char *format, const std::string &text, int code)
{
    std::string out;
    for (const char *p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += text;
            ++p;
        } else if (p[0] == '%' && p[1] == 'd') {
            out += std::to_string(code);
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string Dotted(std::uint32_t addr)
{
    ws::in_addr in{addr};
    return ws::inet_ntoa(in);
}

class QuitWatcher : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Quit) {
            gQuitRequested = true;
            ++gQuitCount;
        }
        return QObject::eventFilter(watched, event);
    }
};

void WatchForQuit()
{
    static QuitWatcher *watcher = nullptr;
    if (!watcher && QCoreApplication::instance()) {
        watcher = new QuitWatcher;
        watcher->moveToThread(QCoreApplication::instance()->thread());
        QCoreApplication::instance()->installEventFilter(watcher);
    }
}

} // namespace wsdetail

using namespace wsdetail;

namespace {

std::mutex gLibraryMutex;
TSocketLibrary gLibrary;

const char *const kLibraryName = "wsock32.dll";

} // namespace

ESocketException::ESocketException(const std::string &message)
    : Exception(DecodeAnsi(QByteArray::fromStdString(message))), text_(message)
{
}

const TSocketLibrary &SocketLibrary()
{
    return gLibrary;
}

void LoadSocketLibrary()
{
    std::lock_guard lock(gLibraryMutex);
    if (gLibrary.Loaded)
        return;
    const int r = ws::WSAStartup(0x0101, &gLibrary.StartupData);
    if (r != 0)
        throw ESocketException(FormatMessage("%s: WSAStartup error #%d", kLibraryName, r));
    gLibrary.Loaded = true;
    ++gLibrary.StartCount;
    gLoaded.store(true, std::memory_order_release);
}

void UnloadSocketLibrary()
{
    {
        std::lock_guard lock(gLibraryMutex);
        if (gLibrary.Loaded) {
            ws::WSACleanup();
            gLibrary.Loaded = false;
            gLibrary.StartupData = {};
            gLoaded.store(false, std::memory_order_release);
        }
    }
    gSocketUserCount = 0;
}

int SocketUserCount()
{
    return gSocketUserCount.load();
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

bool IsIPv6Literal(const std::string &text, ws::in6_addr *addr)
{
    std::string t = Trim(text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
        t = t.substr(1, t.size() - 2);
    // Every IPv6 text has a colon; a dotted IPv4 address is not one.
    if (t.find(':') == std::string::npos)
        return false;
    ws::in6_addr bytes{};
    if (ws::inet_pton(ws::AF_INET6, t.c_str(), &bytes) != 1)
        return false;
    if (addr)
        *addr = bytes;
    return true;
}

std::string AddressText(const ws::SOCKADDR_STORAGE &record)
{
    if (record.ss_family == ws::AF_INET6) {
        ws::SOCKADDR_IN6 in6;
        std::memcpy(&in6, &record, sizeof in6);
        char text[64];
        return ws::inet_ntop(ws::AF_INET6, &in6.sin6_addr, text, sizeof text) ? std::string(text) : "error";
    }
    if (record.ss_family == ws::AF_INET) {
        ws::SOCKADDR_IN in;
        std::memcpy(&in, &record, sizeof in);
        return Dotted(in.sin_addr.s_addr);
    }
    return "error";
}

std::string AddressPort(const ws::SOCKADDR_STORAGE &record)
{
    if (record.ss_family != ws::AF_INET6 && record.ss_family != ws::AF_INET)
        return "error";
    // The port sits at the same place in the records of both families.
    ws::u_short port;
    std::memcpy(&port, reinterpret_cast<const char *>(&record) + 2, sizeof port);
    return std::to_string(ws::ntohs(port));
}

bool IsDottedAddress(const std::string &text)
{
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n && text[i] == ' ')
        ++i;
    if (i < n && text[i] == '.')
        return false;
    int dots = 0;
    unsigned number = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (IsDigit(c)) {
            // Anything above 255 fails anyway; cap so long runs cannot overflow.
            number = std::min(number * 10 + static_cast<unsigned>(c - '0'), 1000u);
        } else if (c == '.') {
            if (++dots > 3 || number > 255 || i + 1 >= n || !IsDigit(text[i + 1]))
                return false;
            number = 0;
        } else {
            while (i < n && text[i] == ' ')
                ++i;
            if (i < n)
                return false;
            break;
        }
    }
    return dots == 3 && number <= 255;
}

std::uint32_t LeadingNumber(const std::string &text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    std::uint32_t n = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        n = n * 10 + static_cast<std::uint32_t>(text[i] - '0');
    return n;
}

std::uint32_t WSocketResolveHost(const std::string &host)
{
    if (host.empty() || host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.");
    const std::string trimmed = Trim(host);
    Lib();
    if (IsDottedAddress(host)) {
        const std::uint32_t addr = ws::inet_addr(trimmed.c_str());
        if (addr == ws::INADDR_NONE && trimmed != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
        return addr;
    }
    const ws::HOSTENT *he = ws::gethostbyname(trimmed.c_str());
    if (!he || !he->h_addr_list || !he->h_addr_list[0])
        throw ESocketException(FormatMessage("WSocketResolveHost: Cannot convert host address '%s', Error #%d", host,
                                             ws::WSAGetLastError()));
    std::uint32_t addr;
    std::memcpy(&addr, he->h_addr_list[0], 4);
    return addr;
}

std::uint16_t WSocketResolvePort(const std::string &port, const std::string &proto)
{
    if (port.empty() || port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (IsDigit(port[0]))
        return static_cast<std::uint16_t>(LeadingNumber(port) % 65536);
    const std::string p = Trim(port);
    const std::string pr = Trim(proto);
    Lib();
    const ws::SERVENT *se = ws::getservbyname(p.c_str(), pr.empty() ? nullptr : pr.c_str());
    if (!se)
        throw ESocketException(
            FormatMessage("WSocketResolvePort: Cannot convert port '%s', Error #%d", port, ws::WSAGetLastError()));
    return ws::ntohs(se->s_port);
}

int WSocketResolveProto(const std::string &proto)
{
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    const std::string p = Trim(proto);
    if (!p.empty() && IsDigit(p[0]))
        return static_cast<int>(LeadingNumber(p));
    Lib();
    const ws::PROTOENT *pe = ws::getprotobyname(p.c_str());
    if (!pe)
        throw ESocketException(
            FormatMessage("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", p, ws::WSAGetLastError()));
    return pe->p_proto;
}

std::string SocketErrorText(int errorCode)
{
    switch (errorCode) {
    case 0:
        return "No Error";
    case 10004:
        return "Interrupted system call";
    case 10009:
        return "Bad file number";
    case 10013:
        return "Permission denied";
    case 10014:
        return "Bad address";
    case 10022:
        return "Invalid argument";
    case 10024:
        return "Too many open files";
    case 10035:
        return "Operation would block";
    case 10036:
        return "Operation now in progress";
    case 10037:
        return "Operation already in progress";
    case 10038:
        return "Socket operation on non-socket";
    case 10039:
        return "Destination address required";
    case 10040:
        return "Message too long";
    case 10041:
        return "Protocol wrong type for socket";
    case 10042:
        return "Protocol not available";
    case 10043:
        return "Protocol not supported";
    case 10044:
        return "Socket type not supported";
    case 10045:
        return "Operation not supported on socket";
    case 10046:
        return "Protocol family not supported";
    case 10047:
        return "Address family not supported by protocol family";
    case 10048:
        return "Address already in use";
    case 10049:
        return "Address not available";
    case 10050:
        return "Network is down";
    case 10051:
        return "Network is unreachable";
    case 10052:
        return "Network dropped connection on reset";
    case 10053:
        return "Connection aborted";
    case 10054:
        return "Connection reset by peer";
    case 10055:
        return "No buffer space available";
    case 10056:
        return "Socket is already connected";
    case 10057:
        return "Socket is not connected";
    case 10058:
        return "Can't send after socket shutdown";
    case 10059:
        return "Too many references: can't splice";
    case 10060:
        return "Connection timed out";
    case 10061:
        return "Connection refused";
    case 10062:
        return "Too many levels of symbolic links";
    case 10063:
        return "File name too long";
    case 10064:
        return "Host is down";
    case 10065:
        return "No route to host";
    case 10066:
        return "Directory not empty";
    case 10067:
        return "Too many processes";
    case 10068:
        return "Too many users";
    case 10069:
        return "Disc quota exceeded";
    case 10070:
        return "Stale NFS file handle";
    case 10071:
        return "Too many levels of remote in path";
    case 10091:
        return "Network sub-system is unusable";
    case 10092:
        return "WinSock DLL cannot support this application";
    case 10093:
        return "WinSock not initialized";
    case 11001:
        return "Host not found";
    case 11002:
        return "Non-authoritative host not found";
    case 11003:
        return "Non-recoverable error";
    case 11004:
        return "No Data";
    default:
        return "Not a WinSock error";
    }
}
