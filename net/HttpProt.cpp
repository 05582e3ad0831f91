// The HTTP/1.0 client: a state machine on top of one TWSocket. It sets the
// socket's event handlers (OnDnsLookupDone, OnSessionConnected, OnDataSent,
// OnDataAvailable, OnSessionClosed) rather than overriding a layer, and posts
// itself three messages (done, ready, reconnect) so that no request ends or
// starts again inside a socket event. It is kept in one file: its handlers
// pass the request back and forth between them, and reading it whole is how
// one follows a request from StartRequest to the done message.

#include "net/HttpProt.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/TextCodec.h"

EHttpException::EHttpException(const std::string &Message, std::uint16_t ErrorCode)
    : Exception(DecodeAnsi(QByteArray::fromStdString(Message))), FErrorCode(ErrorCode)
{
}

// ---------------------------------------------------------------------------
// THttpCli
// ---------------------------------------------------------------------------

namespace {

bool HasUnsafeCharacter(const std::string &address)
{
    return address.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string Trim(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// StrToInt of the old runtime on a byte string; false when it is not a number.
bool ToInt(const std::string &text, int &value)
{
    try {
        value = StrToInt(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
        return true;
    } catch (const EConvertError &) {
        return false;
    }
}

bool AllDigits(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string ErrorWithCode(int code)
{
    return SocketErrorText(code) + " (Error #" + std::to_string(code) + ")";
}

} // namespace

THttpCli::THttpCli() : THttpCli(std::make_unique<TWSocket>()) {}

THttpCli::THttpCli(std::unique_ptr<TWSocket> Socket) : FCtrlSocket(std::move(Socket))
{
    CreateNotifyWindow();
    FCtrlSocket->OnDnsLookupDone = [this](TCustomWSocket *s, std::uint16_t e) { HandleDnsLookupDone(s, e); };
    FCtrlSocket->OnSessionConnected = [this](TCustomWSocket *s, std::uint16_t e) { HandleSessionConnected(s, e); };
    FCtrlSocket->OnDataAvailable = [this](TCustomWSocket *s, std::uint16_t e) { HandleDataAvailable(s, e); };
    FCtrlSocket->OnDataSent = [this](TCustomWSocket *s, std::uint16_t e) { HandleDataSent(s, e); };
    FCtrlSocket->OnTlsHandshakeDone = [this](TCustomWSocket *s, std::uint16_t e) { HandleTlsHandshakeDone(s, e); };
    BindSessionClosed(&THttpCli::HandleSessionClosed);
    FCtrlSocket->OnError = [this](TCustomWSocket *) {
        if (OnSocketError)
            OnSocketError(this);
    };
    FCtrlSocket->OnSocksConnected = [this](TCustomWSocket *s, std::uint16_t e) {
        if (OnSocksConnected)
            OnSocksConnected(s, e);
    };
    FCtrlSocket->OnSocksError = [this](TCustomWSocket *s, int e, const std::string &msg) {
        if (OnSocksError)
            OnSocksError(s, e, msg);
    };
    FCtrlSocket->OnSocksAuthState = [this](TCustomWSocket *s, TSocksAuthState state) {
        if (OnSocksAuthState)
            OnSocksAuthState(s, state);
    };
}

THttpCli::~THttpCli()
{
    FAlive.reset();
    // The socket may still report a close while it goes; nobody is listening.
    FCtrlSocket->OnDnsLookupDone = nullptr;
    FCtrlSocket->OnSessionConnected = nullptr;
    FCtrlSocket->OnDataAvailable = nullptr;
    FCtrlSocket->OnDataSent = nullptr;
    FCtrlSocket->OnTlsHandshakeDone = nullptr;
    FCtrlSocket->OnSessionClosed = nullptr;
    FCtrlSocket->OnError = nullptr;
    FCtrlSocket->OnSocksConnected = nullptr;
    FCtrlSocket->OnSocksError = nullptr;
    FCtrlSocket->OnSocksAuthState = nullptr;
    FCtrlSocket.reset();
    DestroyNotifyWindow();
}

void THttpCli::CreateNotifyWindow()
{
    // An exception from a handler of OnRequestDone must not reach Qt; the
    // request is over by then, so there is nothing left to undo.
    FWindow = std::make_unique<NotifyWindow>([this](UINT m, WPARAM w, LPARAM l) { return WindowProcedure(m, w, l); },
                                             [](std::exception_ptr) {});
}

void THttpCli::DestroyNotifyWindow()
{
    FWindow.reset();
}

void THttpCli::BindSessionClosed(void (THttpCli::*Handler)(TCustomWSocket *, std::uint16_t))
{
    FCtrlSocket->OnSessionClosed = [this, Handler](TCustomWSocket *s, std::uint16_t e) { (this->*Handler)(s, e); };
}

void THttpCli::SetMultiThreaded(bool Value)
{
    FMultiThreaded = Value;
    FCtrlSocket->SetMultiThreaded(Value);
}

LRESULT THttpCli::WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_HTTP_DONE:
        // Type and error travel with the message: the caller may have started
        // the next request before this one's completion is delivered.
        if (OnRequestDone)
            OnRequestDone(this, static_cast<THttpRequest>(wParam), static_cast<std::uint16_t>(lParam));
        return 0;
    case WM_HTTP_READY:
        if (wParam == FRequestSerial)
            ChangeState(hsReady);
        return 0;
    case WM_HTTP_RECONNECT:
        // An Abort between the relocation and this message ended the request.
        if (wParam == FRequestSerial && FState == hsWaitingHeader)
            StartConnection();
        return 0;
    default:
        return 0;
    }
}

void THttpCli::PostRequestDone()
{
    FWindow->Post(WM_HTTP_DONE, static_cast<WPARAM>(FRequestType), static_cast<LPARAM>(FRequestDoneError));
}

void THttpCli::PostSetReady()
{
    FWindow->Post(WM_HTTP_READY, FRequestSerial, 0);
}

void THttpCli::ChangeState(THttpCliState NewState)
{
    if (FState == NewState)
        return;
    FState = NewState;
    if (NewState == hsReady) {
        // Posted before the event, so that it carries this request's outcome
        // even if the handler starts the next request at once.
        PostRequestDone();
    }
    FireStateChange();
}

void THttpCli::FireStateChange()
{
    if (OnStateChange)
        OnStateChange(this);
}

void THttpCli::FireCookie(const std::string &Data, bool &Accept)
{
    if (OnCookie)
        OnCookie(this, Data, Accept);
}

void THttpCli::FireSessionConnected()
{
    if (OnSessionConnected)
        OnSessionConnected(this);
}

void THttpCli::FireBeforeHeaderSend(const std::string &Method, std::vector<std::string> &Headers)
{
    if (OnBeforeHeaderSend)
        OnBeforeHeaderSend(this, Method, Headers);
}

void THttpCli::FireRequestHeaderBegin()
{
    if (OnRequestHeaderBegin)
        OnRequestHeaderBegin(this);
}

void THttpCli::FireRequestHeaderEnd()
{
    if (OnRequestHeaderEnd)
        OnRequestHeaderEnd(this);
}

void THttpCli::FireHeaderBegin()
{
    FHeaderFlag = true;
    if (OnHeaderBegin)
        OnHeaderBegin(this);
}

void THttpCli::FireHeaderEnd()
{
    FHeaderFlag = false;
    if (OnHeaderEnd)
        OnHeaderEnd(this);
}

void THttpCli::FireDocBegin()
{
    if (OnDocBegin)
        OnDocBegin(this);
}

void THttpCli::FireDocData(const void *Buffer, int Len)
{
    if (OnDocData)
        OnDocData(this, Buffer, Len);
}

void THttpCli::FireDocEnd()
{
    if (OnDocEnd)
        OnDocEnd(this);
}

void THttpCli::FireSendBegin()
{
    if (OnSendBegin)
        OnSendBegin(this);
}

void THttpCli::FireSendData(const void *Buffer, int Len)
{
    if (OnSendData)
        OnSendData(this, Buffer, Len);
}

void THttpCli::FireSendEnd()
{
    if (OnSendEnd)
        OnSendEnd(this);
}

void THttpCli::DeriveDocName()
{
    ::DeriveDocName(FDocName);
}

void THttpCli::ResetResponse()
{
    FRcvdHeader.clear();
    FRequestDoneError = 0;
    FDocName.clear();
    FStatusCode = 0;
    FRcvdCount = 0;
    FSentCount = 0;
    FHeaderLineCount = 0;
    FBodyLineCount = 0;
    FContentLength = -1;
    FContentType.clear();
    FSendBodyFlag = false;
    FLocation = FURL;
    FHeaderBytes = 0;
    FRelocations = 0;
    FHeaderFlag = false;
    FLocationFlag = false;
    FReceiveLen = 0;
    FWWWAuthenticate.clear();
}

// "HTTPS://" is as good as "https://"; the address splitting knows lower-case
// schemes only.
static std::string SecureSchemeInLowerCase(const std::string &Address)
{
    if (LowerAscii(Address.substr(0, 8)) == "https://")
        return "https://" + Address.substr(8);
    return Address;
}

void THttpCli::Get()
{
    RunRequest(rqGet);
}

void THttpCli::RunRequest(THttpRequest Rq)
{
    const std::weak_ptr<int> alive = FAlive;
    StartRequest(Rq);
    while (!Gone(alive) && FState != hsReady) {
        if (FMultiThreaded) {
            FCtrlSocket->PumpMessages();
            if (Gone(alive) || FState == hsReady)
                break;
        }
        // Sleeps until the next message: the socket, a timer or the user.
        ProcessMessagesWaiting();
    }
    if (Gone(alive))
        throw EHttpException("Connection aborted on request", 404);
    if (FStatusCode >= 400)
        throw EHttpException(FReasonPhrase, static_cast<std::uint16_t>(FStatusCode));
}

void THttpCli::StartRequest(THttpRequest Rq)
{
    if (FState != hsReady)
        throw EHttpException("HTTP component is busy", httperrBusy);
    if (Rq == rqPost && FSendStream == nullptr)
        throw EHttpException("HTTP component has nothing to post", httperrNothingToPost);
    // A line end in an address would let it write header lines of its own.
    if (HasUnsafeCharacter(FURL))
        throw EHttpException("Invalid character in URL", httperrUnsafeAddress);
    if (HasUnsafeCharacter(FProxy))
        throw EHttpException("Invalid character in proxy address", httperrUnsafeAddress);

    // A previous request that ended at a zero Content-Length may have left
    // its connection open; it must not be reported as this request's end.
    if (FCtrlSocket->State() != wsClosed) {
        FCtrlSocket->OnSessionClosed = nullptr;
        FCtrlSocket->Close();
    }
    ++FRequestSerial;
    BindSessionClosed(&THttpCli::HandleSessionClosed);
    ChangeState(hsNotConnected);
    if (FState != hsNotConnected)
        return; // aborted from OnStateChange
    FRequestType = Rq;
    ResetResponse();

    std::string scheme, user, password, host, port, path;
    SplitAddress(SecureSchemeInLowerCase(FURL), scheme, user, password, host, port, path);
    FTargetHost = host;
    FDocName = path;
    if (!user.empty())
        FUsername = user;
    if (!password.empty())
        FPassword = password;
    FSecure = IsSecureScheme(scheme);
    FTunnelling = false;
    FTargetPort = port.empty() ? (FSecure ? "443" : "80") : port;
    FOriginPath = path.empty() ? "/" : path;
    if (FSecure) {
        SetSecureTarget("https", host, port, path);
        if (!FProxy.empty()) {
            std::string pScheme, pUser, pPassword, pHost, pPort, pPath;
            SplitAddress(FProxy, pScheme, pUser, pPassword, pHost, pPort, pPath);
            FHostName = pHost;
            FProxyConnectPort = pPort.empty() ? FProxyPort : pPort;
            FPort = FProxyConnectPort;
        }
    } else if (FProxy.empty()) {
        FPath = path;
        FHostName = host;
        FPort = port.empty() ? "80" : port;
    } else {
        FPath = (scheme.empty() ? "http" : scheme) + "://" + host + (port.empty() ? "" : ":" + port) + path;
        std::string pScheme, pUser, pPassword, pHost, pPort, pPath;
        SplitAddress(FProxy, pScheme, pUser, pPassword, pHost, pPort, pPath);
        FHostName = pHost;
        FProxyConnectPort = pPort.empty() ? FProxyPort : pPort;
        FPort = FProxyConnectPort;
    }
    if (FPath.empty())
        FPath = "/";
    DeriveDocName();
    StartConnection();
}

void THttpCli::StartConnection()
{
    FDnsResult.clear();
    ChangeState(hsDnsLookup);
    if (FState != hsDnsLookup)
        return; // aborted from OnStateChange: no lookup for a finished request
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    try {
        FCtrlSocket->DnsLookup(FHostName);
    } catch (const std::exception &e) {
        FStatusCode = 404;
        FReasonPhrase = e.what();
        FConnected = false;
        ChangeState(hsReady);
    }
}

void THttpCli::HandleDnsLookupDone(TCustomWSocket *Sender, std::uint16_t Error)
{
    // A completion for a lookup this client no longer waits for (aborted,
    // cancelled) changes nothing.
    if (FState != hsDnsLookup)
        return;
    if (Error != 0) {
        FRequestDoneError = Error;
        FStatusCode = 404;
        FReasonPhrase = "can't resolve hostname to IP address";
        HandleSessionClosed(Sender, Error);
        return;
    }
    const std::weak_ptr<int> alive = FAlive;
    FDnsResult = FCtrlSocket->DnsResult();
    ChangeState(hsDnsLookupDone);
    if (Gone(alive) || FState != hsDnsLookupDone)
        return;
    FCtrlSocket->SetAddr(FDnsResult);
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    FCtrlSocket->SetPort(FPort);
    FCtrlSocket->SetProto("tcp");
    // Through a proxy the handshake waits for the tunnel.
    FCtrlSocket->SetTlsEnabled(FSecure && FProxy.empty());
    FCtrlSocket->SetTlsHost(FTargetHost);
    FTunnelling = false;
    try {
        FCtrlSocket->Connect();
    } catch (const std::exception &) {
        if (Gone(alive))
            return;
        ConnectFailed(FCtrlSocket->LastError());
        return;
    }
    if (Gone(alive))
        return;
    // With OnError assigned the socket reports a refused Connect (a port that
    // is no number, a local address it cannot bind) through that event and
    // returns; without this the request would wait for a connection that
    // never comes.
    const TSocketState s = FCtrlSocket->State();
    if (FState == hsDnsLookupDone && s != wsConnecting && s != wsConnected)
        ConnectFailed(FCtrlSocket->LastError());
}

void THttpCli::ConnectFailed(int Code)
{
    FRequestDoneError = static_cast<std::uint16_t>(Code);
    FStatusCode = 404;
    FReasonPhrase = "can't connect: " + ErrorWithCode(Code);
    const std::weak_ptr<int> alive = FAlive;
    FCtrlSocket->OnSessionClosed = nullptr;
    FCtrlSocket->Close();
    if (Gone(alive))
        return;
    BindSessionClosed(&THttpCli::HandleSessionClosed);
    HandleSessionClosed(FCtrlSocket.get(), static_cast<std::uint16_t>(Code));
}

void THttpCli::HandleSessionConnected(TCustomWSocket *Sender, std::uint16_t Error)
{
    if (FState != hsDnsLookupDone)
        return;
    if (Error != 0) {
        FRequestDoneError = Error;
        FStatusCode = 404;
        FReasonPhrase = ErrorWithCode(Error);
        if (IsTlsErrorCode(Error)) {
            FRequestDoneError = httperrTlsFailed;
            FReasonPhrase = FCtrlSocket->TlsReason();
        }
        HandleSessionClosed(Sender, Error);
        return;
    }
    if (FSecure && !FProxy.empty()) {
        SendTunnelRequest();
        return;
    }
    SendRequestOnConnection(Sender);
}

void THttpCli::SendRequestOnConnection(TCustomWSocket *Sender)
{
    const std::weak_ptr<int> alive = FAlive;
    FConnected = true;
    ChangeState(hsConnected);
    if (Gone(alive) || FState != hsConnected)
        return;
    FireSessionConnected();
    if (Gone(alive) || FState != hsConnected)
        return;
    FNext = &THttpCli::ProcessHeaderLine;
    ChangeState(hsWaitingHeader);
    if (Gone(alive) || FState != hsWaitingHeader)
        return;
    try {
        switch (FRequestType) {
        case rqPost:
            SendRequest("POST");
            if (Gone(alive) || FState != hsWaitingHeader)
                return;
            FireSendBegin();
            if (Gone(alive))
                return;
            FSendBodyFlag = true;
            HandleDataSent(Sender, 0);
            break;
        case rqHead:
            SendRequest("HEAD");
            break;
        default:
            SendRequest("GET");
            break;
        }
    } catch (const std::exception &e) {
        if (!Gone(alive))
            FailRequest(e.what(), httperrSendFailed);
    }
}

void THttpCli::SendHeaderLine(const std::string &Line)
{
    std::string s = Line;
    if (OnCommand)
        OnCommand(this, s);
    // Some request values come from the server (a Content-Range turns into
    // the next Range): a line break or NUL in them would write header lines
    // nobody asked for.
    if (HasUnsafeCharacter(s))
        throw EHttpException("Invalid character in request header", httperrUnsafeAddress);
    if (!s.empty())
        FReqStream += s;
    FReqStream += "\r\n";
}

void THttpCli::SendRequest(const std::string &Method)
{
    const std::weak_ptr<int> alive = FAlive;
    FReqStream.clear();
    FireRequestHeaderBegin();
    if (Gone(alive))
        return;
    std::vector<std::string> headers;
    headers.push_back(Method + " " + FPath + " HTTP/1.0");
    if (!FSender.empty())
        headers.push_back("From: " + FSender);
    if (!FAccept.empty())
        headers.push_back("Accept: " + FAccept);
    if (!FReference.empty())
        headers.push_back("Referer: " + FReference);
    if (!FAcceptLanguage.empty())
        headers.push_back("Accept-Language: " + FAcceptLanguage);
    if (Method == "POST" && !FContentTypePost.empty())
        headers.push_back("Content-Type: " + FContentTypePost);
    if (!FAgent.empty())
        headers.push_back("User-Agent: " + FAgent);
    headers.push_back("Host: " + FTargetHost);
    if (FNoCache)
        headers.push_back("Pragma: no-cache");
    if (Method == "POST") {
        // The body is sent from the stream's current position, so that is
        // what the length must count.
        const std::int64_t length =
            FSendStream ? std::max<std::int64_t>(0, FSendStream->Size() - FSendStream->Position()) : 0;
        headers.push_back("Content-Length: " + std::to_string(length));
    }
    if (FModifiedSince != 0)
        headers.push_back("If-Modified-Since: " + HttpDate(FModifiedSince) + " GMT");
    if (!FUsername.empty())
        headers.push_back("Authorization: Basic " + Base64Encode(FUsername + ":" + FPassword));
    // Inside a tunnel the request reaches the server itself, which must not
    // learn the proxy's password.
    if (!FProxy.empty() && !FSecure && !FProxyUsername.empty())
        headers.push_back("Proxy-Authorization: Basic " + Base64Encode(FProxyUsername + ":" + FProxyPassword));
    if (!FCookie.empty())
        headers.push_back("Cookie: " + FCookie);
    if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
        headers.push_back("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
        FContentRangeBegin.clear();
        FContentRangeEnd.clear();
    }
    FAcceptRanges.clear();
    FireBeforeHeaderSend(Method, headers);
    if (Gone(alive))
        return;
    for (const std::string &line : headers) {
        SendHeaderLine(line);
        if (Gone(alive))
            return;
    }
    FireRequestHeaderEnd();
    if (Gone(alive))
        return;
    SendHeaderLine(std::string());
    if (Gone(alive) || FState != hsWaitingHeader)
        return;
    FCtrlSocket->Send(FReqStream.data(), static_cast<int>(FReqStream.size()));
    FReqStream.clear();
}

void THttpCli::HandleDataSent(TCustomWSocket *, std::uint16_t)
{
    if (!FSendBodyFlag || FSendStream == nullptr)
        return;
    const int n = FSendStream->Read(FSendBuffer, static_cast<int>(sizeof FSendBuffer));
    if (n > 0) {
        FSentCount += n;
        const std::weak_ptr<int> alive = FAlive;
        FireSendData(FSendBuffer, n);
        if (Gone(alive) || !FSendBodyFlag)
            return;
        FCtrlSocket->Send(FSendBuffer, n);
    } else {
        FSendBodyFlag = false;
        FireSendEnd();
    }
}

void THttpCli::HandleDataAvailable(TCustomWSocket *, std::uint16_t)
{
    if (FReceiveLen >= 8192) {
        // Only bytes outside a request can be left here; nobody wants them.
        FReceiveLen = 0;
    }
    const int n = FCtrlSocket->Receive(FReceiveBuffer + FReceiveLen, 8192 - FReceiveLen);
    if (FRequestType == rqNone || n <= 0)
        return;
    FReceiveLen += n;
    FReceiveBuffer[FReceiveLen] = '\0';

    const std::weak_ptr<int> alive = FAlive;
    if (FState == hsWaitingBody) {
        // The body goes on straight from the receive buffer: one copy less
        // for every block of a big page.
        if (FNext == &THttpCli::ProcessBodyData) {
            const int len = FReceiveLen;
            FReceiveLen = 0;
            BodyBlock(FReceiveBuffer, len);
            return;
        }
        FLastResponse.assign(FReceiveBuffer, static_cast<std::size_t>(FReceiveLen));
        FLastLineEnd.clear();
        FReceiveLen = 0;
        if (FNext)
            (this->*FNext)();
        else
            PostSetReady();
        return;
    }

    while (FReceiveLen > 0) {
        // The whole fill is searched: a NUL byte in a header line is data,
        // not the end of the buffer.
        const auto *lf =
            static_cast<const char *>(std::memchr(FReceiveBuffer, '\n', static_cast<std::size_t>(FReceiveLen)));
        if (lf == nullptr)
            break;
        const int lineLen = static_cast<int>(lf - FReceiveBuffer);
        const bool cr = lineLen > 0 && FReceiveBuffer[lineLen - 1] == '\r';
        FLastResponse.assign(FReceiveBuffer, static_cast<std::size_t>(cr ? lineLen - 1 : lineLen));
        FLastLineEnd = cr ? "\r\n" : "\n";
        FReceiveLen -= lineLen + 1;
        std::memmove(FReceiveBuffer, lf + 1, static_cast<std::size_t>(FReceiveLen) + 1);

        if (FTunnelling) {
            ProcessTunnelLine();
        } else if (FState == hsWaitingHeader || FState == hsWaitingBody) {
            if (FNext)
                (this->*FNext)();
            else
                PostSetReady();
        }
        if (Gone(alive))
            return;
        // A response without a header turned into a body: the bytes behind
        // its first line belong to the body as they came.
        if (FState == hsWaitingBody && FNext == &THttpCli::ProcessBodyData && FReceiveLen > 0) {
            FLastResponse.assign(FReceiveBuffer, static_cast<std::size_t>(FReceiveLen));
            FLastLineEnd.clear();
            FReceiveLen = 0;
            ProcessBodyData();
            return;
        }
    }
    // A full buffer without a line end cannot make progress: the socket would
    // call again at once with nothing read.
    if (FReceiveLen >= 8192 && (FState == hsWaitingHeader || FTunnelling)) {
        FTunnelling = false;
        FailRequest("HTTP line too long", httperrLineTooLong);
    }
}

void THttpCli::SwitchToBody()
{
    ChangeState(hsWaitingBody);
    FNext = &THttpCli::ProcessBodyData;
    FireHeaderEnd();
}

void THttpCli::ProcessHeaderLine()
{
    const std::weak_ptr<int> alive = FAlive;
    if (FHeaderLineCount == 0) {
        FireHeaderBegin();
        if (Gone(alive) || FState != hsWaitingHeader)
            return;
    }
    ++FHeaderLineCount;
    FHeaderBytes += static_cast<int>(FLastResponse.size() + FLastLineEnd.size());
    // A server that never ends its header must not make the client collect
    // lines without end.
    if (FHeaderBytes > kMaxHeaderBytes) {
        FailRequest("Response header too large", httperrHeaderTooLarge);
        return;
    }
    const std::string &line = FLastResponse;

    if (LowerAscii(line.substr(0, 6)) == "<html>") {
        if (FContentType.empty())
            FContentType = "text/html";
        SwitchToBody();
        if (Gone(alive) || FState != hsWaitingBody)
            return;
        // The line end belongs to the page: it is kept.
        FLastResponse += FLastLineEnd;
        FLastLineEnd.clear();
        ProcessBodyData();
        return;
    }

    if (!line.empty()) {
        FRcvdHeader.push_back(line);
        if (line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0) {
            // Three digits, no sign and no blank: " 20" or "-12" taken as a
            // number would pass a broken answer off as a success.
            const std::string code = line.size() >= 12 ? line.substr(9, 3) : std::string();
            int status = 0;
            if (!AllDigits(code) || code[0] == '0' || !ToInt(code, status)) {
                FailRequest("Malformed status line: " + line.substr(0, 80), httperrBadResponse);
                return;
            }
            FStatusCode = status;
            FReasonPhrase = line.size() > 13 ? line.substr(13) : std::string();
        } else if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
            const std::string name = LowerAscii(line.substr(0, colon));
            const std::size_t valueStart = line.find_first_not_of(" \t", colon + 1);
            const std::string value = valueStart == std::string::npos ? std::string() : line.substr(valueStart);
            if (name == "location") {
                HandleLocation(value);
                if (Gone(alive) || FState != hsWaitingHeader)
                    return;
            } else if (name == "content-length") {
                int length = 0;
                if (!AllDigits(Trim(value)) || !ToInt(Trim(value), length)) {
                    FailRequest("Malformed Content-Length: " + value.substr(0, 80), httperrBadResponse);
                    return;
                }
                FContentLength = length;
            } else if (name == "content-range") {
                // "bytes 100-199/500"
                const std::string range = value.size() > 6 ? value.substr(6) : std::string();
                const std::size_t dash = range.find('-');
                FContentRangeBegin = range.substr(0, dash);
                if (dash == std::string::npos) {
                    FContentRangeEnd.clear();
                } else {
                    const std::size_t slash = range.find('/', dash);
                    FContentRangeEnd =
                        range.substr(dash + 1, slash == std::string::npos ? std::string::npos : slash - dash - 1);
                }
            } else if (name == "accept-ranges") {
                FAcceptRanges = value;
            } else if (name == "content-type") {
                FContentType = LowerAscii(value);
            } else if (name == "www-authenticate") {
                FWWWAuthenticate.push_back(value);
            } else if (name == "set-cookie") {
                bool accept = true;
                FireCookie(value, accept);
                if (Gone(alive) || FState != hsWaitingHeader)
                    return;
            }
        }
        if (OnHeaderData)
            OnHeaderData(this);
        return;
    }

    // The empty line: end of the header.
    if (FLocationFlag) {
        FireHeaderEnd();
        if (Gone(alive) || FState != hsWaitingHeader)
            return;
        // The relocating response's body is never read.
        FReceiveLen = 0;
        FHeaderLineCount = 0;
        FBodyLineCount = 0;
        BindSessionClosed(&THttpCli::FollowLocation);
        FCtrlSocket->Close();
        return;
    }
    if (FContentLength == 0) {
        FireHeaderEnd();
        if (Gone(alive))
            return;
        PostSetReady();
        return;
    }
    std::string extension;
    if (const std::size_t dot = FDocName.rfind('.'); dot != std::string::npos)
        extension = LowerAscii(FDocName.substr(dot));
    if ((extension == ".exe" || extension.empty()) && FContentType == "text/html")
        ReplaceExtension(FDocName, "htm");
    SwitchToBody();
    if (Gone(alive) || FState != hsWaitingBody)
        return;
    if (FReceiveLen > 0) {
        FLastResponse.assign(FReceiveBuffer, static_cast<std::size_t>(FReceiveLen));
        FLastLineEnd.clear();
        FReceiveLen = 0;
        ProcessBodyData();
        if (Gone(alive) || FState != hsWaitingBody)
            return;
    }
    // An error page is not worth waiting for: what came with the header is
    // all the caller gets.
    if (FStatusCode >= 400)
        FCtrlSocket->Close();
}

void THttpCli::ProcessBodyData()
{
    BodyBlock(FLastResponse.data(), static_cast<int>(FLastResponse.size()));
}

void THttpCli::BodyBlock(const char *Data, int Len)
{
    const std::weak_ptr<int> alive = FAlive;
    if (FBodyLineCount == 0) {
        FireDocBegin();
        if (Gone(alive))
            return;
    }
    ++FBodyLineCount;
    FRcvdCount = static_cast<int>(std::min<std::int64_t>(static_cast<std::int64_t>(FRcvdCount) + Len, INT32_MAX));
    if (FRcvdStream)
        FRcvdStream->Write(Data, Len);
    FireDocData(Data, Len);
}

void THttpCli::HandleLocation(const std::string &Value)
{
    if (HasUnsafeCharacter(Value)) {
        FailRequest("Invalid character in relocation address", httperrUnsafeAddress);
        return;
    }
    if (FRelocations >= kMaxRelocations) {
        FailRequest("Too many relocations", httperrTooManyRelocations);
        return;
    }
    // "ftp://h/x" taken as a relative address would ask this server for a
    // nonsense path; this client speaks http and https only.
    if (Value.compare(0, 7, "http://") != 0) {
        const std::size_t marker = Value.find("://");
        if (marker != std::string::npos && marker > 0 &&
            std::all_of(Value.begin(), Value.begin() + static_cast<std::ptrdiff_t>(marker),
                        [](char c) { return InSchemeSet(LowerAscii(c)); }) &&
            LowerAscii(Value.substr(0, marker)) != "http" && !IsSecureScheme(Value.substr(0, marker))) {
            FailRequest("Relocation to " + Value.substr(0, marker + 3) + " is not supported",
                        httperrUnsupportedRelocation);
            return;
        }
    }

    FLocationFlag = true;
    if (FSecure || LowerAscii(Value.substr(0, 8)) == "https://") {
        RelocateSecure(Value);
        return;
    }
    std::string scheme, user, password, host, port, path;
    if (FProxy.empty()) {
        if (!Value.empty() && Value[0] == '/') {
            FPath = Value;
            FLocation = "http://" + FHostName + Value;
        } else if (Value.compare(0, 7, "http://") != 0) {
            FPath = AddressBase(FPath) + Value;
            FLocation = "http://" + FHostName + "/" + FPath;
        } else {
            SplitAddress(Value, scheme, user, password, host, port, path);
            // "http://" without a host keeps the server of the current request.
            if (!host.empty()) {
                FHostName = host;
                FTargetHost = host;
                FPort = port.empty() ? "80" : port;
                FTargetPort = FPort;
            }
            FPath = path;
            if (!user.empty() && !password.empty()) {
                FUsername = user;
                FPassword = password;
            }
            if (path.empty()) {
                FPath = "/";
                FLocation = scheme + "://" + FTargetHost;
            } else {
                FLocation = scheme + "://" + FTargetHost + path;
            }
        }
        return;
    }

    if (!Value.empty() && Value[0] == '/') {
        path = FPath;
        SplitAddress(FPath, scheme, user, password, host, port, path);
        // The port stays in the address: the proxy would go to port 80 else.
        FLocation = (scheme.empty() ? "http" : scheme) + "://" + host + (port.empty() ? "" : ":" + port) + Value;
        FPath = FLocation;
        if (!user.empty() && !password.empty()) {
            FUsername = user;
            FPassword = password;
        }
    } else if (Value.compare(0, 7, "http://") != 0) {
        FPath = AddressBase(FPath) + Value;
        FLocation = "http://" + FHostName + "/" + FPath;
    } else {
        SplitAddress(Value, scheme, user, password, host, port, path);
        if (!host.empty()) {
            FPort = port.empty() ? "80" : port;
            FTargetHost = host;
            FTargetPort = FPort;
        }
        if (!user.empty() && !password.empty()) {
            FUsername = user;
            FPassword = password;
        }
        FLocation = scheme + "://" + FTargetHost + (host.empty() || port.empty() ? "" : ":" + port) + path;
        FPath = FLocation;
    }
}

void THttpCli::FollowLocation(TCustomWSocket *, std::uint16_t)
{
    const std::weak_ptr<int> alive = FAlive;
    std::string scheme, user, password, host, port, path;
    SplitAddress(FLocation.substr(0, FLocation.find('#')), scheme, user, password, host, port, path);
    FDocName = path;
    DeriveDocName();
    FConnected = false;
    FLocationFlag = false;
    FTunnelling = false;
    // An unfinished line of the old connection is no part of the new answer.
    FReceiveLen = 0;
    ++FRelocations;
    if (FRequestType == rqPost)
        FRequestType = rqGet;
    BindSessionClosed(&THttpCli::HandleSessionClosed);
    if (OnLocationChange) {
        OnLocationChange(this);
        if (Gone(alive) || FState != hsWaitingHeader)
            return;
    }
    FRcvdHeader.clear();
    FHeaderLineCount = 0;
    FBodyLineCount = 0;
    FHeaderBytes = 0;
    FContentLength = -1;
    FContentType.clear();
    FStatusCode = 0;
    // Every connection of a proxied request goes to the proxy, on the port
    // the request started with (the one written in Proxy, if any).
    if (!FProxy.empty())
        FPort = FProxyConnectPort;
    FWindow->Post(WM_HTTP_RECONNECT, FRequestSerial, 0);
}

void THttpCli::HandleSessionClosed(TCustomWSocket *Sender, std::uint16_t Error)
{
    if (Error != 0)
        FRequestDoneError = IsTlsErrorCode(Error) ? static_cast<std::uint16_t>(httperrTlsFailed) : Error;
    FConnected = false;
    FTunnelling = false;
    // A damaged record or a handshake that went wrong cuts the answer short:
    // what came so far must not pass for the whole page.
    if (IsTlsErrorCode(Error) && FState != hsAborting && FState != hsReady) {
        FLocationFlag = false;
        FStatusCode = 404;
        FReasonPhrase =
            FCtrlSocket->TlsReason().empty() ? "TLS: the secure connection failed" : FCtrlSocket->TlsReason();
    }
    const std::weak_ptr<int> alive = FAlive;
    if (FState == hsAborting || FState == hsReady) {
        // The outcome is settled already; a pending relocation must not
        // revive the request.
        FLocationFlag = false;
        if (FHeaderFlag)
            FireHeaderEnd();
        else if (FBodyLineCount > 0)
            FireDocEnd();
        if (!Gone(alive))
            PostSetReady();
        return;
    }
    // No line of the response yet counts as an unfinished header too.
    if (FHeaderFlag || (FState == hsWaitingHeader && FHeaderLineCount == 0)) {
        if (FHeaderFlag) {
            FireHeaderEnd();
            if (Gone(alive))
                return;
        }
        if (FLocationFlag) {
            FollowLocation(Sender, Error);
            return;
        }
        // The response ended before its header did: that is no answer at all,
        // and waiting would last until somebody calls Abort.
        if (FStatusCode < 400) {
            FStatusCode = 404;
            FReasonPhrase = "Connection closed before end of header";
            if (FRequestDoneError == 0)
                FRequestDoneError = httperrHeaderIncomplete;
        }
        PostSetReady();
        return;
    }
    if (FBodyLineCount > 0) {
        FireDocEnd();
        if (Gone(alive))
            return;
    }
    PostSetReady();
}

bool THttpCli::IsSecureScheme(const std::string &Scheme)
{
    return LowerAscii(Scheme) == "https";
}

// Where an https request (or a relocation from or to https) goes. Through a
// proxy a plain http target is asked for with its whole address, an https one
// with its path inside the tunnel.
void THttpCli::SetSecureTarget(const std::string &Scheme, const std::string &Host, const std::string &Port,
                               const std::string &Path)
{
    FSecure = IsSecureScheme(Scheme);
    FTargetHost = Host;
    FTargetPort = Port.empty() ? (FSecure ? "443" : "80") : Port;
    FOriginPath = Path.empty() ? "/" : Path;
    if (FProxy.empty()) {
        FHostName = Host;
        FPort = FTargetPort;
        FPath = FOriginPath;
    } else if (FSecure) {
        FPath = FOriginPath;
    } else {
        FPath = "http://" + Host + (Port.empty() ? "" : ":" + Port) + FOriginPath;
    }
}

void THttpCli::RelocateSecure(const std::string &Value)
{
    std::string scheme = FSecure ? "https" : "http";
    std::string host = FTargetHost;
    std::string port = FTargetPort == (FSecure ? "443" : "80") ? std::string() : FTargetPort;
    std::string path;
    const std::string lower = LowerAscii(Value.substr(0, 8));
    if (lower.compare(0, 7, "http://") == 0 || lower == "https://") {
        std::string s, user, password, h, p;
        SplitAddress(SecureSchemeInLowerCase(Value), s, user, password, h, p, path);
        // A new scheme without a host keeps the server, not its port.
        if (!h.empty() || IsSecureScheme(s) != FSecure) {
            if (!h.empty())
                host = h;
            port = p;
        }
        scheme = IsSecureScheme(s) ? "https" : "http";
        if (!user.empty() && !password.empty()) {
            FUsername = user;
            FPassword = password;
        }
    } else if (!Value.empty() && Value[0] == '/') {
        path = Value;
    } else {
        path = AddressBase(FOriginPath) + Value;
    }
    SetSecureTarget(scheme, host, port, path);
    FLocation = scheme + "://" + host + (port.empty() ? "" : ":" + port) + FOriginPath;
}

//   CONNECT host:port HTTP/1.0
//   Host: host:port
//   Proxy-Authorization: Basic ...   (when a proxy user is set)
//   <empty line>
void THttpCli::SendTunnelRequest()
{
    const std::string target = FTargetHost + ":" + FTargetPort;
    std::string request = "CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n";
    if (!FProxyUsername.empty())
        request += "Proxy-Authorization: Basic " + Base64Encode(FProxyUsername + ":" + FProxyPassword) + "\r\n";
    request += "\r\n";
    FTunnelling = true;
    FHeaderLineCount = 0;
    FHeaderBytes = 0;
    FReceiveLen = 0;
    try {
        FCtrlSocket->Send(request.data(), static_cast<int>(request.size()));
    } catch (const std::exception &e) {
        FTunnelling = false;
        FailRequest(e.what(), httperrSendFailed);
    }
}

void THttpCli::ProcessTunnelLine()
{
    const std::string &line = FLastResponse;
    ++FHeaderLineCount;
    FHeaderBytes += static_cast<int>(line.size() + FLastLineEnd.size());
    if (FHeaderBytes > kMaxHeaderBytes) {
        FTunnelling = false;
        FailRequest("Response header too large", httperrHeaderTooLarge);
        return;
    }
    if (FHeaderLineCount == 1) {
        int status = 0;
        const std::string code = line.size() >= 12 ? line.substr(9, 3) : std::string();
        const bool http = line.compare(0, 7, "HTTP/1.") == 0 && AllDigits(code) && ToInt(code, status);
        if (!http || status < 200 || status > 299) {
            // The proxy's own words say best why it would not.
            FTunnelling = false;
            FailRequest(line.substr(0, 200), httperrTunnelRefused);
            if (http && status >= 400)
                FStatusCode = status;
        }
        return;
    }
    if (!line.empty())
        return;
    FTunnelling = false;
    FHeaderLineCount = 0;
    FHeaderBytes = 0;
    // Nothing may come before the server's first handshake bytes.
    if (FReceiveLen > 0) {
        FailRequest("Proxy sent data ahead of the tunnel", httperrBadResponse);
        return;
    }
    FCtrlSocket->SetTlsHost(FTargetHost);
    FCtrlSocket->StartTls();
}

void THttpCli::HandleTlsHandshakeDone(TCustomWSocket *Sender, std::uint16_t Error)
{
    if (FState != hsDnsLookupDone)
        return;
    if (Error != 0) {
        TlsFailed();
        return;
    }
    SendRequestOnConnection(Sender);
}

void THttpCli::TlsFailed()
{
    const std::string reason = FCtrlSocket->TlsReason();
    FailRequest(reason.empty() ? "TLS: the secure connection failed" : reason, httperrTlsFailed);
}

void THttpCli::FailRequest(const std::string &Reason, std::uint16_t Error)
{
    FStatusCode = 404;
    FReasonPhrase = Reason;
    FRequestDoneError = Error;
    FLocationFlag = false;
    FReceiveLen = 0;
    const std::weak_ptr<int> alive = FAlive;
    if (FHeaderFlag) {
        FireHeaderEnd();
        if (Gone(alive))
            return;
    }
    FConnected = false;
    FCtrlSocket->OnSessionClosed = nullptr;
    FCtrlSocket->Close();
    if (Gone(alive))
        return;
    BindSessionClosed(&THttpCli::HandleSessionClosed);
    ChangeState(hsReady);
}

void THttpCli::CloseConnection()
{
    FCtrlSocket->Close();
    FConnected = false;
}

void THttpCli::Abort()
{
    if (FState == hsReady) {
        if (FCtrlSocket->State() != wsClosed)
            FCtrlSocket->Close();
        return;
    }
    const std::weak_ptr<int> alive = FAlive;
    const THttpCliState old = FState;
    ChangeState(hsAborting);
    if (Gone(alive) || FState != hsAborting)
        return;
    if (old == hsDnsLookup) {
        try {
            FCtrlSocket->CancelDnsLookup();
        } catch (...) {
        }
    }
    FStatusCode = 404;
    FReasonPhrase = "Connection aborted on request";
    FRequestDoneError = httperrAborted;
    FLocationFlag = false;
    if (old == hsDnsLookup)
        HandleSessionClosed(FCtrlSocket.get(), 0);
    else
        FCtrlSocket->Close();
    if (Gone(alive))
        return;
    ChangeState(hsReady);
}
