#include "net/SocksWSocket.h"
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

// The SOCKS layer: with a SOCKS server set, Connect goes there and runs the
// SOCKS 4, 4A or 5 handshake, and the owner hears of the session only when the
// server has granted it. While the handshake runs, the bytes on the wire are
// its own: FireSessionConnected, FireDataAvailable and FireSessionClosed are
// overridden to drive it, and DoRecv, GetRcvdCount and HasBufferedData to hand
// the owner the bytes that came behind a SOCKS 5 reply. With no SOCKS server
// every hook passes straight down to TCustomWSocket.
//
// Multi-byte numbers on the wire are in network order (high byte first).

using namespace wsdetail;

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
    CancelDestinationLookup();
    CancelServerLookup();
    TCustomWSocket::ResetToDefaults();
    // The SOCKS settings are the caller's and stay until the caller changes
    // them: a close that forgot them would send the next connection straight
    // to its destination, the caller's own address exposed.
    FSocksState = 0;
    FLeftoverCount = 0;
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
    // A SOCKS 4 request has room for an IPv4 address only; 4A sends the
    // destination as text and 5 has an address type for IPv6.
    if (FSocksLevel == "4" && IsIPv6Literal(FAddrStr))
        return "SOCKS 4 cannot carry the IPv6 address " + FAddrStr + ": use SOCKS 4A or 5";
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
    // A name is looked up without blocking: a slow resolver must not hold
    // the program inside Connect.
    const bool byName = !FAddrResolved && !IsIPv6Literal(FSocksServer) && !IsDottedAddress(FSocksServer);
    try {
        if (!FPortResolved) {
            Fsin.sin_port = ws::htons(WSocketResolvePort(FSocksPort, FProtoStr));
            Fsin6.sin6_port = Fsin.sin_port;
            FPortResolved = true;
        }
        if (!FAddrResolved && !byName) {
            ResolveRemote(FSocksServer);
            FAddrResolved = true;
        }
        // The caller's addresses are the destination's, not the server's.
        SetRaceAddrs({});
        FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
        FSocksState = 1;
        FSocksReason.clear();
        FReplyCount = 0;
        FLeftoverCount = 0;
    } catch (const ESocketException &e) {
        SignalError("connect: " + e.Text());
        return;
    }
    if (byName) {
        CancelServerLookup();
        if (!FServerLookup)
            FServerLookup = std::make_unique<ServerLookup>();
        Lib();
        FServerLookup->task =
            ws::WSAAsyncGetAddrInfo(WindowHandle(), WM_SOCKET_SOCKS_SERVER_LOOKUP, FSocksServer.c_str(), ws::AF_UNSPEC,
                                    FServerLookup->buffer, sizeof FServerLookup->buffer);
        if (FServerLookup->task == 0) {
            FSocksState = 0;
            SignalError("connect: can't resolve the SOCKS server " + FSocksServer);
            return;
        }
        SetState(wsConnecting);
        return;
    }
    auto alive = AliveToken();
    TCustomWSocket::Connect();
    // Refused before a connection was started: nothing is negotiating.
    if (!alive.expired() && FState == wsClosed)
        FSocksState = 0;
}

void TCustomSocksWSocket::CancelServerLookup()
{
    if (FServerLookup && FServerLookup->task != 0) {
        ws::WSACancelAsyncRequest(FServerLookup->task);
        FServerLookup->task = 0;
    }
}

void TCustomSocksWSocket::ServerLookedUp(WPARAM wParam, LPARAM lParam)
{
    if (!FServerLookup || FServerLookup->task == 0 || wParam != static_cast<WPARAM>(FServerLookup->task) ||
        FState != wsConnecting || FHSocket != ws::INVALID_SOCKET)
        return;
    FServerLookup->task = 0;
    std::uint16_t error = HIWORD(static_cast<std::uintptr_t>(lParam));
    std::vector<std::string> found;
    if (error == 0) {
        for (auto *ai = reinterpret_cast<const ws::ADDRINFO *>(FServerLookup->buffer); ai; ai = ai->ai_next) {
            ws::SOCKADDR_STORAGE record{};
            std::memcpy(&record, ai->ai_addr, std::min(ai->ai_addrlen, sizeof record));
            found.push_back(AddressText(record));
        }
    }
    auto alive = AliveToken();
    if (error == 0 && !found.empty()) {
        try {
            ResolveRemote(found.front());
            FAddrResolved = true;
        } catch (const ESocketException &) {
            error = ws::WSAHOST_NOT_FOUND;
        }
    }
    if (error != 0 || found.empty()) {
        // Told as a connect that failed: the owner's connect handler hears it,
        // and the socket is closed.
        FLastError = error != 0 ? error : ws::WSAHOST_NOT_FOUND;
        FSocksReason = "can't resolve its name (" + SocketErrorText(FLastError) + ")";
        FireSessionConnected(static_cast<std::uint16_t>(FLastError));
        if (!alive.expired() && FState != wsClosed)
            Close();
        return;
    }
    // The other addresses start beside a first one that stays silent.
    SetRaceAddrs(std::vector<std::string>(found.begin() + 1, found.end()));
    // Connect starts afresh from a closed socket.
    FState = wsClosed;
    TCustomWSocket::Connect();
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

// SOCKS 5 method request, sent as soon as the server has accepted the TCP
// connection (SOCKS 4 and 4A go straight to the connect request):
//
//   +-----+----------+----------+
//   | VER | NMETHODS | METHOD   |
//   +-----+----------+----------+
//   |  5  |    1     | 0 or 2   |   0 no authentication, 2 user code and password
//   +-----+----------+----------+
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

// The replies, by the state that awaits them.
//
// State 1, SOCKS 5 method reply (2 bytes):
//   +-----+--------+
//   | VER | METHOD |   VER 5; METHOD 0 none needed, 2 user code and password,
//   +-----+--------+   anything else: no acceptable method
//
// State 2, user code and password reply (2 bytes):
//   +-----+--------+
//   | VER | STATUS |   VER 1; STATUS 0 accepted, anything else refused
//   +-----+--------+
//
// State 3, SOCKS 4 and 4A connect reply (exactly 8 bytes; what follows is the
// owner's data):
//   +-----+----+---------+---------+
//   | VN  | CD | DSTPORT | DSTIP   |   VN 0; CD 90 granted, 91 rejected or failed,
//   +-----+----+---------+---------+   92 no identd, 93 user code mismatch;
//   |  1  | 1  |    2    |    4    |   DSTPORT and DSTIP are not used
//   +-----+----+---------+---------+
//
// State 3, SOCKS 5 connect reply (10 bytes for IPv4, 7 + name length for a
// name; bytes behind it are the owner's data):
//   +-----+-----+-----+------+-------------------+----------+
//   | VER | REP | RSV | ATYP | BND.ADDR          | BND.PORT |
//   +-----+-----+-----+------+-------------------+----------+
//   |  5  |  1  |  0  |  1   | 4 (IPv4)          |    2     |
//   |     |     |     |  3   | 1 length + name   |          |
//   +-----+-----+-----+------+-------------------+----------+
//   REP 0 granted, 1..8 the failures of kSocks5ReplyErrors; ATYP 4 (IPv6) and
//   any other type are refused. BND.ADDR and BND.PORT become SocksBoundAddr
//   and SocksBoundPort.
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
            const int length = type == 1 ? 10 : type == 3 ? 7 + byte(4) : type == 4 ? 22 : 5;
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
            } else if (type == 4) {
                char text[64];
                FBoundAddr = ws::inet_ntop(ws::AF_INET6, FReplyBuffer + 4, text, sizeof text);
                portAt = 20;
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
    FSocksReason = Msg;
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

// User code and password request (at most kSocksRequestBlock bytes):
//   +-----+------+----------+------+----------+
//   | VER | ULEN | USERCODE | PLEN | PASSWORD |
//   +-----+------+----------+------+----------+
//   |  1  |  1   | ULEN     |  1   | PLEN     |
//   +-----+------+----------+------+----------+
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

// Connect requests.
//
// SOCKS 4 and 4A:
//   +----+----+---------+---------+----------+-----+--------------+-----+
//   | VN | CD | DSTPORT | DSTIP   | USERCODE | NUL | HOST (4A)    | NUL |
//   +----+----+---------+---------+----------+-----+--------------+-----+
//   | 4  | 1  |    2    |    4    | variable |  1  | variable     |  1  |
//   +----+----+---------+---------+----------+-----+--------------+-----+
//   SOCKS 4 resolves the address here and sends it as DSTIP; 4A sends
//   0.0.0.1 as DSTIP and the name behind the user code, for the server to
//   resolve.
//
// SOCKS 5:
//   +-----+-----+-----+------+-----+-----------+----------+
//   | VER | CMD | RSV | ATYP | LEN | DST.ADDR  | DST.PORT |
//   +-----+-----+-----+------+-----+-----------+----------+
//   |  5  |  1  |  0  |  3   |  1  | LEN bytes |    2     |
//   +-----+-----+-----+------+-----+-----------+----------+
void TCustomSocksWSocket::SocksDoConnect()
{
    FSocksState = 3;
    if (FSocksLevel == "4") {
        // A dotted address needs no lookup, and no worker started for it; a
        // name is looked up on a worker, so a slow resolver cannot hold the
        // program inside this event.
        if (IsDottedAddress(FAddrStr)) {
            const std::uint32_t addr = ws::inet_addr(Trim(FAddrStr).c_str());
            if (addr != ws::INADDR_NONE) {
                SendSocks4Request(addr);
                return;
            }
        }
        CancelDestinationLookup();
        if (!FDestinationLookup)
            FDestinationLookup = std::make_unique<DestinationLookup>();
        Lib();
        FDestinationLookup->task =
            ws::WSAAsyncGetHostByName(WindowHandle(), WM_SOCKET_SOCKS_LOOKUP, FAddrStr.c_str(),
                                      FDestinationLookup->buffer, sizeof FDestinationLookup->buffer);
        if (FDestinationLookup->task == 0)
            SocksFail(20017, "can't resolve the destination " + FAddrStr);
        return;
    }
    std::string request;
    if (FSocksLevel[0] == '4') {
        request += '\x04';
        request += '\x01';
        AppendPort(request, FPortNum);
        request.append("\0\0\0\x01", 4);
        request += FSocksUsercode;
        request += '\0';
        request += FAddrStr;
        request += '\0';
    } else if (ws::in6_addr v6; IsIPv6Literal(FAddrStr, &v6)) {
        // An IPv6 address travels as one (address type 4), 16 bytes.
        request.append("\x05\x01\x00\x04", 4);
        request.append(reinterpret_cast<const char *>(v6.u.Byte), 16);
        AppendPort(request, FPortNum);
    } else {
        // Anything else travels as a name, so the server does the lookup,
        // also for a dotted address.
        request.append("\x05\x01\x00\x03", 4);
        request += static_cast<char>(FAddrStr.size());
        request += FAddrStr;
        AppendPort(request, FPortNum);
    }
    SendRequest(request);
}

void TCustomSocksWSocket::SendSocks4Request(std::uint32_t Addr)
{
    std::string request;
    request += '\x04';
    request += '\x01';
    AppendPort(request, FPortNum);
    request.append(reinterpret_cast<const char *>(&Addr), 4);
    request += FSocksUsercode;
    request += '\0';
    SendRequest(request);
}

void TCustomSocksWSocket::CancelDestinationLookup()
{
    if (FDestinationLookup && FDestinationLookup->task != 0) {
        ws::WSACancelAsyncRequest(FDestinationLookup->task);
        FDestinationLookup->task = 0;
    }
}

void TCustomSocksWSocket::DestinationLookedUp(WPARAM wParam, LPARAM lParam)
{
    // A reply for a lookup given up (the socket closed and cancelled it, a new
    // negotiation began) is nobody's.
    if (!FDestinationLookup || FDestinationLookup->task == 0 || wParam != static_cast<WPARAM>(FDestinationLookup->task))
        return;
    FDestinationLookup->task = 0;
    const std::uint16_t error = HIWORD(static_cast<std::uintptr_t>(lParam));
    const auto *he = reinterpret_cast<const ws::HOSTENT *>(FDestinationLookup->buffer);
    if (error != 0 || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) {
        SocksFail(20017, "can't resolve the destination " + FAddrStr + " (" +
                             SocketErrorText(error != 0 ? error : ws::WSAHOST_NOT_FOUND) + ")");
        return;
    }
    std::uint32_t addr;
    std::memcpy(&addr, he->h_addr_list[0], 4);
    SendSocks4Request(addr);
}

LRESULT TCustomSocksWSocket::WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_SOCKET_SOCKS_LOOKUP) {
        DestinationLookedUp(wParam, lParam);
        return 0;
    }
    if (Msg == WM_SOCKET_SOCKS_SERVER_LOOKUP) {
        ServerLookedUp(wParam, lParam);
        return 0;
    }
    return TCustomWSocket::WindowProcedure(Msg, wParam, lParam);
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
