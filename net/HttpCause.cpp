#include "net/HttpCause.h"

#include "net/HttpProt.h"
#include "platform/SocketCauses.h"

namespace {

QString Text(const std::string &s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

QString CertificateCause(TWSocket &socket)
{
    switch (socket.TlsLastFailure()) {
    case TlsFailure::UntrustedIssuer:
        return causes::Certificate(QStringLiteral("non viene da un'autorità di cui il programma si fida"));
    case TlsFailure::WrongHost:
        return causes::Certificate(QStringLiteral("è intestato a un altro nome"));
    case TlsFailure::Expired:
    case TlsFailure::NotYetValid:
        return causes::Certificate(QStringLiteral("è scaduto o non ancora valido"));
    case TlsFailure::NoCommonProtocol:
    case TlsFailure::NotTls:
        return causes::NotTls();
    default:
        return causes::Failed(Text(socket.TlsReason()));
    }
}

// The platform's codes that have a sentence; 0 for the others.
enum class Kind { None, Refused, Unknown, TimedOut, Reset, Closed, Unreachable, NoNetwork };

Kind KindOf(int code)
{
    switch (code) {
    case ws::WSAECONNREFUSED:
        return Kind::Refused;
    case ws::WSAHOST_NOT_FOUND:
    case ws::WSATRY_AGAIN:
    case ws::WSANO_RECOVERY:
    case ws::WSANO_DATA:
        return Kind::Unknown;
    case ws::WSAETIMEDOUT:
        return Kind::TimedOut;
    case ws::WSAECONNRESET:
    case ws::WSAECONNABORTED:
    case ws::WSAENETRESET:
        return Kind::Reset;
    case httperrHeaderIncomplete:
    case httperrProxyClosed:
        return Kind::Closed;
    case ws::WSAENETUNREACH:
    case ws::WSAEHOSTUNREACH:
    case ws::WSAEHOSTDOWN:
        return Kind::Unreachable;
    case ws::WSAENETDOWN:
        return Kind::NoNetwork;
    default:
        return Kind::None;
    }
}

} // namespace

QString FailureCause(THttpCli &Client)
{
    const int error = Client.RequestDoneError();
    const QString reason = Text(Client.ReasonPhrase());
    // An answer from a server, whatever it said.
    if (error == 0)
        return Client.StatusCode() >= 400 ? causes::Http(Client.StatusCode()) : causes::Failed(reason);
    bool socks = false;
    const QString way = Text(Client.FailedOnTheWay(socks));
    const Kind kind = KindOf(error);
    if (!way.isEmpty()) {
        QString what;
        switch (kind) {
        case Kind::Refused:
            what = causes::WayRefused();
            break;
        case Kind::Unknown:
            what = causes::WayUnknown();
            break;
        case Kind::TimedOut:
            what = causes::WayTimedOut();
            break;
        case Kind::Reset:
            what = causes::WayReset();
            break;
        case Kind::Closed:
            what = causes::WayClosed();
            break;
        case Kind::Unreachable:
            what = causes::WayUnreachable();
            break;
        default:
            break;
        }
        // A SOCKS server's refusal in its own words, which say more than a code.
        if (what.isEmpty() && socks && !Client.CtrlSocket().SocksReason().empty())
            what = QStringLiteral("richiesta non accolta (%1).").arg(Text(Client.CtrlSocket().SocksReason()));
        if (!what.isEmpty())
            return socks ? causes::AtSocks(way, what) : causes::AtProxy(way, what);
    }
    switch (kind) {
    case Kind::Refused:
        return causes::Refused();
    case Kind::Unknown:
        return causes::UnknownHost();
    case Kind::TimedOut:
        return causes::TimedOut();
    case Kind::Reset:
        return causes::Reset();
    case Kind::Closed:
        return causes::ClosedWithoutAnswer();
    case Kind::Unreachable:
        return causes::Unreachable();
    case Kind::NoNetwork:
        return causes::NoNetwork();
    case Kind::None:
        break;
    }
    switch (error) {
    case httperrAborted:
        return causes::Aborted();
    case httperrTlsFailed:
        return CertificateCause(Client.CtrlSocket());
    case httperrBodyIncomplete:
        return causes::PageCutShort();
    case httperrHeaderTooLarge:
        return causes::HeaderTooLarge();
    case httperrTooManyRelocations:
        return causes::TooManyRelocations();
    case httperrTunnelRefused:
        return Client.StatusCode() >= 400 ? causes::TunnelRefused().chopped(1) + QStringLiteral(" (") +
                                                causes::Http(Client.StatusCode()) + QStringLiteral(").")
                                          : causes::TunnelRefused();
    default:
        return causes::Failed(reason);
    }
}
