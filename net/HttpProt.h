#pragma once

#include "net/HttpAddress.h"
#include "net/MemoryStream.h"
#include "net/WSocket.h"
#include "platform/Exception.h"
#include "platform/NotifyWindow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class EHttpException : public Exception {
public:
    EHttpException(const std::string &Message, std::uint16_t ErrorCode);
    std::uint16_t ErrorCode() const { return FErrorCode; }

private:
    std::uint16_t FErrorCode;
};

// Error numbers the client reports itself, as EHttpException::ErrorCode for the
// refusals at the start of a request and as the Error of OnRequestDone for a
// request that failed on its way.
enum : std::uint16_t {
    httperrBusy = 1,
    httperrNothingToPost = 2,
    httperrAborted = 3,
    httperrLineTooLong = 4,
    httperrBadResponse = 5,      // status line or Content-Length not a number
    httperrHeaderIncomplete = 6, // connection closed before the end of the header
    httperrTooManyRelocations = 7,
    httperrHeaderTooLarge = 8,
    httperrUnsafeAddress = 9,          // CR, LF or NUL in an address
    httperrUnsupportedRelocation = 10, // a relocation to a scheme other than http and https
    httperrSendFailed = 11,            // composing or sending the request failed
    httperrTlsFailed = 12,             // the TLS handshake failed or the session broke
    httperrTunnelRefused = 13,         // the proxy would not open a tunnel for https
    httperrBodyIncomplete = 14,        // connection closed before Content-Length bytes of body came
    httperrConnectFailed = 15,         // the socket refused to connect and named no platform error
    httperrProxyClosed = 16,           // the proxy or SOCKS server closed before the way to the site was open
};

enum THttpRequest { rqNone = 0, rqGet = 1, rqPost = 2, rqHead = 3 };

enum THttpCliState {
    hsReady = 0,
    hsNotConnected = 1,
    hsConnected = 2,
    hsDnsLookup = 3,
    hsDnsLookupDone = 4,
    hsWaitingHeader = 5,
    hsWaitingBody = 6,
    hsAborting = 7
};

constexpr UINT WM_HTTP_DONE = WM_USER + 1;
constexpr UINT WM_HTTP_READY = WM_USER + 2;
constexpr UINT WM_HTTP_RECONNECT = WM_USER + 3;
constexpr UINT WM_HTTP_NEXT_ADDRESS = WM_USER + 4;

class THttpCli;

using THttpNotifyEvent = std::function<void(THttpCli *Sender)>;
using TBeforeHeaderSendEvent =
    std::function<void(THttpCli *Sender, const std::string &Method, std::vector<std::string> &Headers)>;
using TOnCommand = std::function<void(THttpCli *Sender, std::string &S)>;
using TDocDataEvent = std::function<void(THttpCli *Sender, const void *Buffer, int Len)>;
using TCookieRcvdEvent = std::function<void(THttpCli *Sender, const std::string &Data, bool &Accept)>;
using THttpRequestDone = std::function<void(THttpCli *Sender, THttpRequest RqType, std::uint16_t Error)>;

// An HTTP/1.0 client that fetches one document at a time, directly or through
// a proxy, over one TWSocket. Everything runs on the creating thread, driven
// by the socket's events and by the client's own posted messages. A new
// connection is opened for every request and every relocation.
class THttpCli {
public:
    THttpCli();
    // Runs over the given socket instead of a real one: a stand-in that plays
    // the network lets tests and the fuzzer drive the whole response handling
    // without a connection.
    explicit THttpCli(std::unique_ptr<TWSocket> Socket);
    virtual ~THttpCli();
    THttpCli(const THttpCli &) = delete;
    THttpCli &operator=(const THttpCli &) = delete;

    // Synchronous GET: returns when the request has ended; raises
    // EHttpException when it failed or the status is 400 or more. Keeps
    // processing the thread's messages meanwhile, so Abort can be called.
    void Get();
    virtual void RunRequest(THttpRequest Rq);
    // Asynchronous: returns at once; State comes back to hsReady and then
    // OnRequestDone fires.
    virtual void StartRequest(THttpRequest Rq);
    // Ends the request in progress as a failure; on an idle client it only
    // closes a connection still open. Safe from any handler.
    void Abort();

    // Published properties.
    const std::string &URL() const { return FURL; }
    void SetURL(const std::string &Value) { FURL = Value; }
    const std::string &LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string &Value) { FLocalAddr = Value; }
    const std::string &Proxy() const { return FProxy; }
    void SetProxy(const std::string &Value) { FProxy = Value; }
    const std::string &ProxyPort() const { return FProxyPort; }
    void SetProxyPort(const std::string &Value) { FProxyPort = Value; }
    const std::string &Sender() const { return FSender; }
    void SetSender(const std::string &Value) { FSender = Value; }
    const std::string &Agent() const { return FAgent; }
    void SetAgent(const std::string &Value) { FAgent = Value; }
    const std::string &Accept() const { return FAccept; }
    void SetAccept(const std::string &Value) { FAccept = Value; }
    const std::string &AcceptLanguage() const { return FAcceptLanguage; }
    void SetAcceptLanguage(const std::string &Value) { FAcceptLanguage = Value; }
    const std::string &Reference() const { return FReference; }
    void SetReference(const std::string &Value) { FReference = Value; }
    const std::string &Username() const { return FUsername; }
    void SetUsername(const std::string &Value) { FUsername = Value; }
    const std::string &Password() const { return FPassword; }
    void SetPassword(const std::string &Value) { FPassword = Value; }
    const std::string &ProxyUsername() const { return FProxyUsername; }
    void SetProxyUsername(const std::string &Value) { FProxyUsername = Value; }
    const std::string &ProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string &Value) { FProxyPassword = Value; }
    bool NoCache() const { return FNoCache; }
    void SetNoCache(bool Value) { FNoCache = Value; }
    // Days since 1899-12-30; the fraction is the time of day. 0 = not set.
    double ModifiedSince() const { return FModifiedSince; }
    void SetModifiedSince(double Value) { FModifiedSince = Value; }
    const std::string &Cookie() const { return FCookie; }
    void SetCookie(const std::string &Value) { FCookie = Value; }
    const std::string &ContentTypePost() const { return FContentTypePost; }
    void SetContentTypePost(const std::string &Value) { FContentTypePost = Value; }
    const std::string &ContentRangeBegin() const { return FContentRangeBegin; }
    void SetContentRangeBegin(const std::string &Value) { FContentRangeBegin = Value; }
    const std::string &ContentRangeEnd() const { return FContentRangeEnd; }
    void SetContentRangeEnd(const std::string &Value) { FContentRangeEnd = Value; }
    const std::string &AcceptRanges() const { return FAcceptRanges; }
    bool MultiThreaded() const { return FMultiThreaded; }
    virtual void SetMultiThreaded(bool Value);
    std::string SocksServer() const { return FCtrlSocket->SocksServer(); }
    void SetSocksServer(const std::string &Value) { FCtrlSocket->SetSocksServer(Value); }
    std::string SocksLevel() const { return FCtrlSocket->SocksLevel(); }
    void SetSocksLevel(const std::string &Value) { FCtrlSocket->SetSocksLevel(Value); }
    std::string SocksPort() const { return FCtrlSocket->SocksPort(); }
    void SetSocksPort(const std::string &Value) { FCtrlSocket->SetSocksPort(Value); }
    std::string SocksUsercode() const { return FCtrlSocket->SocksUsercode(); }
    void SetSocksUsercode(const std::string &Value) { FCtrlSocket->SetSocksUsercode(Value); }
    std::string SocksPassword() const { return FCtrlSocket->SocksPassword(); }
    void SetSocksPassword(const std::string &Value) { FCtrlSocket->SetSocksPassword(Value); }
    TSocksAuthentication SocksAuthentication() const { return FCtrlSocket->SocksAuthentication(); }
    void SetSocksAuthentication(TSocksAuthentication Value) { FCtrlSocket->SetSocksAuthentication(Value); }

    // Run-time properties.
    THttpCliState State() const { return FState; }
    THttpRequest RequestType() const { return FRequestType; }
    int StatusCode() const { return FStatusCode; }
    const std::string &ReasonPhrase() const { return FReasonPhrase; }
    int ContentLength() const { return FContentLength; }
    const std::string &ContentType() const { return FContentType; }
    const std::string &Location() const { return FLocation; }
    const std::string &DocName() const { return FDocName; }
    const std::vector<std::string> &RcvdHeader() const { return FRcvdHeader; }
    TStream *RcvdStream() const { return FRcvdStream; }
    void SetRcvdStream(TStream *Value) { FRcvdStream = Value; }
    TStream *SendStream() const { return FSendStream; }
    void SetSendStream(TStream *Value) { FSendStream = Value; }
    int RcvdCount() const { return FRcvdCount; }
    int SentCount() const { return FSentCount; }
    bool Connected() const { return FConnected; }
    // The code the last request ended with (0: a clean end, or an answer
    // from a server, whatever its status); what OnRequestDone was given.
    std::uint16_t RequestDoneError() const { return FRequestDoneError; }
    // The proxy or SOCKS server ("host:port") the last request went through
    // and failed at before the way to the site was open; empty when the
    // site itself was reached, or nothing stood between. Through an HTTP
    // proxy without a tunnel the proxy is all the client ever reaches.
    std::string FailedOnTheWay(bool &Socks) const;
    // The socket underneath, for tests and diagnostics.
    TWSocket &CtrlSocket() { return *FCtrlSocket; }

    // Published events.
    THttpNotifyEvent OnStateChange;
    THttpNotifyEvent OnSessionConnected;
    THttpNotifyEvent OnRequestHeaderBegin;
    TBeforeHeaderSendEvent OnBeforeHeaderSend;
    TOnCommand OnCommand;
    THttpNotifyEvent OnRequestHeaderEnd;
    THttpNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    THttpNotifyEvent OnSendEnd;
    THttpNotifyEvent OnHeaderBegin;
    THttpNotifyEvent OnHeaderData;
    TCookieRcvdEvent OnCookie;
    THttpNotifyEvent OnHeaderEnd;
    THttpNotifyEvent OnLocationChange;
    THttpNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    THttpNotifyEvent OnDocEnd;
    THttpRequestDone OnRequestDone;
    THttpNotifyEvent OnSocketError;
    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;
    THttpNotifyEvent OnTrace;

    // Largest response header the client accepts, and the number of
    // relocations it follows for one request.
    static constexpr int kMaxHeaderBytes = 256 * 1024;
    static constexpr int kMaxRelocations = 20;

protected:
    virtual void ProcessHeaderLine();
    virtual void ProcessBodyData();
    virtual void SendHeaderLine(const std::string &Line);
    virtual void StartConnection();
    virtual void CloseConnection();
    virtual void ResetResponse();
    virtual void HandleDnsLookupDone(TCustomWSocket *Sender, std::uint16_t Error);
    virtual void HandleSessionClosed(TCustomWSocket *Sender, std::uint16_t Error);
    virtual void HandleSessionConnected(TCustomWSocket *Sender, std::uint16_t Error);
    virtual void HandleDataSent(TCustomWSocket *Sender, std::uint16_t Error);
    virtual void HandleDataAvailable(TCustomWSocket *Sender, std::uint16_t Error);
    virtual void FollowLocation(TCustomWSocket *Sender, std::uint16_t Error);
    virtual void ChangeState(THttpCliState NewState);
    virtual void FireStateChange();
    virtual void FireCookie(const std::string &Data, bool &Accept);
    virtual void FireSessionConnected();
    virtual void FireBeforeHeaderSend(const std::string &Method, std::vector<std::string> &Headers);
    virtual void FireRequestHeaderBegin();
    virtual void FireRequestHeaderEnd();
    virtual void FireHeaderBegin();
    virtual void FireHeaderEnd();
    virtual void FireDocBegin();
    virtual void FireDocData(const void *Buffer, int Len);
    virtual void FireDocEnd();
    virtual void FireSendBegin();
    virtual void FireSendData(const void *Buffer, int Len);
    virtual void FireSendEnd();
    virtual void PostRequestDone();
    virtual LRESULT WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam);
    virtual void PostSetReady();
    virtual void DeriveDocName();
    virtual void CreateNotifyWindow();
    virtual void DestroyNotifyWindow();

    // Ends the request in progress as a failure with StatusCode 404 and the
    // given reason; the connection is closed and the client becomes ready.
    void FailRequest(const std::string &Reason, std::uint16_t Error);

private:
    using LineHandler = void (THttpCli::*)();

    void SendRequest(const std::string &Method);
    void SwitchToBody();
    void BodyBlock(const char *Data, int Len);
    void HandleLocation(const std::string &Value);
    void BindSessionClosed(void (THttpCli::*Handler)(TCustomWSocket *, std::uint16_t));
    // Text is the socket's own reason when it gave one.
    void ConnectFailed(int Code, const std::string &Text = {});
    // Connects the socket to one address of the looked-up host.
    void ConnectToAddress(const std::string &Address);
    // After a failed connection: when the host has another address and the
    // failure was the address's (refused, unreachable), lets the attempt go
    // quietly and posts the try of the next one. False when the failure is
    // the request's.
    bool MoveToNextAddress(int Code);
    bool RangeIsTheAnswers() const;
    // The target and where a relocation sends it (HttpRelocation.cpp).
    static bool IsSecureScheme(const std::string &Scheme);
    void SetTarget(const std::string &Scheme, const std::string &Host, const std::string &Port,
                   const std::string &Path);
    void Relocate(const std::string &Value);
    // The current target's scheme, host and port.
    std::string Origin() const;
    void NoteAddressCredentials();
    bool CredentialsGoHere() const;
    // A failure's reason, naming the address a relocation went to.
    std::string WhereTo(const std::string &Reason) const;
    // The proxy or SOCKS server ended the connection before the site's.
    void ClosedBeforeTheSite();
    // The tunnel through a proxy for https (HttpTunnel.cpp).
    void SendTunnelRequest();
    void ProcessTunnelLine();
    void HandleTlsHandshakeDone(TCustomWSocket *Sender, std::uint16_t Error);
    void SendRequestOnConnection(TCustomWSocket *Sender);
    void TlsFailed();
    // Static: after a handler destroyed the client, not even a call through
    // this is allowed.
    static bool Gone(const std::weak_ptr<int> &Token) { return Token.expired(); }

    std::unique_ptr<TWSocket> FCtrlSocket;
    std::unique_ptr<NotifyWindow> FWindow;
    std::shared_ptr<int> FAlive = std::make_shared<int>(0);

    std::string FURL, FLocalAddr = "0.0.0.0", FProxy, FProxyPort = "80", FSender;
    std::string FAgent = "Mozilla/3.0 (compatible)";
    std::string FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string FAcceptLanguage, FReference, FUsername, FPassword, FProxyUsername, FProxyPassword;
    bool FNoCache = false;
    double FModifiedSince = 0;
    std::string FCookie, FContentTypePost = "application/x-www-form-urlencoded";
    std::string FContentRangeBegin, FContentRangeEnd, FAcceptRanges;
    bool FMultiThreaded = false;

    THttpCliState FState = hsReady;
    THttpRequest FRequestType = rqNone;
    int FStatusCode = 0;
    std::string FReasonPhrase;
    int FContentLength = -1;
    std::string FContentType, FLocation, FDocName;
    std::vector<std::string> FRcvdHeader;
    TStream *FRcvdStream = nullptr;
    TStream *FSendStream = nullptr;
    int FRcvdCount = 0;
    int FSentCount = 0;
    bool FConnected = false;

    std::uint16_t FRequestDoneError = 0;
    bool FPastTheWay = false;      // the site itself was reached (directly, or through the tunnel or SOCKS grant)
    std::string FHostName;         // where the socket connects: the server or the proxy
    std::string FPort;             // its port
    std::string FTargetHost;       // the server, for "Host:" (with FTargetPort when it is not the default)
    std::string FProxyConnectPort; // the proxy's port for every connection of a request
    std::string FPath;             // target of the request line
    bool FSecure = false;          // the target is an https address
    std::string FTargetPort;       // the target's port, for a tunnel and an https relocation
    std::string FOriginPath;       // the target's path, for a relative https relocation
    bool FTunnelling = false;      // the proxy's answer to CONNECT is being read
    std::string FDnsResult;
    std::vector<std::string> FAddressesLeft; // the host's addresses not yet tried
    char FReceiveBuffer[8193];
    int FReceiveLen = 0;
    char FSendBuffer[8193];
    std::string FLastResponse; // the line or body block being handled
    std::string FLastLineEnd;  // the line end the splitting removed from it
    int FHeaderLineCount = 0;
    int FBodyLineCount = 0;
    int FHeaderBytes = 0;
    int FRelocations = 0;
    bool FHeaderFlag = false;
    bool FLocationFlag = false;
    bool FSendBodyFlag = false;
    LineHandler FNext = nullptr;
    std::string FReqStream;
    std::vector<std::string> FWWWAuthenticate;
    // Numbers the requests, so that a message posted for one request is not
    // taken for the next one that the caller started meanwhile.
    WPARAM FRequestSerial = 0;
    // Credentials the request's address (or a relocation) carried, and the
    // caller's own that they stand in for: they belong to that address.
    bool FAddressCredentials = false;
    std::string FCallerUsername, FCallerPassword, FAddressUsername, FAddressPassword;
    // The origin Username and Password are for; an empty one sends them nowhere.
    std::string FCredentialsOrigin;
    // The range the last answer reported: shown in ContentRangeBegin/End,
    // never asked for by the next request.
    bool FRangeFromResponse = false;
    std::string FResponseRangeBegin, FResponseRangeEnd;
    std::int64_t FBodyBytes = 0; // body bytes of the current answer
    // The completion of Get's own request is held while Get waits and posted
    // once it has returned: its caller sees the outcome before any handler.
    bool FWaiting = false;
    std::vector<std::pair<WPARAM, LPARAM>> FHeldDone;
};
