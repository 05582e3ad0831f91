#pragma once

#include "net/WSockBuf.h"
#include "platform/Exception.h"
#include "platform/NotifyWindow.h"
#include "platform/Sockets.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Sockets library record and conversions
// ---------------------------------------------------------------------------

class ESocketException : public Exception {
public:
    explicit ESocketException(const std::string &message);
    // The message as the bytes it was made of.
    const std::string &Text() const { return text_; }

private:
    std::string text_;
};

// The process-wide sockets library. It starts on the first platform call and
// is released when the last socket object goes away; the next call starts it
// again. Starting it starts the lookup workers.
struct TSocketLibrary {
    bool Loaded = false;
    ws::WSADATA StartupData{};
    int StartCount = 0; // how many times it was started, for diagnostics
};
const TSocketLibrary &SocketLibrary();
// Starts the library when it is not running; raises ESocketException when the
// start-up fails.
void LoadSocketLibrary();
void UnloadSocketLibrary();
// Live socket objects of the process.
int SocketUserCount();

bool IsDottedAddress(const std::string &text);
std::uint32_t LeadingNumber(const std::string &text);
// IPv4 address in network order.
std::uint32_t WSocketResolveHost(const std::string &host);
// Port number in host order.
std::uint16_t WSocketResolvePort(const std::string &port, const std::string &proto);
int WSocketResolveProto(const std::string &proto);
std::string SocketErrorText(int errorCode);

// ---------------------------------------------------------------------------
// Asynchronous socket
// ---------------------------------------------------------------------------

constexpr UINT WM_SOCKET_SELECT = WM_USER + 1;
constexpr UINT WM_SOCKET_HOSTBYNAME = WM_USER + 2;
constexpr UINT WM_SOCKET_HOSTBYADDR = WM_USER + 3;
constexpr UINT WM_SOCKET_CLOSE_DELAYED = WM_USER + 4;
constexpr UINT WM_SOCKET_RELEASE = WM_USER + 5;
constexpr UINT WM_SOCKET_TEST_EXCEPTION = WM_USER + 6;
constexpr UINT WM_SOCKET_LINE_PENDING = WM_USER + 20;

enum TSocketState { wsInvalidState, wsOpened, wsBound, wsConnecting, wsConnected, wsAccepting, wsListening, wsClosed };

enum TWSocketOption : unsigned { wsoNoReceiveLoop = 1u << 0, wsoTcpNoDelay = 1u << 1 };
using TWSocketOptions = unsigned; // a set of TWSocketOption bits

enum TSocketSendFlags { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthBegin, socksAuthAccepted, socksAuthRejected, socksAuthNotNeeded };

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
using TSocksErrorEvent = std::function<void(TCustomWSocket *Sender, int Error, const std::string &Msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket *Sender, TSocksAuthState AuthState)>;
using TLineLimitEvent = std::function<void(TCustomWSocket *Sender, int RcvdLength, bool &ClearData)>;

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
    int FRecvCalls = 0;    // reads attempted, to tell a handler that read nothing
    bool FClosing = false; // a close is waiting for a lingering socket

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

// SOCKS client layer. With SocksServer set, Connect goes to the SOCKS server,
// runs the SOCKS 4, 4A or 5 handshake there, and only then reports the session
// as connected; with SocksServer empty it passes everything through.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    TCustomSocksWSocket();

    const std::string &SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string &value);
    const std::string &SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string &value);
    const std::string &SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string &value);
    const std::string &SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string &value) { FSocksUsercode = value; }
    const std::string &SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string &value) { FSocksPassword = value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication value) { FSocksAuthentication = value; }
    // What a SOCKS 5 server reported in its connect reply.
    const std::string &SocksBoundAddr() const { return FBoundAddr; }
    const std::string &SocksBoundPort() const { return FBoundPort; }

    void Connect() override;
    void Listen() override;

    // The TCP connection to the SOCKS server was made (0) or failed.
    TSessionConnected OnSocksConnected;
    // The negotiation failed; the same code follows in OnSessionConnected
    // and OnSessionClosed.
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void ResetToDefaults() override;
    int GetRcvdCount() override;
    int DoRecv(void *Buffer, int BufferSize, int Flags) override;
    bool HasBufferedData() override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireSessionConnected(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    virtual void FireSocksConnected(std::uint16_t Error);
    virtual void FireSocksError(int Error, const std::string &Msg);
    virtual void FireSocksAuthState(TSocksAuthState AuthState);

    // A handshake is running: the bytes on the wire belong to it, not to the owner.
    bool SocksNegotiating() const { return FSocksState != 0 && FSocksServerAssigned; }

    std::string FSocksServer, FSocksPort, FSocksLevel = "5", FSocksUsercode, FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    bool FSocksServerAssigned = false, FSocksPortAssigned = false;
    // 0 pass-through, 1 connecting or awaiting the method reply, 2 awaiting
    // the authentication reply, 3 awaiting the connect reply.
    std::uint8_t FSocksState = 0;
    std::uint8_t FSocksMethod = 0; // offered to a SOCKS 5 server: 0 none, 2 user code and password
    std::string FBoundAddr, FBoundPort;

private:
    // Reads what the current reply still lacks, up to Limit bytes held.
    // False when nothing new came.
    bool ReadReply(int Limit);
    bool SocksFail(int Code, const std::string &Msg);
    bool SocksGranted();
    void SocksDoConnect();
    void SocksDoAuthenticate();
    bool SendRequest(const std::string &Request);
    // Why the requests could not be built from the current settings, or empty.
    std::string SocksRequestProblem() const;

    // Large enough for the longest SOCKS 5 reply (a 255-byte name) and more,
    // so a reply always fits and every read makes progress.
    static constexpr int kReplyBufferSize = 512;
    char FReplyBuffer[kReplyBufferSize]{};
    int FReplyCount = 0;
    // Bytes of the data stream that came behind the SOCKS 5 reply.
    int FLeftoverCount = 0;
    int FLeftoverPosition = 0;
};

// Line mode layer: received bytes are collected and handed to OnDataAvailable
// one complete line (ending with LineEnd) at a time, with optional echo, simple
// editing (backspace, tab) and a limit on the length of an unfinished line.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    TCustomLineWSocket();
    ~TCustomLineWSocket() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool value);
    // Buffered bytes without a line end beyond which OnLineLimitExceeded
    // fires; 0 or less means no limit.
    int LineLimit() const { return FLineLimit; }
    void SetLineLimit(int value) { FLineLimit = value; }
    // An empty LineEnd switches line handling off.
    const std::string &LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string &value) { FLineEnd = value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool value) { FLineEcho = value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool value) { FLineEdit = value; }

    // The handler may set ClearData to false to keep the unfinished line.
    TLineLimitEvent OnLineLimitExceeded;

protected:
    LRESULT WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    int GetRcvdCount() override;
    int DoRecv(void *Buffer, int BufferSize, int Flags) override;
    bool HasBufferedData() override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    virtual void FireLineLimitExceeded(int RcvdLength, bool &ClearData);
    // Applies backspace and tab to the Len new bytes behind the held ones;
    // may rewrite held bytes too (a backspace erases back into them), so it
    // lowers FRecvCount to the first changed byte and sets Len to what follows.
    virtual void EditLine(int &Len);

    bool FLineMode = false;
    int FLineLimit = 65536;
    std::string FLineEnd = "\r\n";
    bool FLineEcho = false;
    bool FLineEdit = false;
    bool FLineClearData = false;

    // Held bytes are FRecvBuffer[FRecvHead, FRecvHead + FRecvCount); the
    // first FLineLength of them are the line being delivered.
    std::vector<char> FRecvBuffer;
    int FRecvHead = 0;
    int FRecvCount = 0;
    int FLineLength = 0;

private:
    void HandleLinePending();
    int FindLineEnd(int From) const;
    void EnsureRecvRoom(int Bytes);
    void ReleaseRecvBuffer();
    int TakeHeld(void *Buffer, int BufferSize);
    // Bumped whenever the buffer is released, so code that fired an event
    // can tell that the session ended underneath it.
    unsigned FRecvGeneration = 0;
};

// Synchronous waits on top of the asynchronous socket.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    // Clears DoneFlag, runs Proc when given, then waits: 0 when DoneFlag became
    // true, 12001 when the wait gave up (timeout, application end, quit).
    virtual int Synchronize(const std::function<void()> &Proc, bool &DoneFlag);
    virtual int WaitUntilReady(bool &DoneFlag);
    // Milliseconds; 0 waits without limit.
    int WaitTimeout() const { return FWaitTimeout; }
    void SetWaitTimeout(int value) { FWaitTimeout = value; }

protected:
    int FWaitTimeout = 0;
};

class TWSocket : public TCustomSyncWSocket {
public:
    TWSocket() = default;
};
