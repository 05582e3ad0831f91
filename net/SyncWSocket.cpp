#include "net/WSocket.h"

#include "platform/Clock.h"
#include "platform/TextCodec.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

// ---------------------------------------------------------------------------
// Library record
// ---------------------------------------------------------------------------

namespace {

std::mutex gLibraryMutex;
TSocketLibrary gLibrary;
std::atomic<bool> gLoaded{false};
std::atomic<int> gSocketUserCount{0};

const char *const kLibraryName = "wsock32.dll";

// Every platform sockets call goes through here first: the library starts on
// the first call after start-up or after an unload.
inline void Lib()
{
    if (!gLoaded.load(std::memory_order_acquire))
        LoadSocketLibrary();
}

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

// Set when the application asked to quit; PumpOneMessage reports it.
std::atomic<bool> gQuitRequested{false};
// Every request to quit, so a wait can tell whether one came while it ran.
std::atomic<unsigned> gQuitCount{0};

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

// ---------------------------------------------------------------------------
// TCustomWSocket
// ---------------------------------------------------------------------------

namespace {
const ws::SOCKADDR *AsSockAddr(const ws::SOCKADDR_IN *in)
{
    return reinterpret_cast<const ws::SOCKADDR *>(in);
}
ws::SOCKADDR *AsSockAddr(ws::SOCKADDR_IN *in)
{
    return reinterpret_cast<ws::SOCKADDR *>(in);
}

int SetIntOption(ws::SOCKET s, int level, int option, int value)
{
    return ws::setsockopt(s, level, option, reinterpret_cast<const char *>(&value), sizeof value);
}

// Boolean options are set with all bits on, as the old interface expects.
constexpr int kOptionOn = -1;
} // namespace

TCustomWSocket::TCustomWSocket()
{
    FWindowTarget = std::make_shared<TCustomWSocket *>(this);
    CreateNotifyWindow();
    FSendBlockSize = 1460;
    FMultiCastIpTTL = 1;
    ResetToDefaults();
    ++gSocketUserCount;
}

TCustomWSocket::~TCustomWSocket()
{
    FDestroying = true;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    try {
        if (FState != wsClosed)
            Close();
    } catch (...) {
    }
    // A handle opened by a Connect or Listen that failed half way is released too.
    if (FHSocket != ws::INVALID_SOCKET && gLoaded) {
        ws::closesocket(FHSocket);
        FHSocket = ws::INVALID_SOCKET;
    }
    if (--gSocketUserCount <= 0)
        UnloadSocketLibrary();
    DiscardSendQueue();
    *FWindowTarget = nullptr;
    DestroyNotifyWindow();
}

void TCustomWSocket::CreateNotifyWindow()
{
    auto target = FWindowTarget;
    FWindow = std::make_unique<NotifyWindow>([target](UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        TCustomWSocket *socket = *target;
        return socket ? socket->DispatchMessage(msg, wParam, lParam) : 0;
    });
    if (!FWindow)
        SignalError("Cannot create a hidden window for TWSocket");
}

void TCustomWSocket::DestroyNotifyWindow()
{
    if (!FWindow)
        return;
    if (FDispatchDepth > 0) {
        // Destroyed from inside one of its own messages: the window is still
        // delivering, so it goes once the loop is back; it reaches nobody now.
        NotifyWindow *window = FWindow.release();
        QTimer::singleShot(0, [window] { delete window; });
        return;
    }
    FWindow.reset();
}

LRESULT TCustomWSocket::DispatchMessage(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto alive = AliveToken();
    ++FDispatchDepth;
    LRESULT result = 0;
    try {
        result = WindowProcedure(Msg, wParam, lParam);
    } catch (const std::exception &e) {
        if (!alive.expired())
            HandleBackgroundError(e);
    } catch (...) {
        if (!alive.expired())
            HandleBackgroundError(ESocketException(std::string("Unknown exception in WSocket")));
    }
    if (!alive.expired())
        --FDispatchDepth;
    return result;
}

LRESULT TCustomWSocket::WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_SOCKET_SELECT:
        HandleSelectMessage(wParam, lParam);
        return 0;
    case WM_SOCKET_HOSTBYNAME:
        HandleHostByNameReply(wParam, lParam);
        return 0;
    case WM_SOCKET_HOSTBYADDR:
        HandleHostByAddrReply(wParam, lParam);
        return 0;
    case WM_SOCKET_CLOSE_DELAYED:
        Close();
        return 0;
    case WM_SOCKET_RELEASE:
        delete this;
        return 0;
    case WM_SOCKET_TEST_EXCEPTION:
        throw ESocketException(std::string("Test exception in WSocket"));
    default:
        return 0;
    }
}

void TCustomWSocket::PostNotification(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (FWindow)
        FWindow->Post(msg, wParam, lParam);
}

void TCustomWSocket::ResetToDefaults()
{
    Fsin = {};
    Fsin.sin_family = ws::AF_INET;
    FAddressFamily = ws::AF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProto = ws::IPPROTO_TCP;
    FProtoStr = "tcp";
    FType = ws::SOCK_STREAM;
    FLocalPortStr = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = ws::INVALID_SOCKET;
    FSelectEvent = 0;
    FState = wsClosed;
    FSendQueueEmpty = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FFlushTimeout = 60;
}

// --- properties --------------------------------------------------------------

// Addr, Port and Proto share their rule: the same text again changes nothing,
// a change is refused unless closed, and a new text must be resolved again.
void TCustomWSocket::SetRemotePart(const std::string &value, std::string &text, bool &assigned, bool &resolved,
                                   const char *refusal)
{
    if (assigned && value == text)
        return;
    if (FState != wsClosed) {
        SignalError(refusal);
        return;
    }
    text = Trim(value);
    resolved = false;
    assigned = !text.empty();
}

void TCustomWSocket::SetAddr(const std::string &value)
{
    SetRemotePart(value, FAddrStr, FAddrAssigned, FAddrResolved, "Cannot change Addr if not closed");
}

void TCustomWSocket::SetPort(const std::string &value)
{
    SetRemotePart(value, FPortStr, FPortAssigned, FPortResolved, "Cannot change Port if not closed");
}

void TCustomWSocket::SetProto(const std::string &value)
{
    SetRemotePart(value, FProtoStr, FProtoAssigned, FProtoResolved, "Cannot change Proto if not closed");
}

void TCustomWSocket::SetLocalAddr(const std::string &value)
{
    if (FState != wsClosed) {
        SignalError("Cannot change LocalAddr if not closed");
        return;
    }
    FLocalAddr = value.empty() ? std::string("0.0.0.0") : value;
}

void TCustomWSocket::SetLocalPort(const std::string &value)
{
    if (FState != wsClosed) {
        SignalError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = value;
    FLocalPortResolved = false;
}

TSocketSendFlags TCustomWSocket::SendFlags()
{
    if (FSendFlags == 0)
        return wsSendNormal;
    if (FSendFlags == ws::MSG_OOB)
        return wsSendUrgent;
    SignalError("Invalid internal SendFlags");
    return wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value)
{
    if (value == wsSendNormal)
        FSendFlags = 0;
    else if (value == wsSendUrgent)
        FSendFlags = ws::MSG_OOB;
    else
        SignalError("Invalid SendFlags");
}

std::vector<int> TCustomWSocket::SendQueueBlockSizes() const
{
    std::vector<int> sizes;
    for (const auto &b : FBufList) {
        int len = 0;
        b->Peek(len);
        sizes.push_back(len);
    }
    return sizes;
}

std::string TCustomWSocket::PeerAddr()
{
    if (FState != wsConnected)
        return "error";
    ws::SOCKADDR_IN sin{};
    int len = sizeof sin;
    Lib();
    if (ws::getpeername(FHSocket, AsSockAddr(&sin), &len) != 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return Dotted(sin.sin_addr.s_addr);
}

std::string TCustomWSocket::PeerPort()
{
    if (FState != wsConnected)
        return "error";
    ws::SOCKADDR_IN sin{};
    int len = sizeof sin;
    Lib();
    if (ws::getpeername(FHSocket, AsSockAddr(&sin), &len) != 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(ws::ntohs(sin.sin_port));
}

int TCustomWSocket::PeerSockAddr(ws::SOCKADDR_IN &Addr, int &AddrLen)
{
    if (FState != wsConnected)
        return -1;
    Lib();
    return ws::getpeername(FHSocket, AsSockAddr(&Addr), &AddrLen);
}

int TCustomWSocket::LocalSockAddr(ws::SOCKADDR_IN &Addr, int &AddrLen)
{
    Lib();
    return ws::getsockname(FHSocket, AsSockAddr(&Addr), &AddrLen);
}

std::string TCustomWSocket::BoundAddr()
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    ws::SOCKADDR_IN sin{};
    int len = sizeof sin;
    if (LocalSockAddr(sin, len) != 0)
        return "error";
    return Dotted(sin.sin_addr.s_addr);
}

std::string TCustomWSocket::BoundPort()
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    ws::SOCKADDR_IN sin{};
    int len = sizeof sin;
    if (LocalSockAddr(sin, len) != 0)
        return "error";
    return std::to_string(ws::ntohs(sin.sin_port));
}

// --- errors and events --------------------------------------------------------

void TCustomWSocket::SetState(TSocketState NewState)
{
    const TSocketState old = FState;
    FState = NewState;
    FireChangeState(old, NewState);
}

void TCustomWSocket::SignalError(const std::string &Msg)
{
    if (OnError) {
        FireError();
        return;
    }
    throw ESocketException(Msg);
}

void TCustomWSocket::SignalErrorFmt(const char *Format, const std::string &Arg, int Code)
{
    SignalError(FormatMessage(Format, Arg, Code));
}

void TCustomWSocket::ReportSocketError(const std::string &Operation)
{
    const int code = ws::WSAGetLastError();
    const std::string text =
        "Error " + std::to_string(code) + " in function " + Operation + "\r\n" + SocketErrorText(code);
    if (code == ws::WSAECONNRESET || code == ws::WSAENOTCONN) {
        auto alive = AliveToken();
        if (FHSocket != ws::INVALID_SOCKET && gLoaded)
            ws::closesocket(FHSocket);
        FHSocket = ws::INVALID_SOCKET;
        if (FState != wsClosed)
            FireSessionClosed(static_cast<std::uint16_t>(code));
        if (alive.expired())
            return;
        SetState(wsClosed);
        if (alive.expired())
            return;
    }
    FLastError = code;
    SignalError(text);
}

void TCustomWSocket::HandleBackgroundError(const std::exception &E)
{
    auto alive = AliveToken();
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (canClose && !alive.expired()) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

bool TCustomWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::FireSessionAvailable(std::uint16_t Error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::FireSessionConnected(std::uint16_t Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

void TCustomWSocket::FireSessionClosed(std::uint16_t Error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
}

void TCustomWSocket::FireDataSent(std::uint16_t Error)
{
    if (OnDataSent)
        OnDataSent(this, Error);
}

void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState)
{
    if (OnChangeState)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::FireDnsLookupDone(std::uint16_t Error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, Error);
}

void TCustomWSocket::FireError()
{
    if (OnError)
        OnError(this);
}

// --- lookups -------------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string &HostName)
{
    if (HostName.empty()) {
        SignalError("DNS lookup: invalid host name.");
        FireDnsLookupDone(ws::WSAEINVAL);
        return;
    }
    Lib();
    if (FDnsLookupHandle != 0) {
        ws::WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    if (IsDottedAddress(HostName)) {
        const std::uint32_t addr = ws::inet_addr(HostName.c_str());
        if (addr != ws::INADDR_NONE) {
            FDnsResult = Dotted(addr);
            FDnsResultList.push_back(FDnsResult);
            FireDnsLookupDone(0);
            return;
        }
    }
    if (!FWindow) {
        SignalError("DnsLookup: Window not assigned");
        return;
    }
    FEarlyReplyPending = false;
    FDnsLookupHandle = ws::WSAAsyncGetHostByName(FWindow->Handle(), WM_SOCKET_HOSTBYNAME, HostName.c_str(),
                                                 FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    if (FDnsLookupHandle == 0) {
        SignalErrorFmt("%s: can't start DNS lookup, error #%d", HostName, ws::WSAGetLastError());
        return;
    }
    if (FEarlyReplyPending) {
        FEarlyReplyPending = false;
        HandleHostByNameReply(FEarlyReplyWParam, FEarlyReplyLParam);
    }
}

void TCustomWSocket::ReverseDnsLookup(const std::string &HostAddr)
{
    if (HostAddr.empty() || HostAddr.size() >= 257) {
        SignalError("ReverseDnsLookup: Invalid host name.");
        FireDnsLookupDone(ws::WSAEINVAL);
        return;
    }
    Lib();
    if (FDnsLookupHandle != 0) {
        ws::WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    const std::uint32_t addr = ws::inet_addr(HostAddr.c_str());
    if (!FWindow) {
        SignalError("ReverseDnsLookup: Window not assigned");
        return;
    }
    FDnsLookupHandle =
        ws::WSAAsyncGetHostByAddr(FWindow->Handle(), WM_SOCKET_HOSTBYADDR, reinterpret_cast<const char *>(&addr), 4,
                                  ws::AF_INET, FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    if (FDnsLookupHandle == 0)
        SignalErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr, ws::WSAGetLastError());
}

void TCustomWSocket::HandleHostByNameReply(WPARAM wParam, LPARAM lParam)
{
    if (FDnsLookupHandle == 0) {
        FEarlyReplyWParam = wParam;
        FEarlyReplyLParam = lParam;
        FEarlyReplyPending = true;
        return;
    }
    if (wParam != FDnsLookupHandle)
        return;
    FDnsLookupHandle = 0;
    const std::uint16_t error = HIWORD(static_cast<std::uintptr_t>(lParam));
    if (error == 0) {
        const auto *he = reinterpret_cast<const ws::HOSTENT *>(FDnsLookupBuffer);
        for (char **p = he->h_addr_list; p && *p; ++p) {
            std::uint32_t addr;
            std::memcpy(&addr, *p, 4);
            FDnsResultList.push_back(Dotted(addr));
        }
        if (!FDnsResultList.empty())
            FDnsResult = FDnsResultList.front();
    }
    FireDnsLookupDone(error);
}

void TCustomWSocket::HandleHostByAddrReply(WPARAM wParam, LPARAM lParam)
{
    if (FDnsLookupHandle == 0 || wParam != FDnsLookupHandle)
        return;
    FDnsLookupHandle = 0;
    const std::uint16_t error = HIWORD(static_cast<std::uintptr_t>(lParam));
    if (error == 0) {
        const auto *he = reinterpret_cast<const ws::HOSTENT *>(FDnsLookupBuffer);
        FDnsResult = he->h_name ? he->h_name : "";
        FDnsResultList.push_back(FDnsResult);
    }
    FireDnsLookupDone(error);
}

void TCustomWSocket::CancelDnsLookup()
{
    if (FDnsLookupHandle == 0)
        return;
    Lib();
    const int r = ws::WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
    if (r != 0) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!FDestroying)
        FireDnsLookupDone(ws::WSAEINTR);
}

// --- connect, listen, accept ----------------------------------------------------------

bool TCustomWSocket::BindLocal()
{
    ws::SOCKADDR_IN local{};
    local.sin_family = ws::AF_INET;
    local.sin_port = ws::htons(FLocalPortNum);
    local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (ws::bind(FHSocket, AsSockAddr(&local), sizeof local) != 0) {
        SignalErrorFmt("winsock.bind failed, error #%d", std::string(), ws::WSAGetLastError());
        return false;
    }
    int len = sizeof local;
    if (ws::getsockname(FHSocket, AsSockAddr(&local), &len) != 0) {
        SignalErrorFmt("winsock.getsockname failed, error #%d", std::string(), ws::WSAGetLastError());
        return false;
    }
    FLocalPortNum = ws::ntohs(local.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNum);
    return true;
}

bool TCustomWSocket::ApplyLinger()
{
    if (FLingerOnOff == wsLingerNoSet)
        return true;
    if (FHSocket == ws::INVALID_SOCKET) {
        SignalError("Cannot set linger option at this time");
        return false;
    }
    ws::LINGER l{static_cast<ws::u_short>(FLingerOnOff), static_cast<ws::u_short>(FLingerTimeout & 0xFFFF)};
    Lib();
    if (ws::setsockopt(FHSocket, ws::SOL_SOCKET, ws::SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l) != 0) {
        ReportSocketError("setsockopt(SO_LINGER)");
        return false;
    }
    return true;
}

void TCustomWSocket::Connect()
{
    if (FHSocket != ws::INVALID_SOCKET && FState != wsClosed) {
        SignalError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        SignalError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        SignalError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        SignalError("Connect: No Protocol Specified");
        return;
    }
    std::uint32_t multicastIf = 0;
    try {
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == ws::IPPROTO_TCP   ? ws::SOCK_STREAM
                    : FProto == ws::IPPROTO_UDP ? ws::SOCK_DGRAM
                                                : ws::SOCK_RAW;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
            Fsin.sin_port = ws::htons(FPortNum);
            FPortResolved = true;
        }
        if (!FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            Fsin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
        // Resolved before a socket exists, so a bad local address cannot leave
        // a half-made socket behind.
        if (FType == ws::SOCK_DGRAM && FMultiCast && FLocalAddr != "0.0.0.0")
            multicastIf = WSocketResolveHost(FLocalAddr);
    } catch (const ESocketException &e) {
        SignalError("connect: " + e.Text());
        return;
    }

    DiscardSendQueue();
    Lib();
    FHSocket = ws::socket(FAddressFamily, FType, FProto);
    if (FHSocket == ws::INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    auto alive = AliveToken();
    SetState(wsOpened);
    if (alive.expired())
        return;
    if (FState != wsOpened) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }

    if (FType == ws::SOCK_DGRAM) {
        try {
            if (!BindLocal())
                return;
        } catch (const ESocketException &e) {
            SignalError("connect: " + e.Text());
            return;
        }
        if (FMultiCast) {
            if (FMultiCastIpTTL != 1 &&
                SetIntOption(FHSocket, ws::IPPROTO_IP, ws::IP_MULTICAST_TTL, FMultiCastIpTTL) != 0) {
                ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
                return;
            }
            if (FLocalAddr != "0.0.0.0" &&
                ws::setsockopt(FHSocket, ws::IPPROTO_IP, ws::IP_MULTICAST_IF,
                               reinterpret_cast<const char *>(&multicastIf), sizeof multicastIf) != 0) {
                ReportSocketError("setsockopt(IP_MULTICAST_IF)");
                return;
            }
        }
        if (Fsin.sin_addr.s_addr == ws::INADDR_NONE &&
            SetIntOption(FHSocket, ws::SOL_SOCKET, ws::SO_BROADCAST, 1) != 0) {
            ReportSocketError("setsockopt(SO_BROADCAST)");
            return;
        }
    } else {
        if (SetIntOption(FHSocket, ws::SOL_SOCKET, ws::SO_REUSEADDR, kOptionOn) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if ((FComponentOptions & wsoTcpNoDelay) &&
            SetIntOption(FHSocket, ws::IPPROTO_TCP, ws::TCP_NODELAY, kOptionOn) != 0) {
            ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        if (!ApplyLinger())
            return;
        if (SetIntOption(FHSocket, ws::SOL_SOCKET, ws::SO_KEEPALIVE, kOptionOn) != 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") {
            try {
                if (!BindLocal())
                    return;
            } catch (const ESocketException &e) {
                SignalError("connect: " + e.Text());
                return;
            }
        }
    }

    FSelectEvent = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;
    if (ws::WSAAsyncSelect(FHSocket, FWindow ? FWindow->Handle() : 0, WM_SOCKET_SELECT, FSelectEvent) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FType == ws::SOCK_DGRAM) {
        SetState(wsConnected);
        if (alive.expired())
            return;
        FireSessionConnected(0);
        return;
    }

    if (ws::connect(FHSocket, AsSockAddr(&Fsin), sizeof Fsin) == 0 || ws::WSAGetLastError() == ws::WSAEWOULDBLOCK) {
        SetState(wsConnecting);
    } else {
        FLastError = ws::WSAGetLastError();
        ReportSocketError("Connect");
    }
}

void TCustomWSocket::Listen()
{
    if (!FPortAssigned) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!FProtoAssigned) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!FAddrAssigned) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    std::uint32_t group = 0, groupInterface = 0;
    try {
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == ws::IPPROTO_UDP ? ws::SOCK_DGRAM : ws::SOCK_STREAM;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
            Fsin.sin_port = ws::htons(FPortNum);
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            Fsin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
        if (FType == ws::SOCK_DGRAM && FMultiCast) {
            group = ws::inet_addr(FMultiCastAddrStr.c_str());
            groupInterface = WSocketResolveHost(FAddrStr);
        }
    } catch (const ESocketException &e) {
        SignalError("listen: " + e.Text());
        return;
    }

    DiscardSendQueue();
    Lib();
    FHSocket = ws::socket(FAddressFamily, FType, FProto);
    if (FHSocket == ws::INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    if (FType == ws::SOCK_DGRAM && FReuseAddr &&
        SetIntOption(FHSocket, ws::SOL_SOCKET, ws::SO_REUSEADDR, kOptionOn) != 0) {
        ReportSocketError("setsockopt(SO_REUSEADDR)");
        return;
    }
    if (ws::bind(FHSocket, AsSockAddr(&Fsin), sizeof Fsin) != 0) {
        // The socket was never bound, so nothing else will close it: let it go
        // before reporting, or every failed Listen would leak a handle.
        const int code = ws::WSAGetLastError();
        ws::closesocket(FHSocket);
        FHSocket = ws::INVALID_SOCKET;
        ws::WSASetLastError(code);
        ReportSocketError("Bind");
        Close();
        return;
    }
    auto alive = AliveToken();
    SetState(wsBound);
    if (alive.expired())
        return;
    if (FType == ws::SOCK_DGRAM && FMultiCast) {
        ws::IP_MREQ mreq{};
        mreq.imr_multiaddr.s_addr = group;
        mreq.imr_interface.s_addr = groupInterface;
        if (ws::setsockopt(FHSocket, ws::IPPROTO_IP, ws::IP_ADD_MEMBERSHIP, reinterpret_cast<const char *>(&mreq),
                           sizeof mreq) != 0) {
            ReportSocketError("setsockopt(IP MULTICAST)");
            return;
        }
    }
    if (FType == ws::SOCK_STREAM) {
        if (ws::listen(FHSocket, 5) != 0) {
            ReportSocketError("Listen");
            return;
        }
        SetState(wsListening);
        if (alive.expired())
            return;
    } else {
        SetState(wsListening);
        if (alive.expired())
            return;
        SetState(wsConnected);
        if (alive.expired())
            return;
        FireSessionConnected(0);
        if (alive.expired() || FHSocket == ws::INVALID_SOCKET)
            return;
    }
    FSelectEvent = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CLOSE;
    if (ws::WSAAsyncSelect(FHSocket, FWindow ? FWindow->Handle() : 0, WM_SOCKET_SELECT, FSelectEvent) != 0)
        ReportSocketError("WSAASyncSelect");
}

ws::SOCKET TCustomWSocket::Accept()
{
    if (FState != wsListening) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return ws::INVALID_SOCKET;
    }
    int len = sizeof Fsin;
    Lib();
    FASocket = ws::accept(FHSocket, AsSockAddr(&Fsin), &len);
    if (FASocket == ws::INVALID_SOCKET)
        ReportSocketError("Accept");
    return FASocket;
}

void TCustomWSocket::Dup(ws::SOCKET NewHSocket)
{
    if (NewHSocket == 0 || NewHSocket == ws::INVALID_SOCKET) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    Lib();
    auto alive = AliveToken();
    if (FState != wsClosed) {
        if (ws::closesocket(FHSocket) != 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        SetState(wsClosed);
        if (alive.expired())
            return;
    }
    FHSocket = NewHSocket;
    if (!ApplyLinger())
        return;
    FSelectEvent = ws::FD_READ | ws::FD_WRITE | ws::FD_CONNECT | ws::FD_CLOSE;
    if (ws::WSAAsyncSelect(FHSocket, FWindow ? FWindow->Handle() : 0, WM_SOCKET_SELECT, FSelectEvent) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    SetState(wsConnected);
}

// --- sending ----------------------------------------------------------------------------

void TCustomWSocket::QueueSendData(const void *Data, int Len)
{
    if (Len <= 0)
        return;
    const char *p = static_cast<const char *>(Data);
    if (FBufList.empty())
        FBufList.push_back(std::make_unique<TBuffer>(FSendBlockSize));
    int n = FBufList.back()->Write(p, Len);
    p += n;
    Len -= n;
    while (Len > 0) {
        FBufList.push_back(std::make_unique<TBuffer>(FSendBlockSize));
        n = FBufList.back()->Write(p, Len);
        p += n;
        Len -= n;
    }
}

void TCustomWSocket::DiscardSendQueue()
{
    FBufList.clear();
}

int TCustomWSocket::RealSend(const char *Data, int Len)
{
    Lib();
    const int r = FType == ws::SOCK_DGRAM ? ws::sendto(FHSocket, Data, Len, FSendFlags, AsSockAddr(&Fsin), sizeof Fsin)
                                          : ws::send(FHSocket, Data, Len, FSendFlags);
    if (r > 0 && OnSendData) {
        const int saved = ws::WSAGetLastError();
        OnSendData(this, r);
        ws::WSASetLastError(saved);
    }
    return r;
}

void TCustomWSocket::TryToSend()
{
    if (FHSocket == ws::INVALID_SOCKET || FBufList.empty())
        return;
    auto alive = AliveToken();
    for (;;) {
        TBuffer &block = *FBufList.front();
        int len = 0;
        const char *data = block.Peek(len);
        if (len <= 0) {
            if (FBufList.size() == 1) {
                FSendQueueEmpty = true;
                return;
            }
            FBufList.pop_front();
            continue;
        }
        const int r = RealSend(data, len);
        if (alive.expired())
            return;
        if (r == 0)
            return;
        if (r < 0) {
            const int code = ws::WSAGetLastError();
            if (code == ws::WSAECONNRESET || code == ws::WSAENOTSOCK || code == ws::WSAENOTCONN ||
                code == ws::WSAEINVAL || code == ws::WSAECONNABORTED) {
                FCloseInvoked = true;
                Close();
                if (alive.expired())
                    return;
                FireSessionClosed(static_cast<std::uint16_t>(code));
                return;
            }
            if (code == ws::WSAEWOULDBLOCK)
                return;
            ReportSocketError("TryToSend failed");
            return;
        }
        // The handler of OnSendData may have closed the socket or emptied the queue.
        if (FBufList.empty())
            return;
        FBufList.front()->Remove(r);
        if (r < len)
            return;
    }
}

int TCustomWSocket::Send(const void *Data, int Len)
{
    if (FState != wsConnected) {
        ws::WSASetLastError(ws::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FSendQueueEmpty = false;
    int result = 0;
    if (Len > 0) {
        QueueSendData(Data, Len);
        result = Len;
    }
    auto alive = AliveToken();
    TryToSend();
    if (alive.expired())
        return result;
    // OnDataSent always comes from the message loop, never from inside Send.
    if (FSendQueueEmpty && FHSocket != ws::INVALID_SOCKET)
        PostNotification(WM_SOCKET_SELECT, static_cast<WPARAM>(FHSocket), MAKELONG(ws::FD_WRITE, 0));
    return result;
}

int TCustomWSocket::SendString(const std::string &Str)
{
    if (Str.empty())
        return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const ws::SOCKADDR_IN &Dest, int DestLen, const void *Data, int Len)
{
    Lib();
    const int r = ws::sendto(FHSocket, static_cast<const char *>(Data), Len, FSendFlags, AsSockAddr(&Dest), DestLen);
    if (r > 0 && OnSendData)
        OnSendData(this, r);
    return r;
}

void TCustomWSocket::WaitForMessages(int MaxMs)
{
    // The timer only guarantees that the wait ends; the socket's own
    // notifications usually end it sooner.
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(MaxMs);
    if (FMultiThreaded) {
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        if (dispatcher)
            dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        PumpMessages();
    } else {
        ProcessMessagesWaiting();
    }
}

void TCustomWSocket::Flush()
{
    auto alive = AliveToken();
    // A queue that holds no block has nothing to wait for, even when a Send of
    // nothing marked it as not yet sent.
    while (FHSocket != ws::INVALID_SOCKET && !FSendQueueEmpty && !FBufList.empty()) {
        TryToSend();
        if (alive.expired())
            return;
        if (FHSocket == ws::INVALID_SOCKET || FSendQueueEmpty)
            break;
        WaitForMessages(50);
        if (alive.expired())
            return;
    }
}

// --- receiving ------------------------------------------------------------------------

int TCustomWSocket::DoRecv(void *Buffer, int BufferSize, int Flags)
{
    Lib();
    ++FRecvCalls;
    return ws::recv(FHSocket, static_cast<char *>(Buffer), BufferSize, Flags);
}

int TCustomWSocket::DoRecvFrom(void *Buffer, int BufferSize, int Flags, ws::SOCKADDR_IN &From, int &FromLen)
{
    Lib();
    ++FRecvCalls;
    return ws::recvfrom(FHSocket, static_cast<char *>(Buffer), BufferSize, Flags, AsSockAddr(&From), &FromLen);
}

int TCustomWSocket::Receive(void *Buffer, int BufferSize)
{
    const int r = DoRecv(Buffer, BufferSize, 0);
    if (r < 0)
        FLastError = ws::WSAGetLastError();
    else
        FReadCount += r;
    return r;
}

int TCustomWSocket::ReceiveFrom(void *Buffer, int BufferSize, ws::SOCKADDR_IN &From, int &FromLen)
{
    const int r = DoRecvFrom(Buffer, BufferSize, 0, From, FromLen);
    if (r < 0)
        FLastError = ws::WSAGetLastError();
    else
        FReadCount += r;
    return r;
}

std::string TCustomWSocket::ReceiveString()
{
    int n = RcvdCount();
    if (n < 0)
        return {};
    if (n == 0)
        n = 255;
    std::string text(static_cast<std::size_t>(n), '\0');
    const int r = Receive(text.data(), n);
    if (r <= 0)
        return {};
    text.resize(static_cast<std::size_t>(r));
    return text;
}

int TCustomWSocket::GetRcvdCount()
{
    ws::u_long n = 0;
    Lib();
    if (ws::ioctlsocket(FHSocket, ws::FIONREAD, &n) != 0) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(n);
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions Options)
{
    auto alive = AliveToken();
    try {
        for (;;) {
            FLastError = 0;
            const int readsBefore = FRecvCalls;
            const int bytesBefore = FReadCount;
            if (!FireDataAvailable(Error)) {
                if (alive.expired())
                    return;
                char discard[1024];
                if (DoRecv(discard, sizeof discard, 0) < 0) {
                    const int code = ws::WSAGetLastError();
                    if (code == ws::WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                    FLastError = code;
                }
            }
            if (alive.expired())
                return;
            const bool progressed = FReadCount != bytesBefore;
            if (Options & wsoNoReceiveLoop) {
                // As a platform read re-arms its notification when data
                // remains, so do bytes held above it.
                if (progressed && FHSocket != ws::INVALID_SOCKET && HasBufferedData())
                    PostNotification(WM_SOCKET_SELECT, static_cast<WPARAM>(FHSocket), MAKELONG(ws::FD_READ, 0));
                break;
            }
            if (FLastError != 0)
                break;
            // A handler that did not even try to read would be called again
            // and again with the same data; its data waits for it instead.
            if (FRecvCalls == readsBefore)
                break;
            ws::u_long waiting = 0;
            if (ws::ioctlsocket(FHSocket, ws::FIONREAD, &waiting) != 0) {
                FLastError = ws::WSAGetLastError();
                break;
            }
            if (waiting == 0 && !(progressed && HasBufferedData()))
                break;
        }
    } catch (...) {
        // An exception from the data handler ends this loop and goes no further.
    }
}

void TCustomWSocket::HandleSelectMessage(WPARAM wParam, LPARAM lParam)
{
    const auto handle = static_cast<ws::SOCKET>(wParam);
    if (handle != FHSocket || FHSocket == ws::INVALID_SOCKET || FPaused)
        return;
    const std::uint16_t event = LOWORD(static_cast<std::uintptr_t>(lParam));
    const std::uint16_t error = HIWORD(static_cast<std::uintptr_t>(lParam));
    auto alive = AliveToken();
    // A handler may close the socket (or delete it) between two events.
    auto gone = [&] { return alive.expired() || FHSocket != handle; };

    if (event & ws::FD_CONNECT) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            if (gone())
                return;
            FireSessionConnected(error);
            if (gone())
                return;
            if (error != 0 && FState != wsClosed) {
                Close();
                return;
            }
        }
    }
    if (event & ws::FD_READ) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            if (gone())
                return;
            FireSessionConnected(error);
            if (gone())
                return;
        }
        ReceiveLoop(error, FComponentOptions);
        if (gone())
            return;
    }
    if (event & ws::FD_WRITE) {
        TryToSend();
        if (gone())
            return;
        if (FSendQueueEmpty) {
            FireDataSent(error);
            if (gone())
                return;
        }
    }
    if (event & ws::FD_ACCEPT) {
        FireSessionAvailable(error);
        if (gone())
            return;
    }
    if ((event & ws::FD_CLOSE) && FState != wsConnecting) {
        ReceiveLoop(0, FComponentOptions & ~static_cast<unsigned>(wsoNoReceiveLoop));
        if (gone())
            return;
        if (!FCloseInvoked) {
            FCloseInvoked = true;
            FireSessionClosed(error);
            if (gone())
                return;
        }
        if (FState != wsClosed)
            Close();
    }
}

// --- closing -------------------------------------------------------------------------

void TCustomWSocket::DoClose(bool ShutFirst, int Error)
{
    if (FHSocket == ws::INVALID_SOCKET) {
        if (FState != wsClosed) {
            SetState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (FState == wsClosed) {
        // A handle left open by a Connect or Listen that failed before the
        // socket changed state; nobody was told of a session, so no event.
        if (gLoaded)
            ws::closesocket(FHSocket);
        FHSocket = ws::INVALID_SOCKET;
        return;
    }
    if (FClosing)
        return;
    auto alive = AliveToken();
    if (ShutFirst)
        Shutdown(ws::SD_SEND);
    Lib();
    FClosing = true;
    while (FHSocket != ws::INVALID_SOCKET && ws::closesocket(FHSocket) != 0) {
        const int code = ws::WSAGetLastError();
        FLastError = code;
        if (code == ws::WSAEWOULDBLOCK) {
            // A lingering close: wait for the data to leave, keeping the
            // program alive meanwhile.
            WaitForMessages(20);
            if (alive.expired())
                return;
            continue;
        }
        FHSocket = ws::INVALID_SOCKET;
        if (code != ws::WSANOTINITIALISED) {
            FClosing = false;
            ReportSocketError("Disconnect (closesocket)");
            return;
        }
        break;
    }
    FClosing = false;
    FHSocket = ws::INVALID_SOCKET;
    SetState(wsClosed);
    if (alive.expired())
        return;
    if (!FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(static_cast<std::uint16_t>(Error));
        if (alive.expired())
            return;
    }
    try {
        ResetToDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::Close()
{
    DoClose(true, 0);
}

void TCustomWSocket::Abort()
{
    auto alive = AliveToken();
    CancelDnsLookup();
    if (alive.expired())
        return;
    DiscardSendQueue();
    if (FState == wsConnected && FProto == ws::IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int How)
{
    if (FHSocket != ws::INVALID_SOCKET) {
        Lib();
        ws::shutdown(FHSocket, How);
    }
}

void TCustomWSocket::CloseDelayed()
{
    PostNotification(WM_SOCKET_CLOSE_DELAYED);
}

void TCustomWSocket::Release()
{
    PostNotification(WM_SOCKET_RELEASE);
}

void TCustomWSocket::WaitForClose()
{
    auto alive = AliveToken();
    while (FHSocket != ws::INVALID_SOCKET && FState != wsClosed) {
        MessagePump();
        if (alive.expired() || FHSocket == ws::INVALID_SOCKET)
            return;
        ws::u_long waiting = 0;
        if (ws::ioctlsocket(FHSocket, ws::FIONREAD, &waiting) != 0)
            return;
        if (waiting > 0) {
            FireDataAvailable(0);
            if (alive.expired() || FHSocket == ws::INVALID_SOCKET)
                return;
        }
        char none;
        if (DoRecv(&none, 0, 0) <= 0) {
            FLastError = ws::WSAGetLastError();
            if (FLastError != ws::WSAEWOULDBLOCK)
                return;
        }
        WaitForMessages(50);
        if (alive.expired())
            return;
    }
}

int TCustomWSocket::Pause()
{
    FPaused = true;
    Lib();
    return ws::WSAAsyncSelect(FHSocket, FWindow ? FWindow->Handle() : 0, 0, 0);
}

int TCustomWSocket::Resume()
{
    FPaused = false;
    Lib();
    return ws::WSAAsyncSelect(FHSocket, FWindow ? FWindow->Handle() : 0, WM_SOCKET_SELECT, FSelectEvent);
}

// --- message pump ---------------------------------------------------------------------

bool TCustomWSocket::PumpOneMessage()
{
    WatchForQuit();
    QCoreApplication::sendPostedEvents();
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    const bool handled = dispatcher && dispatcher->processEvents(QEventLoop::AllEvents);
    if (gQuitRequested.exchange(false) || QCoreApplication::closingDown())
        FQuitSeen = true;
    return handled;
}

void TCustomWSocket::PumpMessages()
{
    while (PumpOneMessage()) {
    }
}

void TCustomWSocket::MessagePump()
{
    if (FMultiThreaded)
        PumpMessages();
    else
        ProcessMessages();
}

// ---------------------------------------------------------------------------
// SOCKS layer
// ---------------------------------------------------------------------------

namespace {

// The requests go out in blocks of this size; longer settings are refused
// before anything is sent rather than cut or spilled.
constexpr std::size_t kSocksRequestBlock = 128;

const char *const kSocks5ReplyErrors[] = {
    "general SOCKS server failure", "connection not allowed by ruleset",
    "network unreachable",          "host unreachable",
    "connection refused",           "time to live expired",
    "command not supported",        "address type not supported",
};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

void AppendPort(std::string &request, std::uint16_t port)
{
    request += static_cast<char>(port >> 8);
    request += static_cast<char>(port & 0xFF);
}

} // namespace

TCustomSocksWSocket::TCustomSocksWSocket()
{
    TCustomSocksWSocket::ResetToDefaults();
}

void TCustomSocksWSocket::ResetToDefaults()
{
    TCustomWSocket::ResetToDefaults();
    FSocksState = 0;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FLeftoverCount = 0;
    FSocksServerAssigned = false;
    FSocksPortAssigned = false;
}

void TCustomSocksWSocket::SetSocksServer(const std::string &value)
{
    if (FState != wsClosed) {
        SignalError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = Trim(value);
    FSocksServerAssigned = !FSocksServer.empty();
    // The remote address is the SOCKS server's or the destination's,
    // whichever this setting now says: look it up again.
    FAddrResolved = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string &value)
{
    if (FState != wsClosed) {
        SignalError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = Trim(value);
    FSocksPortAssigned = !FSocksPort.empty();
    FPortResolved = false;
}

void TCustomSocksWSocket::SetSocksLevel(const std::string &value)
{
    if (FState != wsClosed) {
        SignalError("Can't change socks level if not closed");
        return;
    }
    if (value == "4" || value == "5" || value == "4A" || value == "4a")
        FSocksLevel = value == "4a" ? std::string("4A") : value;
    else
        SignalError("Invalid socks level. Must be 4, 4A or 5.");
}

std::string TCustomSocksWSocket::SocksRequestProblem() const
{
    const std::size_t user = FSocksUsercode.size();
    const std::size_t addr = FAddrStr.size();
    if (FSocksLevel == "5") {
        // 5, 1, 0, 3, length, the name, two port bytes
        if (7 + addr > kSocksRequestBlock)
            return "Socks destination address too long: at most " + std::to_string(kSocksRequestBlock - 7) +
                   " characters";
        // 1, length, user code, length, password
        if (FSocksAuthentication == socksAuthenticateUsercode && 3 + user + FSocksPassword.size() > kSocksRequestBlock)
            return "Socks user code and password too long: at most " + std::to_string(kSocksRequestBlock - 3) +
                   " characters together";
        return {};
    }
    // 4, 1, two port bytes, four address bytes, the user code and a zero;
    // for 4A the host name and its zero follow.
    if (FSocksLevel == "4A") {
        if (10 + user + addr > kSocksRequestBlock)
            return "Socks user code and destination address too long: at most " +
                   std::to_string(kSocksRequestBlock - 10) + " characters together";
        return {};
    }
    if (9 + user > kSocksRequestBlock)
        return "Socks user code too long: at most " + std::to_string(kSocksRequestBlock - 9) + " characters";
    return {};
}

void TCustomSocksWSocket::Connect()
{
    // A socket in use is refused by the plain connect, before it could
    // disturb the running session.
    if (!FSocksServerAssigned || (FHSocket != ws::INVALID_SOCKET && FState != wsClosed)) {
        TCustomWSocket::Connect();
        return;
    }
    if (Lower(FProtoStr) != "tcp") {
        SignalError("tcp is the only protocol supported thru socks server");
        return;
    }
    const std::string problem = SocksRequestProblem();
    if (!problem.empty()) {
        FLastError = ws::WSAEINVAL;
        SignalError(problem);
        return;
    }
    try {
        if (!FPortResolved) {
            Fsin.sin_port = ws::htons(WSocketResolvePort(FSocksPort, FProtoStr));
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            Fsin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
            FAddrResolved = true;
        }
        FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
        FSocksState = 1;
        FReplyCount = 0;
        FLeftoverCount = 0;
    } catch (const ESocketException &e) {
        SignalError("connect: " + e.Text());
        return;
    }
    auto alive = AliveToken();
    TCustomWSocket::Connect();
    // Refused before a connection was started: nothing is negotiating.
    if (!alive.expired() && FState == wsClosed)
        FSocksState = 0;
}

void TCustomSocksWSocket::Listen()
{
    if (FSocksServerAssigned) {
        SignalError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

int TCustomSocksWSocket::GetRcvdCount()
{
    if (FLeftoverCount > 0)
        return FLeftoverCount;
    return TCustomWSocket::GetRcvdCount();
}

int TCustomSocksWSocket::DoRecv(void *Buffer, int BufferSize, int Flags)
{
    if (FLeftoverCount > 0) {
        ++FRecvCalls;
        const int n = std::clamp(BufferSize, 0, FLeftoverCount);
        std::memcpy(Buffer, FReplyBuffer + FLeftoverPosition, static_cast<std::size_t>(n));
        FLeftoverPosition += n;
        FLeftoverCount -= n;
        return n;
    }
    return TCustomWSocket::DoRecv(Buffer, BufferSize, Flags);
}

bool TCustomSocksWSocket::HasBufferedData()
{
    return FLeftoverCount > 0 || TCustomWSocket::HasBufferedData();
}

void TCustomSocksWSocket::FireSessionConnected(std::uint16_t Error)
{
    if (FSocksState != 1 || !FSocksServerAssigned) {
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    auto alive = AliveToken();
    FireSocksConnected(Error);
    if (alive.expired())
        return;
    if (Error != 0) {
        // The owner hears of the failure as of any failed connect; the
        // socket is closed by the caller.
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    if (FState != wsConnected || FSocksState != 1)
        return; // the handler closed the socket
    if (FSocksLevel[0] == '4') {
        SocksDoConnect();
        return;
    }
    FSocksMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
    const char request[3] = {5, 1, static_cast<char>(FSocksMethod)};
    Send(request, 3);
}

bool TCustomSocksWSocket::ReadReply(int Limit)
{
    const int room = Limit - FReplyCount;
    if (room <= 0)
        return false;
    // Straight from the platform, so the handshake does not count as data
    // read by the owner.
    const int r = TCustomWSocket::DoRecv(FReplyBuffer + FReplyCount, room, 0);
    if (r < 0) {
        FLastError = ws::WSAGetLastError();
        return false;
    }
    if (r == 0)
        return false;
    FReplyCount += r;
    return true;
}

bool TCustomSocksWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (!SocksNegotiating())
        return TCustomWSocket::FireDataAvailable(Error);
    if (Error != 0)
        return SocksFail(Error, "data receive error");
    const auto byte = [this](int i) { return static_cast<std::uint8_t>(FReplyBuffer[i]); };
    const int fullRoom = kReplyBufferSize - 1;
    auto alive = AliveToken();

    switch (FSocksState) {
    case 1: { // method reply
        if (!ReadReply(fullRoom))
            return true;
        if (FSocksLevel[0] == '4')
            return SocksFail(20001, "TWSocket logic error");
        if (FReplyCount < 2)
            return true;
        FReplyCount = 0;
        if (byte(0) != 5)
            return SocksFail(20002, "socks version error");
        if (byte(1) == 0) {
            if (FSocksMethod != 0) {
                FireSocksAuthState(socksAuthNotNeeded);
                if (alive.expired() || FState != wsConnected)
                    return true;
            }
            SocksDoConnect();
            return true;
        }
        if (byte(1) == 2) {
            SocksDoAuthenticate();
            return true;
        }
        return SocksFail(20003, "authentification method not acceptable");
    }
    case 2: { // authentication reply
        if (!ReadReply(fullRoom))
            return true;
        if (byte(0) != 1)
            return SocksFail(20002, "socks version error");
        if (FReplyCount < 2)
            return true;
        if (FReplyCount > 2)
            return SocksFail(20001, "too much data availaible");
        if (byte(1) != 0)
            return SocksFail(20015, "socks authentication failed");
        FReplyCount = 0;
        FireSocksAuthState(socksAuthAccepted);
        if (alive.expired() || FState != wsConnected)
            return true;
        SocksDoConnect();
        return true;
    }
    case 3:
        if (FSocksLevel[0] == '4') {
            // Exactly the 8-byte reply: what follows is the owner's data.
            if (!ReadReply(8))
                return true;
            if (FReplyCount < 8)
                return true;
            FReplyCount = 0;
            if (byte(0) != 0)
                return SocksFail(20002, "socks version error");
            switch (byte(1)) {
            case 90:
                return SocksGranted();
            case 91:
                return SocksFail(20016, "request rejected or failed");
            case 92:
                return SocksFail(20008, "connection refused");
            case 93:
                return SocksFail(20015, "authentification failed");
            default:
                return SocksFail(20012, "unassigned error #" + std::to_string(byte(1)));
            }
        } else {
            if (!ReadReply(fullRoom))
                return true;
            if (byte(0) != 5)
                return SocksFail(20002, "socks version error");
            if (FReplyCount >= 2 && byte(1) != 0) {
                const int code = byte(1);
                if (code >= 1 && code <= 8)
                    return SocksFail(20003 + code, kSocks5ReplyErrors[code - 1]);
                return SocksFail(20012, "unassigned error #" + std::to_string(code));
            }
            if (FReplyCount < 5)
                return true;
            const int type = byte(3);
            const int length = type == 1 ? 10 : type == 3 ? 7 + byte(4) : 5;
            if (FReplyCount < length)
                return true;
            int portAt;
            if (type == 1) {
                FBoundAddr = std::to_string(byte(4)) + "." + std::to_string(byte(5)) + "." + std::to_string(byte(6)) +
                             "." + std::to_string(byte(7));
                portAt = 8;
            } else if (type == 3) {
                FBoundAddr.assign(FReplyBuffer + 5, byte(4));
                portAt = 5 + byte(4);
            } else {
                return SocksFail(20011, "address type not supported");
            }
            FBoundPort = std::to_string((byte(portAt) << 8) | byte(portAt + 1));
            FLeftoverCount = std::max(FReplyCount - length, 0);
            FLeftoverPosition = length;
            return SocksGranted();
        }
    default:
        return SocksFail(20013, "internal error");
    }
}

bool TCustomSocksWSocket::SocksGranted()
{
    FSocksState = 0;
    auto alive = AliveToken();
    FireSessionConnected(0);
    if (alive.expired() || FState != wsConnected)
        return true;
    // The owner gets a chance to read at once, leftover bytes or not.
    return FireDataAvailable(0);
}

bool TCustomSocksWSocket::SocksFail(int Code, const std::string &Msg)
{
    auto alive = AliveToken();
    FireSocksError(Code, Msg);
    if (alive.expired())
        return false;
    FSocksState = 0;
    FireSessionConnected(static_cast<std::uint16_t>(Code));
    if (alive.expired())
        return false;
    DoClose(true, Code);
    return false;
}

bool TCustomSocksWSocket::SendRequest(const std::string &Request)
{
    // Settings changed by a handler since Connect may no longer fit.
    const std::string problem = SocksRequestProblem();
    if (!problem.empty()) {
        SocksFail(20013, problem);
        return false;
    }
    try {
        Send(Request.data(), static_cast<int>(Request.size()));
    } catch (const std::exception &) {
        // A failed send closes the connection, which reports itself.
    }
    return true;
}

void TCustomSocksWSocket::SocksDoAuthenticate()
{
    FSocksState = 2;
    auto alive = AliveToken();
    FireSocksAuthState(socksAuthBegin);
    if (alive.expired() || FState != wsConnected)
        return;
    // Also when the server chose a method that was not offered.
    if (3 + FSocksUsercode.size() + FSocksPassword.size() > kSocksRequestBlock) {
        SocksFail(20013, "Socks user code and password too long: at most " + std::to_string(kSocksRequestBlock - 3) +
                             " characters together");
        return;
    }
    std::string request;
    request += '\x01';
    request += static_cast<char>(FSocksUsercode.size());
    request += FSocksUsercode;
    request += static_cast<char>(FSocksPassword.size());
    request += FSocksPassword;
    SendRequest(request);
}

void TCustomSocksWSocket::SocksDoConnect()
{
    FSocksState = 3;
    std::string request;
    if (FSocksLevel[0] == '4') {
        request += '\x04';
        request += '\x01';
        AppendPort(request, FPortNum);
        if (FSocksLevel == "4A") {
            request.append("\0\0\0\x01", 4);
        } else {
            std::uint32_t addr;
            try {
                addr = WSocketResolveHost(FAddrStr);
            } catch (const ESocketException &e) {
                auto alive = AliveToken();
                FireSocksError(20017, "ESocketException " + e.Text());
                if (alive.expired())
                    return;
                DoClose(true, 20017);
                return;
            }
            request.append(reinterpret_cast<const char *>(&addr), 4);
        }
        request += FSocksUsercode;
        request += '\0';
        if (FSocksLevel == "4A") {
            request += FAddrStr;
            request += '\0';
        }
    } else {
        // The destination always travels as a name, so the server does the
        // lookup, also for a dotted address.
        request.append("\x05\x01\x00\x03", 4);
        request += static_cast<char>(FAddrStr.size());
        request += FAddrStr;
        AppendPort(request, FPortNum);
    }
    SendRequest(request);
}

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t Error)
{
    if (FSocksState == 2 && FSocksServerAssigned) {
        auto alive = AliveToken();
        FireSocksAuthState(socksAuthRejected);
        if (alive.expired())
            return;
    }
    TCustomWSocket::FireSessionClosed(Error);
}

void TCustomSocksWSocket::FireSocksConnected(std::uint16_t Error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::FireSocksError(int Error, const std::string &Msg)
{
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState)
{
    if (OnSocksAuthState)
        OnSocksAuthState(this, AuthState);
}

// ---------------------------------------------------------------------------
// Line layer
// ---------------------------------------------------------------------------

TCustomLineWSocket::TCustomLineWSocket() = default;

TCustomLineWSocket::~TCustomLineWSocket()
{
    ReleaseRecvBuffer();
}

void TCustomLineWSocket::SetLineMode(bool value)
{
    if (value == FLineMode)
        return;
    FLineMode = value;
    // Held bytes are delivered under the new mode from the message loop, not
    // from inside the property change.
    if (FRecvCount > 0 || FLineLength > 0)
        PostNotification(WM_SOCKET_LINE_PENDING);
}

LRESULT TCustomLineWSocket::WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_SOCKET_LINE_PENDING) {
        HandleLinePending();
        return 0;
    }
    return TCustomSocksWSocket::WindowProcedure(Msg, wParam, lParam);
}

void TCustomLineWSocket::HandleLinePending()
{
    auto alive = AliveToken();
    while (FRecvCount > 0) {
        const int count = FRecvCount, head = FRecvHead, line = FLineLength;
        const bool mode = FLineMode;
        const unsigned generation = FRecvGeneration;
        FireDataAvailable(0);
        if (alive.expired())
            return;
        // Nobody read, or only an unfinished line is left: the bytes wait
        // for the next read instead of being offered again and again.
        if (generation == FRecvGeneration && count == FRecvCount && head == FRecvHead && line == FLineLength &&
            mode == FLineMode)
            break;
    }
}

int TCustomLineWSocket::GetRcvdCount()
{
    if (FLineMode)
        return FLineLength;
    if (FRecvCount > 0)
        return FRecvCount;
    return TCustomSocksWSocket::GetRcvdCount();
}

int TCustomLineWSocket::TakeHeld(void *Buffer, int BufferSize)
{
    ++FRecvCalls;
    const int n = std::clamp(BufferSize, 0, FLineMode ? FLineLength : FRecvCount);
    std::memcpy(Buffer, FRecvBuffer.data() + FRecvHead, static_cast<std::size_t>(n));
    FRecvHead += n;
    FRecvCount -= n;
    FLineLength = std::max(FLineLength - n, 0);
    if (FRecvCount == 0)
        FRecvHead = 0;
    return n;
}

int TCustomLineWSocket::DoRecv(void *Buffer, int BufferSize, int Flags)
{
    if (FLineMode && FLineLength > 0)
        return TakeHeld(Buffer, BufferSize);
    if (!FLineMode && FRecvCount > 0)
        return TakeHeld(Buffer, BufferSize);
    return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::HasBufferedData()
{
    return (!FLineMode && FRecvCount > 0) || TCustomSocksWSocket::HasBufferedData();
}

void TCustomLineWSocket::EnsureRecvRoom(int Bytes)
{
    if (FRecvHead > 0) {
        std::memmove(FRecvBuffer.data(), FRecvBuffer.data() + FRecvHead, static_cast<std::size_t>(FRecvCount));
        FRecvHead = 0;
    }
    const std::size_t needed = static_cast<std::size_t>(FRecvCount) + static_cast<std::size_t>(Bytes) + 1;
    if (FRecvBuffer.size() < needed)
        FRecvBuffer.resize(needed);
}

void TCustomLineWSocket::ReleaseRecvBuffer()
{
    std::vector<char>().swap(FRecvBuffer);
    FRecvHead = 0;
    FRecvCount = 0;
    FLineLength = 0;
    ++FRecvGeneration;
}

int TCustomLineWSocket::FindLineEnd(int From) const
{
    const int len = static_cast<int>(FLineEnd.size());
    const char *data = FRecvBuffer.data() + FRecvHead;
    for (int i = std::max(From, 0); i < FRecvCount - len + 1; ++i) {
        if (data[i] == FLineEnd[0] && std::memcmp(data + i, FLineEnd.data(), static_cast<std::size_t>(len)) == 0)
            return i;
    }
    return -1;
}

void TCustomLineWSocket::EditLine(int &Len)
{
    char *data = FRecvBuffer.data() + FRecvHead;
    const int from = FRecvCount;
    bool rewrite = false;
    for (int i = from; i < from + Len && !rewrite; ++i)
        rewrite = data[i] == 8 || data[i] == 9;
    if (!rewrite) {
        if (FLineEcho)
            Send(data + from, Len);
        return;
    }

    std::string edited(data, static_cast<std::size_t>(from));
    // Columns count from the start of the current line, and a backspace does
    // not reach back into a line that is already complete.
    std::size_t lineStart = 0;
    if (!FLineEnd.empty()) {
        const std::size_t last = edited.rfind(FLineEnd);
        if (last != std::string::npos)
            lineStart = last + FLineEnd.size();
    }
    std::size_t low = static_cast<std::size_t>(from);
    std::string echo;
    for (int i = from; i < from + Len; ++i) {
        const char c = data[i];
        if (c == 8) {
            if (edited.size() > lineStart) {
                if (FLineEcho)
                    echo += "\b \b";
                edited.pop_back();
                low = std::min(low, edited.size());
            }
        } else if (c == 9) {
            const std::size_t spaces = 8 - (edited.size() - lineStart) % 8;
            edited.append(spaces, ' ');
            if (FLineEcho)
                echo.append(spaces, ' ');
        } else {
            edited += c;
            if (FLineEcho)
                echo += c;
            if (!FLineEnd.empty() && edited.size() - lineStart >= FLineEnd.size() &&
                edited.compare(edited.size() - FLineEnd.size(), FLineEnd.size(), FLineEnd) == 0)
                lineStart = edited.size();
        }
    }
    if (FRecvBuffer.size() < static_cast<std::size_t>(FRecvHead) + edited.size() + 1)
        FRecvBuffer.resize(static_cast<std::size_t>(FRecvHead) + edited.size() + 1);
    std::memcpy(FRecvBuffer.data() + FRecvHead, edited.data(), edited.size());
    FRecvCount = static_cast<int>(low);
    Len = static_cast<int>(edited.size() - low);
    if (!echo.empty())
        SendString(echo);
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (!FLineMode || FLineEnd.empty() || SocksNegotiating())
        return TCustomSocksWSocket::FireDataAvailable(Error);

    auto alive = AliveToken();
    const unsigned generation = FRecvGeneration;
    const int endLength = static_cast<int>(FLineEnd.size());
    int start = 0;
    // Without a connection only the held bytes are looked at: asking a
    // closed handle would report an error for nothing.
    if (FHSocket != ws::INVALID_SOCKET) {
        int n = TCustomSocksWSocket::GetRcvdCount();
        if (n < 0)
            return true;
        if (n == 0)
            n = 255;
        EnsureRecvRoom(n);
        // From the layer below: these bytes count as read when the owner
        // takes its line.
        int r = TCustomSocksWSocket::DoRecv(FRecvBuffer.data() + FRecvCount, n, 0);
        if (r < 0)
            FLastError = ws::WSAGetLastError();
        if (r > 0) {
            if (FLineEdit)
                EditLine(r);
            else if (FLineEcho)
                Send(FRecvBuffer.data() + FRecvHead + FRecvCount, r);
            if (alive.expired() || generation != FRecvGeneration)
                return true;
            // A terminator may straddle the held and the new bytes.
            start = std::max(FRecvCount - endLength, 0);
            FRecvCount += r;
        }
    }
    if (FLineLength > 0)
        start = 0;

    while (FLineMode && !FLineEnd.empty()) {
        if (FLineLength == 0) {
            const int at = FindLineEnd(start);
            if (at < 0) {
                if (FLineLimit > 0 && FRecvCount > FLineLimit) {
                    FLineClearData = true;
                    FireLineLimitExceeded(FRecvCount, FLineClearData);
                    if (alive.expired() || generation != FRecvGeneration)
                        return true;
                    if (FLineClearData) {
                        FLineLength = 0;
                        FRecvCount = 0;
                        FRecvHead = 0;
                        FLineClearData = false;
                    }
                }
                break;
            }
            FLineLength = at + static_cast<int>(FLineEnd.size());
        }
        while (FLineMode && FLineLength > 0) {
            const int before = FLineLength;
            const bool handled = TCustomSocksWSocket::FireDataAvailable(0);
            if (alive.expired() || generation != FRecvGeneration)
                return true;
            if (!handled) {
                // Nobody takes lines: this one is dropped.
                FRecvHead += FLineLength;
                FRecvCount -= FLineLength;
                FLineLength = 0;
                if (FRecvCount == 0)
                    FRecvHead = 0;
                break;
            }
            // A handler that leaves its line unread gets it again with the
            // next read, not in an endless loop now.
            if (FLineMode && FLineLength == before)
                return true;
        }
        start = 0;
    }
    return true;
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t Error)
{
    if (!FRecvBuffer.empty()) {
        auto alive = AliveToken();
        const unsigned generation = FRecvGeneration;
        if (FLineMode && FRecvCount > 0 && !FLineClearData && !SocksNegotiating()) {
            // What is left without a line end is the last line.
            FLineLength = FRecvCount;
            while (FLineMode && FLineLength > 0) {
                const int before = FLineLength;
                const bool handled = TCustomSocksWSocket::FireDataAvailable(0);
                if (alive.expired())
                    return;
                if (generation != FRecvGeneration)
                    break;
                if (!handled || FLineLength == before) {
                    FLineLength = 0;
                    break;
                }
            }
        }
        if (generation == FRecvGeneration)
            ReleaseRecvBuffer();
    }
    TCustomSocksWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::FireLineLimitExceeded(int RcvdLength, bool &ClearData)
{
    if (OnLineLimitExceeded)
        OnLineLimitExceeded(this, RcvdLength, ClearData);
}

// ---------------------------------------------------------------------------
// Synchronous layer
// ---------------------------------------------------------------------------

int TCustomSyncWSocket::Synchronize(const std::function<void()> &Proc, bool &DoneFlag)
{
    DoneFlag = false;
    if (Proc)
        Proc();
    return WaitUntilReady(DoneFlag);
}

int TCustomSyncWSocket::WaitUntilReady(bool &DoneFlag)
{
    WatchForQuit();
    const unsigned quits = gQuitCount.load();
    const std::uint32_t start = TickCount();
    auto alive = AliveToken();
    for (;;) {
        if (DoneFlag)
            return 0;
        if (FWaitTimeout > 0 && TickCount() - start >= static_cast<std::uint32_t>(FWaitTimeout))
            return 12001;
        if (gQuitCount.load() != quits)
            FQuitSeen = true;
        if (QCoreApplication::closingDown() || FQuitSeen)
            return 12001;
        // Blocks until something arrives (at most one slice), so the wait
        // costs no processor time while nothing happens.
        int slice = 50;
        if (FWaitTimeout > 0)
            slice = std::clamp(FWaitTimeout - static_cast<int>(TickCount() - start), 1, 50);
        WaitForMessages(slice);
        if (alive.expired())
            return 12001;
    }
}
