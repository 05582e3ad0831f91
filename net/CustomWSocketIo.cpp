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

// The second half of the base socket (see CustomWSocket.cpp): name lookups,
// the send queue, receiving, the dispatch of a readiness message to the
// Fire* hooks in WinSock's fixed order, closing and the message pump.

using namespace wsdetail;

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
        // Blanks around the address are no part of it, on either side.
        const std::uint32_t addr = ws::inet_addr(Trim(HostName).c_str());
        if (addr != ws::INADDR_NONE) {
            FDnsResult = Dotted(addr);
            FDnsResultList.push_back(FDnsResult);
            FireDnsLookupDone(0);
            return;
        }
    }
    // An IPv6 address is its own result too, written back without brackets.
    ws::in6_addr v6;
    if (IsIPv6Literal(HostName, &v6)) {
        char text[64];
        FDnsResult = ws::inet_ntop(ws::AF_INET6, &v6, text, sizeof text);
        FDnsResultList.push_back(FDnsResult);
        FireDnsLookupDone(0);
        return;
    }
    if (!FWindow) {
        SignalError("DnsLookup: Window not assigned");
        return;
    }
    FEarlyReplyPending = false;
    FDnsLookupAllFamilies = FSocketFamily != sfIPv4;
    if (FDnsLookupAllFamilies)
        FDnsLookupHandle = ws::WSAAsyncGetAddrInfo(FWindow->Handle(), WM_SOCKET_HOSTBYNAME, HostName.c_str(),
                                                   FSocketFamily == sfIPv6 ? ws::AF_INET6 : ws::AF_UNSPEC,
                                                   FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    else
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
    if (error == 0 && FDnsLookupAllFamilies) {
        for (auto *ai = reinterpret_cast<const ws::ADDRINFO *>(FDnsLookupBuffer); ai; ai = ai->ai_next) {
            ws::SOCKADDR_STORAGE record{};
            std::memcpy(&record, ai->ai_addr, std::min(ai->ai_addrlen, sizeof record));
            FDnsResultList.push_back(AddressText(record));
        }
        if (!FDnsResultList.empty())
            FDnsResult = FDnsResultList.front();
    } else if (error == 0) {
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
    const ws::SOCKET handle = FHSocket;
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
        // The handler of OnSendData may have closed the socket (or opened
        // another session on it): what is left is no longer this session's.
        if (alive.expired() || FHSocket != handle)
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
        // The handler may also have emptied the queue.
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
    const int r = ws::recv(FHSocket, static_cast<char *>(Buffer), BufferSize, Flags);
    // A stream that gave less than was asked for had nothing more at that
    // moment; what comes later is announced anew.
    FRecvDrained = FType == ws::SOCK_STREAM && Flags == 0 && r < BufferSize;
    return r;
}

int TCustomWSocket::DoRecvFrom(void *Buffer, int BufferSize, int Flags, ws::SOCKADDR_IN &From, int &FromLen)
{
    Lib();
    ++FRecvCalls;
    return ws::recvfrom(FHSocket, static_cast<char *>(Buffer), BufferSize, Flags, AsSockAddr(&From), &FromLen);
}

int TCustomWSocket::Receive(void *Buffer, int BufferSize)
{
    // Asking for nothing reads nothing and counts as no read: a platform call
    // would announce the waiting data again, and the handler would be called
    // over and over without end.
    if (BufferSize <= 0)
        return 0;
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
            FRecvDrained = false;
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
            // After a read that emptied the stream there is nothing to ask.
            ws::u_long waiting = 0;
            const bool ask = !FRecvDrained || FHSocket == ws::INVALID_SOCKET;
            if (ask && ws::ioctlsocket(FHSocket, ws::FIONREAD, &waiting) != 0) {
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
    const std::uint16_t event = LOWORD(static_cast<std::uintptr_t>(lParam));
    const std::uint16_t error = HIWORD(static_cast<std::uintptr_t>(lParam));
    if (FRacer != ws::INVALID_SOCKET && handle == FRacer && !RacerEvent(event, error))
        return;
    if (handle != FHSocket || FHSocket == ws::INVALID_SOCKET || FPaused)
        return;
    auto alive = AliveToken();
    // A handler may close the socket (or delete it) between two events.
    auto gone = [&] { return alive.expired() || FHSocket != handle; };

    if (event & ws::FD_CONNECT) {
        // A failed attempt with another still running is no failure yet.
        if (error != 0 && FState == wsConnecting && HandOverToRacer())
            return;
        DropRace();
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
    DropRace();
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
        // The handler opened a new connection on this object: it is kept,
        // settings and all.
        if (FHSocket != ws::INVALID_SOCKET)
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
