// Relocations: a "Location" in an answer gives the next address of the same
// request, relative to the current target whatever the two schemes are; the
// connection is replaced once the header has ended (or the server closed).
// One path serves http and https, direct and through a proxy, so that where a
// request goes next and which credentials go with it are decided once.
//
// Credentials belong to an origin (scheme, host, port): those of the caller
// and of the request's address to the address's, those written into a
// relocation to the relocation's. A relocation within that origin keeps them;
// one elsewhere goes without, so a server cannot send them to a site of its
// choosing, or down to plain http.

#include "net/HttpProt.h"
#include "net/HttpProtDetail.h"

#include <algorithm>

using namespace httpdetail;

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
    const std::size_t marker = Value.find("://");
    if (marker != std::string::npos && marker > 0 &&
        std::all_of(Value.begin(), Value.begin() + static_cast<std::ptrdiff_t>(marker),
                    [](char c) { return InSchemeSet(LowerAscii(c)); })) {
        const std::string scheme = LowerAscii(Value.substr(0, marker));
        if (scheme != "http" && scheme != "https") {
            FailRequest("Relocation to " + Value.substr(0, marker + 3) + " is not supported",
                        httperrUnsupportedRelocation);
            return;
        }
    }
    FLocationFlag = true;
    Relocate(Value);
}

std::string THttpCli::Origin() const
{
    return (FSecure ? "https://" : "http://") + LowerAscii(FTargetHost) + ":" + FTargetPort;
}

// Where a request (or a relocation) goes. Direct, the connection goes to the
// target; through a proxy a plain http target is asked for with its whole
// address, an https one with its path inside the tunnel.
void THttpCli::SetTarget(const std::string &Scheme, const std::string &Host, const std::string &Port,
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

void THttpCli::Relocate(const std::string &Value)
{
    std::string scheme = FSecure ? "https" : "http";
    std::string host = FTargetHost;
    std::string port = FTargetPort == (FSecure ? "443" : "80") ? std::string() : FTargetPort;
    std::string path;
    std::string user, password;
    const std::string lower = LowerAscii(Value.substr(0, 8));
    if (lower.compare(0, 7, "http://") == 0 || lower == "https://") {
        std::string s, h, p;
        const std::size_t colon = Value.find(':');
        SplitAddress(LowerAscii(Value.substr(0, colon)) + Value.substr(colon), s, user, password, h, p, path);
        // A new scheme without a host keeps the server, not its port.
        if (!h.empty() || IsSecureScheme(s) != FSecure) {
            if (!h.empty())
                host = h;
            port = p;
        }
        scheme = IsSecureScheme(s) ? "https" : "http";
    } else if (!Value.empty() && Value[0] == '/') {
        path = Value;
    } else {
        path = AddressBase(FOriginPath) + Value;
    }
    const std::string before = Origin();
    SetTarget(scheme, host, port, path);
    FLocation = scheme + "://" + host + (port.empty() ? "" : ":" + port) + FOriginPath;
    if (!user.empty() && !password.empty()) {
        FUsername = user;
        FPassword = password;
        NoteAddressCredentials();
        FCredentialsOrigin = Origin();
    } else if (Origin() != before && FCredentialsOrigin == before) {
        // Nothing of them is sent elsewhere; the caller gets them back with
        // the next request all the same.
        FCredentialsOrigin.clear();
    }
}

void THttpCli::NoteAddressCredentials()
{
    FAddressCredentials = true;
    FAddressUsername = FUsername;
    FAddressPassword = FPassword;
}

bool THttpCli::CredentialsGoHere() const
{
    return !FUsername.empty() && FCredentialsOrigin == Origin();
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
    // What is left of a POST body belongs to the old address.
    FSendBodyFlag = false;
    FBodyBytes = 0;
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

std::string THttpCli::WhereTo(const std::string &Reason) const
{
    // After a relocation the address the user wrote is not the one that
    // failed: say which one did.
    if (FRelocations == 0)
        return Reason;
    return Reason + " (relocated to " + FLocation + ")";
}
