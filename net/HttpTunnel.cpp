// The tunnel through an HTTP proxy for an https address: the client asks the
// proxy to CONNECT it to the site, reads the proxy's answer line by line (the
// receive loop in HttpProt.cpp hands each line here while FTunnelling is set),
// and on a 2xx starts TLS on the open connection; the request itself goes out
// once the handshake is over. Anything but 2xx, or bytes behind the answer,
// ends the request: they would pass for the site's first bytes.

#include "net/HttpProt.h"
#include "net/HttpProtDetail.h"

using namespace httpdetail;

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
            FailRequest(WhereTo(line.substr(0, 200)), httperrTunnelRefused);
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
    FPastTheWay = true;
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
    FailRequest(WhereTo(reason.empty() ? "TLS: the secure connection failed" : reason), httperrTlsFailed);
}
