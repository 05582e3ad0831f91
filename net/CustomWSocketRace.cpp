// A host with several addresses whose first one does not answer at all (a
// broken IPv6 route drops the attempt without a word) would hold a connect
// for the kernel's two minutes. After RaceDelayMs without an answer the next
// address starts beside it; both attempts are kept, the first to connect
// becomes the socket's connection and the other is closed. The layers above
// see one connect as always. A connect that answers in time costs nothing
// but a timer, and only when there are further addresses.

#include "net/CustomWSocket.h"
#include "net/SocketLibraryDetail.h"

#include <QTimer>

using namespace wsdetail;

namespace {

bool RacerOptions(ws::SOCKET s, TWSocketOptions options, TSocketLingerOnOff linger, int lingerTimeout)
{
    const int on = -1;
    const auto set = [s](int level, int option, const void *value, int size) {
        return ws::setsockopt(s, level, option, static_cast<const char *>(value), size) == 0;
    };
    if ((options & wsoTcpNoDelay) && !set(ws::IPPROTO_TCP, ws::TCP_NODELAY, &on, sizeof on))
        return false;
    if (linger != wsLingerNoSet) {
        ws::LINGER l{static_cast<ws::u_short>(linger), static_cast<ws::u_short>(lingerTimeout & 0xFFFF)};
        if (!set(ws::SOL_SOCKET, ws::SO_LINGER, &l, sizeof l))
            return false;
    }
    return set(ws::SOL_SOCKET, ws::SO_KEEPALIVE, &on, sizeof on);
}

} // namespace

void TCustomWSocket::ArmRace()
{
    ++FRaceSerial;
    // A bound local address belongs to one family: no race from it.
    if (FRaceAddrs.empty() || FType != ws::SOCK_STREAM || FState != wsConnecting || FRacer != ws::INVALID_SOCKET ||
        FLocalPortNum != 0 || FLocalAddr != "0.0.0.0")
        return;
    if (!FRaceTimer) {
        FRaceTimer = std::make_unique<QTimer>();
        FRaceTimer->setSingleShot(true);
        // Posted: the window procedure is where the socket's events may fire.
        QObject::connect(FRaceTimer.get(), &QTimer::timeout, [this] { PostNotification(WM_SOCKET_RACE, FRaceSerial); });
    }
    FRaceTimer->start(RaceDelayMs);
}

void TCustomWSocket::StartRacer()
{
    Lib();
    while (FRacer == ws::INVALID_SOCKET && !FRaceAddrs.empty() && FState == wsConnecting) {
        const std::string addr = FRaceAddrs.front();
        FRaceAddrs.erase(FRaceAddrs.begin());
        ws::SOCKADDR_IN sin{};
        ws::SOCKADDR_IN6 sin6{};
        int family = ws::AF_INET;
        if (IsIPv6Literal(addr, &sin6.sin6_addr)) {
            family = ws::AF_INET6;
            sin6.sin6_family = ws::AF_INET6;
            sin6.sin6_port = Fsin.sin_port;
        } else {
            try {
                sin.sin_addr.s_addr = WSocketResolveHost(addr);
            } catch (const ESocketException &) {
                continue;
            }
            sin.sin_family = ws::AF_INET;
            sin.sin_port = Fsin.sin_port;
        }
        const ws::SOCKET s = ws::socket(family, ws::SOCK_STREAM, ws::IPPROTO_TCP);
        if (s == ws::INVALID_SOCKET)
            continue;
        const ws::SOCKADDR *remote =
            family == ws::AF_INET6 ? reinterpret_cast<const ws::SOCKADDR *>(&sin6) : AsSockAddr(&sin);
        const int remoteLen = family == ws::AF_INET6 ? static_cast<int>(sizeof sin6) : static_cast<int>(sizeof sin);
        // An address that fails at once (no route to its family) moves on to
        // the next one at once.
        if (!RacerOptions(s, FComponentOptions, FLingerOnOff, FLingerTimeout) ||
            ws::WSAAsyncSelect(s, WindowHandle(), WM_SOCKET_SELECT, FSelectEvent) != 0 ||
            (ws::connect(s, remote, remoteLen) != 0 && ws::WSAGetLastError() != ws::WSAEWOULDBLOCK)) {
            ws::closesocket(s);
            continue;
        }
        FRacer = s;
        FRacerAddr = addr;
        FRacerFamily = family;
        FRacerSin = sin;
        FRacerSin6 = sin6;
    }
}

bool TCustomWSocket::RacerEvent(std::uint16_t Event, std::uint16_t Error)
{
    if (!(Event & ws::FD_CONNECT))
        return false;
    if (Error != 0) {
        ws::closesocket(FRacer);
        FRacer = ws::INVALID_SOCKET;
        StartRacer();
        return false;
    }
    // The racer won: the attempt in hand gives way to it.
    HandOverToRacer();
    return true;
}

bool TCustomWSocket::HandOverToRacer()
{
    if (FRacer == ws::INVALID_SOCKET)
        return false;
    if (FHSocket != ws::INVALID_SOCKET)
        ws::closesocket(FHSocket);
    FHSocket = FRacer;
    FRacer = ws::INVALID_SOCKET;
    FAddrStr = FRacerAddr;
    FAddressFamily = FRacerFamily;
    if (FRacerFamily == ws::AF_INET6)
        Fsin6 = FRacerSin6;
    else
        Fsin = FRacerSin;
    // The new attempt in hand gets its own time before the next address.
    ArmRace();
    return true;
}

void TCustomWSocket::DropRace()
{
    ++FRaceSerial;
    if (FRaceTimer)
        FRaceTimer->stop();
    if (FRacer != ws::INVALID_SOCKET) {
        if (gLoaded)
            ws::closesocket(FRacer);
        FRacer = ws::INVALID_SOCKET;
    }
}
