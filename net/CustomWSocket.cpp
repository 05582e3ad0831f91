#include "net/CustomWSocket.h"
#include "net/SocketLibraryDetail.h"

#include "platform/Clock.h"
#include "platform/TextCodec.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

// The base of the socket chain: a TCustomWSocket owns one shim handle and one
// hidden window, turns the shim's readiness messages into events and offers
// the virtual hooks the layers above override (DoRecv, GetRcvdCount,
// HasBufferedData, the Fire* events, WindowProcedure, Connect, Listen,
// ResetToDefaults). This file holds its life, properties, events, connect,
// listen and accept; CustomWSocketIo.cpp the lookups, transfers and closing.

using namespace wsdetail;

namespace {
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
    // The layers above are gone already: a handler called from here would
    // find an object only half alive.
    OnChangeState = nullptr;
    OnDnsLookupDone = nullptr;
    OnSessionConnected = nullptr;
    OnSessionAvailable = nullptr;
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSendData = nullptr;
    OnSessionClosed = nullptr;
    OnError = nullptr;
    OnBgException = nullptr;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    // The layers' own lookups too (a SOCKS 4 destination): their buffers are
    // gone already, and a window destroyed from inside its own message still
    // takes completions until the loop is back.
    if (FWindow)
        ws::WSACancelAsyncRequestsOf(FWindow->Handle());
    DropRace();
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
    case WM_SOCKET_RACE:
        if (wParam == FRaceSerial && FState == wsConnecting)
            StartRacer();
        return 0;
    case WM_SOCKET_TEST_EXCEPTION:
        throw ESocketException(std::string("Test exception in WSocket"));
    default:
        return 0;
    }
}

std::uintptr_t TCustomWSocket::WindowHandle() const
{
    return FWindow ? FWindow->Handle() : 0;
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
    Fsin6 = {};
    Fsin6.sin6_family = ws::AF_INET6;
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
    ws::SOCKADDR_STORAGE peer{};
    int len = sizeof peer;
    Lib();
    if (ws::getpeername(FHSocket, reinterpret_cast<ws::SOCKADDR *>(&peer), &len) != 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return AddressText(peer);
}

std::string TCustomWSocket::PeerPort()
{
    if (FState != wsConnected)
        return "error";
    ws::SOCKADDR_STORAGE peer{};
    int len = sizeof peer;
    Lib();
    if (ws::getpeername(FHSocket, reinterpret_cast<ws::SOCKADDR *>(&peer), &len) != 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return AddressPort(peer);
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
    ws::SOCKADDR_STORAGE local{};
    int len = sizeof local;
    Lib();
    if (ws::getsockname(FHSocket, reinterpret_cast<ws::SOCKADDR *>(&local), &len) != 0)
        return "error";
    return AddressText(local);
}

std::string TCustomWSocket::BoundPort()
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    ws::SOCKADDR_STORAGE local{};
    int len = sizeof local;
    Lib();
    if (ws::getsockname(FHSocket, reinterpret_cast<ws::SOCKADDR *>(&local), &len) != 0)
        return "error";
    return AddressPort(local);
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
        // Unless the handler connected again.
        if (FHSocket == ws::INVALID_SOCKET) {
            SetState(wsClosed);
            if (alive.expired())
                return;
        }
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

// --- connect, listen, accept ----------------------------------------------------------

bool TCustomWSocket::BindLocal()
{
    ws::SOCKADDR_STORAGE local{};
    int localLen;
    if (FAddressFamily == ws::AF_INET6) {
        // The local address in the remote one's family: an IPv6 literal, or
        // any address when none was given.
        ws::SOCKADDR_IN6 in6{};
        in6.sin6_family = ws::AF_INET6;
        in6.sin6_port = ws::htons(FLocalPortNum);
        if (FLocalAddr != "0.0.0.0" && !IsIPv6Literal(FLocalAddr, &in6.sin6_addr)) {
            FLastError = ws::WSAEAFNOSUPPORT;
            SignalErrorFmt("winsock.bind failed, error #%d", std::string(), ws::WSAEAFNOSUPPORT);
            return false;
        }
        std::memcpy(&local, &in6, sizeof in6);
        localLen = sizeof in6;
    } else {
        ws::SOCKADDR_IN in{};
        in.sin_family = ws::AF_INET;
        in.sin_port = ws::htons(FLocalPortNum);
        in.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
        std::memcpy(&local, &in, sizeof in);
        localLen = sizeof in;
    }
    auto *record = reinterpret_cast<ws::SOCKADDR *>(&local);
    if (ws::bind(FHSocket, record, localLen) != 0) {
        SignalErrorFmt("winsock.bind failed, error #%d", std::string(), ws::WSAGetLastError());
        return false;
    }
    int len = sizeof local;
    if (ws::getsockname(FHSocket, record, &len) != 0) {
        SignalErrorFmt("winsock.getsockname failed, error #%d", std::string(), ws::WSAGetLastError());
        return false;
    }
    ws::u_short port; // at the same place in the records of both families
    std::memcpy(&port, reinterpret_cast<const char *>(&local) + 2, sizeof port);
    FLocalPortNum = ws::ntohs(port);
    FLocalPortStr = std::to_string(FLocalPortNum);
    return true;
}

void TCustomWSocket::ResolveRemote(const std::string &Host)
{
    if (IsIPv6Literal(Host, &Fsin6.sin6_addr)) {
        FAddressFamily = ws::AF_INET6;
        Fsin6.sin6_family = ws::AF_INET6;
        return;
    }
    Fsin.sin_addr.s_addr = WSocketResolveHost(Host);
    FAddressFamily = ws::AF_INET;
}

const ws::SOCKADDR *TCustomWSocket::RemoteRecord(int &Len) const
{
    if (FAddressFamily == ws::AF_INET6) {
        Len = sizeof Fsin6;
        return reinterpret_cast<const ws::SOCKADDR *>(&Fsin6);
    }
    Len = sizeof Fsin;
    return AsSockAddr(&Fsin);
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
            Fsin6.sin6_port = Fsin.sin_port;
            FPortResolved = true;
        }
        if (!FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            ResolveRemote(FAddrStr);
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
    // A new session, also when an earlier one's close handler opens it.
    FCloseInvoked = false;
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
        if (FAddressFamily == ws::AF_INET && Fsin.sin_addr.s_addr == ws::INADDR_NONE &&
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

    int remoteLen;
    const ws::SOCKADDR *remote = RemoteRecord(remoteLen);
    if (ws::connect(FHSocket, remote, remoteLen) == 0 || ws::WSAGetLastError() == ws::WSAEWOULDBLOCK) {
        SetState(wsConnecting);
        if (!alive.expired())
            ArmRace();
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
            Fsin6.sin6_port = Fsin.sin_port;
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            ResolveRemote(FAddrStr);
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
    int ownLen;
    const ws::SOCKADDR *own = RemoteRecord(ownLen);
    if (ws::bind(FHSocket, own, ownLen) != 0) {
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
    ws::SOCKADDR_STORAGE peer{};
    int len = sizeof peer;
    Lib();
    FASocket = ws::accept(FHSocket, reinterpret_cast<ws::SOCKADDR *>(&peer), &len);
    if (FASocket == ws::INVALID_SOCKET) {
        ReportSocketError("Accept");
        return FASocket;
    }
    // The peer's record, kept where a record of its family lives.
    if (peer.ss_family == ws::AF_INET6)
        std::memcpy(&Fsin6, &peer, sizeof Fsin6);
    else
        std::memcpy(&Fsin, &peer, sizeof Fsin);
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
