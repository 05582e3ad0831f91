// How a request reaches its server: the lookup of the host (both families),
// the connect to its addresses in turn until one answers, and a connect that
// fails, told in the words of what refused it. Once connected the request
// goes on in HttpProt.cpp (or through the proxy's tunnel, HttpTunnel.cpp).

#include "net/HttpProt.h"
#include "net/HttpProtDetail.h"

using namespace httpdetail;

void THttpCli::StartConnection()
{
    FDnsResult.clear();
    FAddressesLeft.clear();
    FPastTheWay = false;
    ChangeState(hsDnsLookup);
    if (FState != hsDnsLookup)
        return; // aborted from OnStateChange: no lookup for a finished request
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    // A name is looked up in both families and its addresses tried in turn.
    // Through a SOCKS server the destination's address travels in the
    // request, and the lookup stays with IPv4 as it always was.
    FCtrlSocket->SetSocketFamily(FCtrlSocket->SocksServer().empty() ? sfAny : sfIPv4);
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
        FReasonPhrase = WhereTo("can't resolve hostname to IP address");
        HandleSessionClosed(Sender, Error);
        return;
    }
    const std::weak_ptr<int> alive = FAlive;
    FDnsResult = FCtrlSocket->DnsResult();
    const std::vector<std::string> &found = FCtrlSocket->DnsResultList();
    if (FCtrlSocket->SocksServer().empty() && found.size() > 1)
        FAddressesLeft.assign(found.begin() + 1, found.end());
    ChangeState(hsDnsLookupDone);
    if (Gone(alive) || FState != hsDnsLookupDone)
        return;
    ConnectToAddress(FDnsResult);
}

void THttpCli::ConnectToAddress(const std::string &Address)
{
    const std::weak_ptr<int> alive = FAlive;
    FCtrlSocket->SetAddr(Address);
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    FCtrlSocket->SetPort(FPort);
    FCtrlSocket->SetProto("tcp");
    // Through a proxy the handshake waits for the tunnel.
    FCtrlSocket->SetTlsEnabled(FSecure && FProxy.empty());
    FCtrlSocket->SetTlsHost(FTargetHost);
    // The socket starts the next address beside one that stays silent.
    FCtrlSocket->SetRaceAddrs(FAddressesLeft);
    FTunnelling = false;
    // Without OnError the socket raises its refusal with the reason in it;
    // through the event the reason would be lost. The caller's event still
    // hears of it below.
    TNotifyEvent onError = std::move(FCtrlSocket->OnError);
    FCtrlSocket->OnError = nullptr;
    std::string refusal;
    try {
        FCtrlSocket->Connect();
    } catch (const ESocketException &e) {
        refusal = e.Text();
    } catch (const std::exception &e) {
        refusal = e.what();
    }
    if (Gone(alive))
        return;
    FCtrlSocket->OnError = std::move(onError);
    if (!refusal.empty() && MoveToNextAddress(FCtrlSocket->LastError()))
        return;
    if (!refusal.empty()) {
        if (OnSocketError) {
            OnSocketError(this);
            if (Gone(alive) || FState != hsDnsLookupDone)
                return;
        }
        ConnectFailed(FCtrlSocket->LastError(), refusal);
        return;
    }
    // With OnError assigned the socket reports a refused Connect (a port that
    // is no number, a local address it cannot bind) through that event and
    // returns; without this the request would wait for a connection that
    // never comes.
    const TSocketState s = FCtrlSocket->State();
    if (FState == hsDnsLookupDone && s != wsConnecting && s != wsConnected)
        ConnectFailed(FCtrlSocket->LastError());
}

bool THttpCli::MoveToNextAddress(int Code)
{
    const bool addressFailed = Code == ws::WSAECONNREFUSED || Code == ws::WSAENETUNREACH ||
                               Code == ws::WSAEHOSTUNREACH || Code == ws::WSAETIMEDOUT ||
                               Code == ws::WSAEADDRNOTAVAIL || Code == ws::WSAEAFNOSUPPORT || Code == ws::WSAENETDOWN ||
                               Code == ws::WSAEHOSTDOWN;
    if (FAddressesLeft.empty() || !addressFailed || FState != hsDnsLookupDone)
        return false;
    // The attempt's close is no end of the request.
    const std::weak_ptr<int> alive = FAlive;
    FCtrlSocket->OnSessionClosed = nullptr;
    if (FCtrlSocket->State() != wsClosed)
        FCtrlSocket->Close();
    if (Gone(alive))
        return true;
    // Posted: inside the socket's report of the failure a new connection
    // would be closed with the old one. An abort before it comes ends the
    // request as in any other state; the message then finds it over.
    FWindow->Post(WM_HTTP_NEXT_ADDRESS, FRequestSerial, 0);
    return true;
}

void THttpCli::ConnectFailed(int Code, const std::string &Text)
{
    // A platform failure names its code at the head of the socket's text; a
    // refusal of the socket's own (a port that is no number) has none, and
    // an error code left from an earlier failure would be a wrong one.
    const bool platform =
        Code != 0 && (Text.empty() || Text.rfind("Error " + std::to_string(Code) + " in function", 0) == 0);
    FStatusCode = 404;
    if (platform) {
        FRequestDoneError = static_cast<std::uint16_t>(Code);
        FReasonPhrase = "can't connect: " + ErrorWithCode(Code);
    } else {
        std::string reason = Text.substr(0, Text.find_first_of("\r\n"));
        if (reason.rfind("connect: ", 0) == 0)
            reason.erase(0, 9);
        FRequestDoneError = httperrConnectFailed;
        FReasonPhrase = "can't connect: " + (reason.empty() ? std::string("refused by the socket") : reason);
    }
    FReasonPhrase = WhereTo(FReasonPhrase);
    const std::weak_ptr<int> alive = FAlive;
    FCtrlSocket->OnSessionClosed = nullptr;
    FCtrlSocket->Close();
    if (Gone(alive))
        return;
    BindSessionClosed(&THttpCli::HandleSessionClosed);
    HandleSessionClosed(FCtrlSocket.get(), FRequestDoneError);
}

void THttpCli::HandleSessionConnected(TCustomWSocket *Sender, std::uint16_t Error)
{
    if (FState != hsDnsLookupDone)
        return;
    // What the socket's race did not try is what is left.
    if (Error != 0)
        FAddressesLeft = FCtrlSocket->RaceAddrs();
    if (Error != 0 && MoveToNextAddress(Error))
        return;
    if (Error != 0) {
        FRequestDoneError = Error;
        FStatusCode = 404;
        FReasonPhrase = ErrorWithCode(Error);
        if (IsTlsErrorCode(Error)) {
            FRequestDoneError = httperrTlsFailed;
            FReasonPhrase = FCtrlSocket->TlsReason();
        } else if (!FCtrlSocket->SocksReason().empty()) {
            // The SOCKS server's own words, not a number nobody can read.
            FReasonPhrase = "SOCKS server " + HostAndPort(FCtrlSocket->SocksServer(), FCtrlSocket->SocksPort()) + ": " +
                            FCtrlSocket->SocksReason();
        }
        FReasonPhrase = WhereTo(FReasonPhrase);
        HandleSessionClosed(Sender, Error);
        return;
    }
    if (FSecure && !FProxy.empty()) {
        SendTunnelRequest();
        return;
    }
    FPastTheWay = FProxy.empty();
    SendRequestOnConnection(Sender);
}

std::string THttpCli::FailedOnTheWay(bool &Socks) const
{
    Socks = false;
    if (FPastTheWay)
        return {};
    if (!FProxy.empty())
        return HostAndPort(FHostName, FPort);
    if (!FCtrlSocket->SocksServer().empty()) {
        Socks = true;
        return HostAndPort(FCtrlSocket->SocksServer(), FCtrlSocket->SocksPort());
    }
    return {};
}
