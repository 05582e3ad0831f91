// The HTTP/1.0 client: a state machine on top of one TWSocket. It sets the
// socket's event handlers (OnDnsLookupDone, OnSessionConnected, OnDataSent,
// OnDataAvailable, OnSessionClosed) rather than overriding a layer, and posts
// itself three messages (done, ready, reconnect) so that no request ends or
// starts again inside a socket event. This file follows a request from
// StartRequest to the done message; how it reaches the server (the lookup,
// the addresses tried in turn, the connect) is in HttpConnect.cpp, where a
// relocation sends it next in HttpRelocation.cpp, the tunnel through a proxy
// for https in HttpTunnel.cpp, and the client's life and events in
// HttpCliBase.cpp.

#include "net/HttpProt.h"
#include "net/HttpProtDetail.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/TextCodec.h"

namespace httpdetail {

bool HasUnsafeCharacter(const std::string &text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool ToInt(const std::string &text, int &value)
{
    try {
        value = StrToInt(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
        return true;
    } catch (const EConvertError &) {
        return false;
    }
}

std::string ErrorWithCode(int code)
{
    return SocketErrorText(code) + " (Error #" + std::to_string(code) + ")";
}

bool AllDigits(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace httpdetail

using namespace httpdetail;

namespace {

// "HTTPS://" is as good as "https://"; the address splitting knows lower-case
// schemes only.
std::string SecureSchemeInLowerCase(const std::string &address)
{
    if (LowerAscii(address.substr(0, 8)) == "https://")
        return "https://" + address.substr(8);
    return address;
}

std::string Trim(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

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
    FBodyBytes = 0;
}

void THttpCli::Get()
{
    RunRequest(rqGet);
}

void THttpCli::RunRequest(THttpRequest Rq)
{
    const std::weak_ptr<int> alive = FAlive;
    const auto release = [this] {
        FWaiting = false;
        // Nobody to tell: a message for nobody would cost the next wait a turn.
        if (OnRequestDone) {
            for (const auto &[type, error] : FHeldDone)
                FWindow->Post(WM_HTTP_DONE, type, error);
        }
        FHeldDone.clear();
    };
    FWaiting = true;
    try {
        StartRequest(Rq);
    } catch (...) {
        if (!Gone(alive))
            release();
        throw;
    }
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
    release();
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
    // Caller values go into header lines as they are; refused before a
    // connection is opened for nothing.
    const bool answeredRange = RangeIsTheAnswers();
    for (const std::string *value : {&FSender, &FAccept, &FReference, &FAcceptLanguage, &FContentTypePost, &FAgent,
                                     &FCookie, &FContentRangeBegin, &FContentRangeEnd}) {
        const bool fromAnswer = value == &FContentRangeBegin || value == &FContentRangeEnd;
        if (!(fromAnswer && answeredRange) && HasUnsafeCharacter(*value))
            throw EHttpException("Invalid character in request header", httperrUnsafeAddress);
    }

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
    if (RangeIsTheAnswers()) {
        FContentRangeBegin.clear();
        FContentRangeEnd.clear();
    }
    FRangeFromResponse = false;
    // The credentials of an earlier address stay with it: the caller's own
    // come back, unless the caller has set others since.
    if (FAddressCredentials && FUsername == FAddressUsername && FPassword == FAddressPassword) {
        FUsername = FCallerUsername;
        FPassword = FCallerPassword;
    }
    FAddressCredentials = false;
    FCallerUsername = FUsername;
    FCallerPassword = FPassword;

    std::string scheme, user, password, host, port, path;
    SplitAddress(SecureSchemeInLowerCase(FURL), scheme, user, password, host, port, path);
    host = WireHost(host);
    FTargetHost = host;
    FDocName = path;
    path = WirePath(path);
    if (!user.empty())
        FUsername = user;
    if (!password.empty())
        FPassword = password;
    if (!user.empty() || !password.empty())
        NoteAddressCredentials();
    FSecure = IsSecureScheme(scheme);
    FTunnelling = false;
    FTargetPort = port.empty() ? (FSecure ? "443" : "80") : port;
    FOriginPath = path.empty() ? "/" : path;
    if (FSecure) {
        SetTarget("https", host, port, path);
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
    FCredentialsOrigin = Origin();
    DeriveDocName();
    StartConnection();
}

bool THttpCli::RangeIsTheAnswers() const
{
    return FRangeFromResponse && FContentRangeBegin == FResponseRangeBegin && FContentRangeEnd == FResponseRangeEnd;
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
    // The port too when it is not the scheme's: servers build their own
    // addresses (a folder's relocation) from this line.
    headers.push_back("Host: " + FTargetHost + (FTargetPort == (FSecure ? "443" : "80") ? "" : ":" + FTargetPort));
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
    if (CredentialsGoHere())
        headers.push_back("Authorization: Basic " + Base64Encode(FUsername + ":" + FPassword));
    // Inside a tunnel the request reaches the server itself, which must not
    // learn the proxy's password.
    if (!FProxy.empty() && !FSecure && !FProxyUsername.empty())
        headers.push_back("Proxy-Authorization: Basic " + Base64Encode(FProxyUsername + ":" + FProxyPassword));
    if (!FCookie.empty())
        headers.push_back("Cookie: " + FCookie);
    if ((!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) && !RangeIsTheAnswers()) {
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
    if (!FSendBodyFlag || FSendStream == nullptr || FRequestType != rqPost)
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
                FRangeFromResponse = true;
                FResponseRangeBegin = FContentRangeBegin;
                FResponseRangeEnd = FContentRangeEnd;
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
    // Bytes beyond the announced length are not the body; with the length
    // in, the request is over whether or not the server closes.
    const bool complete = FContentLength >= 0 && FRequestType != rqHead && FBodyBytes + Len >= FContentLength;
    if (complete)
        Len = static_cast<int>(std::max<std::int64_t>(0, FContentLength - FBodyBytes));
    FBodyBytes += Len;
    FRcvdCount = static_cast<int>(std::min<std::int64_t>(static_cast<std::int64_t>(FRcvdCount) + Len, INT32_MAX));
    if (FRcvdStream)
        FRcvdStream->Write(Data, Len);
    FireDocData(Data, Len);
    if (complete && !Gone(alive) && FState == hsWaitingBody && FCtrlSocket->State() != wsClosed)
        FCtrlSocket->Close();
}

void THttpCli::HandleSessionClosed(TCustomWSocket *Sender, std::uint16_t Error)
{
    if (Error != 0)
        FRequestDoneError = IsTlsErrorCode(Error) ? static_cast<std::uint16_t>(httperrTlsFailed) : Error;
    FConnected = false;
    // Connected, but not yet to the site: a proxy or SOCKS server that ends
    // the connection here has given no page, whatever it did not say.
    if (FState == hsDnsLookupDone && FStatusCode < 400 && !IsTlsErrorCode(Error))
        ClosedBeforeTheSite();
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
    // HTTP/1.0 ends a body with the close; a close before the announced
    // length, or a reset, cut the document short. No body is owed to a HEAD
    // or to an error answer the client closed itself.
    if (FState == hsWaitingBody && FStatusCode < 400 && FRequestType != rqHead) {
        const bool reset = Error != 0;
        const bool cutShort = FContentLength >= 0 && FBodyBytes < FContentLength;
        // Over TLS the end of a body of unknown length is the close alert; a
        // connection that just stops may have been cut anywhere.
        const bool noAlert = FSecure && !FCtrlSocket->TlsCloseAlertSeen();
        if (cutShort || ((reset || noAlert) && FContentLength < 0)) {
            FStatusCode = 404;
            FReasonPhrase = reset ? "Connection reset before end of body" : "Connection closed before end of body";
            if (FRequestDoneError == 0)
                FRequestDoneError = httperrBodyIncomplete;
        }
    }
    if (FBodyLineCount > 0) {
        FireDocEnd();
        if (Gone(alive))
            return;
    }
    PostSetReady();
}

void THttpCli::ClosedBeforeTheSite()
{
    FStatusCode = 404;
    if (FRequestDoneError == 0)
        FRequestDoneError = httperrProxyClosed;
    if (!FCtrlSocket->SocksServer().empty())
        FReasonPhrase = "SOCKS server " + HostAndPort(FCtrlSocket->SocksServer(), FCtrlSocket->SocksPort()) +
                        " closed the connection before granting it";
    else if (!FProxy.empty())
        FReasonPhrase = "Proxy " + FHostName + ":" + FPort + " closed the connection before answering";
    else
        FReasonPhrase = "Connection closed before the request was sent";
    FReasonPhrase = WhereTo(FReasonPhrase);
}

bool THttpCli::IsSecureScheme(const std::string &Scheme)
{
    return LowerAscii(Scheme) == "https";
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
