#pragma once

#include <QString>

// Why a visit failed, in the words the user reads in the record, the log and
// on the command line: the same sentence for the same cause whichever way the
// page was fetched (the program's own client or the browser engine, whose
// translation of its error codes uses these words too). A technical detail
// goes in brackets behind a sentence only where the sentence alone would not
// say enough.
namespace causes {

inline QString Refused()
{
    return QStringLiteral("Connessione rifiutata.");
}
inline QString UnknownHost()
{
    return QStringLiteral("Indirizzo del sito non trovato.");
}
inline QString TimedOut()
{
    return QStringLiteral("Tempo di connessione scaduto.");
}
inline QString Reset()
{
    return QStringLiteral("Connessione interrotta dall'altra parte.");
}
inline QString ClosedWithoutAnswer()
{
    return QStringLiteral("Connessione chiusa senza risposta.");
}
inline QString Unreachable()
{
    return QStringLiteral("Sito non raggiungibile.");
}
inline QString NoNetwork()
{
    return QStringLiteral("Nessuna connessione di rete.");
}
inline QString PageCutShort()
{
    return QStringLiteral("Pagina arrivata incompleta.");
}
inline QString HeaderTooLarge()
{
    return QStringLiteral("Intestazione della risposta troppo grande.");
}
inline QString TooManyRelocations()
{
    return QStringLiteral("Troppi reindirizzamenti.");
}
inline QString TunnelRefused()
{
    return QStringLiteral("Il proxy non ha aperto la connessione verso il sito.");
}
inline QString NotTls()
{
    return QStringLiteral("Connessione sicura non riuscita: il sito non parla TLS come il programma.");
}
inline QString Aborted()
{
    return QStringLiteral("Caricamento interrotto.");
}
inline QString Http(int status)
{
    return QStringLiteral("Risposta HTTP %1").arg(status);
}
// why: "non viene da un'autorità di cui il programma si fida", ...
inline QString Certificate(const QString &why)
{
    return QStringLiteral("Certificato del sito non valido: %1.").arg(why);
}
inline QString Failed(const QString &detail)
{
    return detail.isEmpty() ? QStringLiteral("Caricamento non riuscito.")
                            : QStringLiteral("Caricamento non riuscito (%1).").arg(detail);
}

// What stood between the program and the site failed, not the site: it names
// itself ("Proxy 127.0.0.1:8888: connessione rifiutata.").
inline QString AtProxy(const QString &hostPort, const QString &what)
{
    return QStringLiteral("Proxy %1: %2").arg(hostPort, what);
}
inline QString AtSocks(const QString &hostPort, const QString &what)
{
    return QStringLiteral("Server SOCKS %1: %2").arg(hostPort, what);
}
// The way's own failures, after its name.
inline QString WayRefused()
{
    return QStringLiteral("connessione rifiutata.");
}
inline QString WayUnknown()
{
    return QStringLiteral("indirizzo non trovato.");
}
inline QString WayTimedOut()
{
    return QStringLiteral("tempo di connessione scaduto.");
}
inline QString WayReset()
{
    return QStringLiteral("connessione interrotta dall'altra parte.");
}
inline QString WayClosed()
{
    return QStringLiteral("connessione chiusa senza risposta.");
}
inline QString WayUnreachable()
{
    return QStringLiteral("non raggiungibile.");
}

} // namespace causes
