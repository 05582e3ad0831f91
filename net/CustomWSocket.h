#pragma once

#include "net/SocketLibrary.h"
#include "net/WSockBuf.h"
#include "platform/NotifyWindow.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTimer;

// ---------------------------------------------------------------------------
// Asynchronous socket
// ---------------------------------------------------------------------------

constexpr UINT WM_SOCKET_SELECT = WM_USER + 1;
constexpr UINT WM_SOCKET_HOSTBYNAME = WM_USER + 2;
constexpr UINT WM_SOCKET_HOSTBYADDR = WM_USER + 3;
constexpr UINT WM_SOCKET_CLOSE_DELAYED = WM_USER + 4;
constexpr UINT WM_SOCKET_RELEASE = WM_USER + 5;
constexpr UINT WM_SOCKET_TEST_EXCEPTION = WM_USER + 6;
// A connect that has not answered in time: the next address may start beside it.
constexpr UINT WM_SOCKET_RACE = WM_USER + 7;

enum TSocketState { wsInvalidState, wsOpened, wsBound, wsConnecting, wsConnected, wsAccepting, wsListening, wsClosed };

enum TWSocketOption : unsigned { wsoNoReceiveLoop = 1u << 0, wsoTcpNoDelay = 1u << 1 };
using TWSocketOptions = unsigned; // a set of TWSocketOption bits

// The families a name lookup asks for: IPv4 alone (WinSock 1.1's lookups),
// IPv6 alone, or both in the resolver's order. Addresses written as text are
// taken in either family whatever this says.
enum TSocketFamily { sfIPv4, sfIPv6, sfAny };

enum TSocketSendFlags { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

class TCustomWSocket;

using TChangeState = std::function<void(TCustomWSocket *Sender, TSocketState OldState, TSocketState NewState)>;
using TDnsLookupDone = std::function<void(TCustomWSocket *Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TCustomWSocket *Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TCustomWSocket *Sender, std::uint16_t Error)>;
using TDataAvailable = std::function<void(TCustomWSocket *Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TCustomWSocket *Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TCustomWSocket *Sender, int BytesSent)>;
using TSessionClosed = std::function<void(TCustomWSocket *Sender, std::uint16_t Error)>;
using TNotifyEvent = std::function<void(TCustomWSocket *Sender)>;
using TBgExceptionEvent = std::function<void(TCustomWSocket *Sender, const std::exception &E, bool &CanClose)>;

// A message-driven TCP/UDP endpoint. Nothing blocks: operations start the work
// and the outcome comes back as an event fired from the message loop of the
// thread that created the socket. Event handlers may call any operation,
// including destroying the socket.
class TCustomWSocket {
public:
    TCustomWSocket();
    virtual ~TCustomWSocket();
    TCustomWSocket(const TCustomWSocket &) = delete;
    TCustomWSocket &operator=(const TCustomWSocket &) = delete;

    // Properties. The closed-only ones refuse a change unless State is wsClosed.
    const std::string &Addr() const { return FAddrStr; }
    void SetAddr(const std::string &value);
    const std::string &Port() const { return FPortStr; }
    virtual void SetPort(const std::string &value);
    const std::string &Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string &value);
    const std::string &LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string &value);
    const std::string &LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string &value);
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    const std::string &DnsResult() const { return FDnsResult; }
    const std::vector<std::string> &DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    int ReadCount() const { return FReadCount; }
    int RcvdCount() { return GetRcvdCount(); }
    int LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool value) { FMultiThreaded = value; }
    bool MultiCast() const { return FMultiCast; }
    void SetMultiCast(bool value) { FMultiCast = value; }
    const std::string &MultiCastAddrStr() const { return FMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string &value) { FMultiCastAddrStr = value; }
    int MultiCastIpTTL() const { return FMultiCastIpTTL; }
    void SetMultiCastIpTTL(int value) { FMultiCastIpTTL = value; }
    // Further addresses of the same host, as text: a stream Connect that has
    // not answered after RaceDelayMs starts the next of them beside it, the
    // first to connect wins and the other is closed. Those left untried stay
    // here. Set before each Connect; a bound local address makes no race.
    const std::vector<std::string> &RaceAddrs() const { return FRaceAddrs; }
    void SetRaceAddrs(std::vector<std::string> value) { FRaceAddrs = std::move(value); }
    static constexpr int RaceDelayMs = 250;
    TSocketFamily SocketFamily() const { return FSocketFamily; }
    void SetSocketFamily(TSocketFamily value) { FSocketFamily = value; }
    bool ReuseAddr() const { return FReuseAddr; }
    void SetReuseAddr(bool value) { FReuseAddr = value; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions value) { FComponentOptions = value; }
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int value) { FFlushTimeout = value; }
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags value);
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff value) { FLingerOnOff = value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int value) { FLingerTimeout = value; }
    ws::SOCKET HSocket() const { return FHSocket; }
    int SendBlockSize() const { return FSendBlockSize; }
    // Queue inspection, for callers that show progress and for tests.
    int SendQueueBlocks() const { return static_cast<int>(FBufList.size()); }
    bool AllSent() const { return FSendQueueEmpty; }
    std::vector<int> SendQueueBlockSizes() const;

    // Operations.
    virtual void DnsLookup(const std::string &HostName);
    virtual void ReverseDnsLookup(const std::string &HostAddr);
    virtual void CancelDnsLookup();
    virtual void Connect();
    virtual void Listen();
    virtual ws::SOCKET Accept();
    virtual void Dup(ws::SOCKET NewHSocket);
    virtual int Send(const void *Data, int Len);
    virtual int SendString(const std::string &Str);
    virtual int SendTo(const ws::SOCKADDR_IN &Dest, int DestLen, const void *Data, int Len);
    virtual int Receive(void *Buffer, int BufferSize);
    virtual std::string ReceiveString();
    virtual int ReceiveFrom(void *Buffer, int BufferSize, ws::SOCKADDR_IN &From, int &FromLen);
    virtual void Close();
    virtual void Abort();
    virtual void Shutdown(int How);
    virtual void CloseDelayed();
    // Only for a socket created with new and owned by nobody else: it deletes itself.
    virtual void Release();
    virtual void Flush();
    virtual void WaitForClose();
    virtual int Pause();
    virtual int Resume();
    virtual int PeerSockAddr(ws::SOCKADDR_IN &Addr, int &AddrLen);
    virtual int LocalSockAddr(ws::SOCKADDR_IN &Addr, int &AddrLen);
    virtual std::string BoundAddr();
    virtual std::string BoundPort();
    virtual void MessagePump();
    void PumpMessages();
    bool QuitSeen() const { return FQuitSeen; }
    void PostNotification(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Events; an empty one is skipped.
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TSessionConnected OnSessionConnected;
    TSessionAvailable OnSessionAvailable;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    virtual LRESULT WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam);
    // The hidden window's handle, for the platform's asynchronous replies.
    std::uintptr_t WindowHandle() const;
    virtual void ResetToDefaults();
    virtual void DoClose(bool ShutFirst, int Error);
    virtual int GetRcvdCount();
    // Both return false after reporting a failure.
    virtual bool BindLocal();
    virtual int RealSend(const char *Data, int Len);
    virtual void SignalErrorFmt(const char *Format, const std::string &Arg, int Code);
    virtual void SignalError(const std::string &Msg);
    virtual void HandleBackgroundError(const std::exception &E);
    // Returns whether a handler was assigned.
    virtual bool FireDataAvailable(std::uint16_t Error);
    virtual void FireSessionAvailable(std::uint16_t Error);
    virtual void FireSessionConnected(std::uint16_t Error);
    virtual void FireSessionClosed(std::uint16_t Error);
    virtual void FireDataSent(std::uint16_t Error);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(std::uint16_t Error);
    virtual void FireError();
    virtual int DoRecv(void *Buffer, int BufferSize, int Flags);
    virtual int DoRecvFrom(void *Buffer, int BufferSize, int Flags, ws::SOCKADDR_IN &From, int &FromLen);
    // Bytes an upper layer already took from the platform and still holds for
    // Receive. The platform sends no read notification for them, so the
    // receive loop asks this before it stops.
    virtual bool HasBufferedData() { return false; }

    // Puts Host (an IPv6 literal, a dotted address or a name, looked up for
    // IPv4) into the remote record of its family and sets FAddressFamily;
    // raises ESocketException when a name cannot be resolved.
    void ResolveRemote(const std::string &Host);
    const ws::SOCKADDR *RemoteRecord(int &Len) const;
    void SetState(TSocketState NewState);
    void ReportSocketError(const std::string &Operation);
    bool ApplyLinger();
    void TryToSend();
    void QueueSendData(const void *Data, int Len);
    void DiscardSendQueue();
    void ReceiveLoop(std::uint16_t Error, TWSocketOptions Options);
    void HandleSelectMessage(WPARAM wParam, LPARAM lParam);
    void HandleHostByNameReply(WPARAM wParam, LPARAM lParam);
    void HandleHostByAddrReply(WPARAM wParam, LPARAM lParam);
    // The race of a connect against the next address (CustomWSocketRace.cpp).
    void ArmRace();
    void StartRacer();
    // False when the event on the racer ends there; true when the racer has
    // become this socket's connection and the event goes on as its own.
    bool RacerEvent(std::uint16_t Event, std::uint16_t Error);
    // The connection in hand failed: true when a racer takes its place.
    bool HandOverToRacer();
    void DropRace();
    bool Destroying() const { return FDestroying; }
    // True while this object lives; a handler may delete the socket, so code
    // that runs on after firing an event checks it first.
    std::weak_ptr<int> AliveToken() const { return FAlive; }
    // Waits for the next message (or at most MaxMs) and handles what came;
    // the waits of Flush, WaitForClose and a lingering close use it.
    void WaitForMessages(int MaxMs);

    ws::SOCKET FHSocket = ws::INVALID_SOCKET;
    std::string FAddrStr, FPortStr, FProtoStr = "tcp", FLocalAddr = "0.0.0.0", FLocalPortStr = "0";
    bool FAddrAssigned = false, FAddrResolved = false, FPortAssigned = false, FPortResolved = false,
         FProtoAssigned = true, FProtoResolved = false, FLocalPortResolved = false;
    int FAddressFamily = ws::AF_INET;
    int FProto = 6;
    int FType = ws::SOCK_STREAM;
    ws::SOCKADDR_IN Fsin{};
    ws::SOCKADDR_IN6 Fsin6{}; // the remote record when FAddressFamily is AF_INET6
    TSocketFamily FSocketFamily = sfIPv4;
    bool FDnsLookupAllFamilies = false; // the pending lookup fills an ADDRINFO chain
    std::uint16_t FPortNum = 0;
    std::uint16_t FLocalPortNum = 0;
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    TSocketState FState = wsClosed;
    int FReadCount = 0;
    int FLastError = 0;
    bool FMultiThreaded = false;
    bool FMultiCast = false;
    std::string FMultiCastAddrStr;
    int FMultiCastIpTTL = 1;
    bool FReuseAddr = false;
    TWSocketOptions FComponentOptions = 0;
    int FFlushTimeout = 60;
    int FSendFlags = 0;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    long FSelectEvent = 0;
    ws::HANDLE FDnsLookupHandle = 0;
    alignas(ws::HOSTENT) char FDnsLookupBuffer[ws::MAXGETHOSTSTRUCT + 1]{};
    bool FEarlyReplyPending = false;
    WPARAM FEarlyReplyWParam = 0;
    LPARAM FEarlyReplyLParam = 0;
    std::deque<std::unique_ptr<TBuffer>> FBufList;
    int FSendBlockSize = 1460;
    bool FSendQueueEmpty = true;
    bool FPaused = false;
    bool FCloseInvoked = false; // OnSessionClosed fired for this connection
    bool FQuitSeen = false;
    ws::SOCKET FASocket = ws::INVALID_SOCKET;
    int FRecvCalls = 0;        // reads attempted, to tell a handler that read nothing
    bool FRecvDrained = false; // the last platform read of a stream got less than it asked for
    bool FClosing = false;     // a close is waiting for a lingering socket
    std::vector<std::string> FRaceAddrs;
    ws::SOCKET FRacer = ws::INVALID_SOCKET;
    std::string FRacerAddr;
    int FRacerFamily = ws::AF_INET;
    ws::SOCKADDR_IN FRacerSin{};
    ws::SOCKADDR_IN6 FRacerSin6{};
    std::unique_ptr<QTimer> FRaceTimer;
    WPARAM FRaceSerial = 0; // a timeout posted for an earlier connect is no one's now

private:
    void SetRemotePart(const std::string &value, std::string &text, bool &assigned, bool &resolved,
                       const char *refusal);
    bool PumpOneMessage();
    void CreateNotifyWindow();
    void DestroyNotifyWindow();
    LRESULT DispatchMessage(UINT Msg, WPARAM wParam, LPARAM lParam);

    std::unique_ptr<NotifyWindow> FWindow;
    // The window procedure reaches the socket through this cell, which the
    // destructor clears, so a message delivered after destruction finds nobody.
    std::shared_ptr<TCustomWSocket *> FWindowTarget;
    std::shared_ptr<int> FAlive = std::make_shared<int>(0);
    int FDispatchDepth = 0;
    bool FDestroying = false;
};
