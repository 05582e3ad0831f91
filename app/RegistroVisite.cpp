#include "app/RegistroVisite.h"

#include "platform/Exception.h"

#include <QLocale>
#include <QTimeZone>

const QStringList &ColonneRegistro()
{
    static const QStringList colonne{QStringLiteral("inizio"),    QStringLiteral("lista"), QStringLiteral("indirizzo"),
                                     QStringLiteral("accesso"),   QStringLiteral("di"),    QStringLiteral("modalita"),
                                     QStringLiteral("esito"),     QStringLiteral("stato"), QStringLiteral("byte"),
                                     QStringLiteral("durata_ms"), QStringLiteral("motivo")};
    return colonne;
}

QString MomentoIso(const QDateTime &quando)
{
    const int offset = quando.offsetFromUtc();
    const int minuti = qAbs(offset) / 60;
    return quando.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2").arg(minuti / 60, 2, 10, QLatin1Char('0')).arg(minuti % 60, 2, 10, QLatin1Char('0'));
}

QStringList CampiVisita(const RigaVisita &riga)
{
    return {MomentoIso(riga.inizio),
            riga.lista,
            riga.indirizzo,
            QString::number(riga.accesso),
            QString::number(riga.di),
            riga.grafica ? QStringLiteral("grafica") : QStringLiteral("testo"),
            riga.esito,
            riga.stato > 0 ? QString::number(riga.stato) : QString(),
            riga.byte ? QString::number(*riga.byte) : QString(),
            QString::number(riga.durataMs),
            riga.motivo};
}

QByteArray RecordCsv(const QStringList &campi)
{
    QByteArray record;
    for (qsizetype i = 0; i < campi.size(); ++i) {
        if (i > 0)
            record += ',';
        const QByteArray campo = campi[i].toUtf8();
        if (campo.contains(',') || campo.contains('"') || campo.contains('\r') || campo.contains('\n')) {
            QByteArray doppio = campo;
            doppio.replace('"', "\"\"");
            record += '"' + doppio + '"';
        } else {
            record += campo;
        }
    }
    record += "\r\n";
    return record;
}

RegistroVisite::RegistroVisite(QString path) : file_(std::move(path)) {}

void RegistroVisite::Aggiungi(const RigaVisita &riga)
{
    if (!file_.isOpen() && !file_.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Exception(file_.fileName() + QStringLiteral(": ") + file_.errorString());
    QByteArray dati;
    // Only a file without a single byte gets the header: one cut short by a
    // killed program still holds its own.
    if (file_.size() == 0)
        dati = QByteArray("\xEF\xBB\xBF") + RecordCsv(ColonneRegistro());
    dati += RecordCsv(CampiVisita(riga));
    // Written and handed to the system in one piece, not left in a buffer.
    if (file_.write(dati) != dati.size() || !file_.flush()) {
        const QString causa = file_.errorString();
        file_.close();
        throw Exception(file_.fileName() + QStringLiteral(": ") + causa);
    }
}

int StatoRisposta(const std::vector<std::string> &intestazione)
{
    for (const std::string &riga : intestazione) {
        if (riga.size() >= 12 && riga.compare(0, 7, "HTTP/1.") == 0) {
            int stato = 0;
            for (std::size_t i = 9; i < 12; ++i) {
                if (riga[i] < '0' || riga[i] > '9')
                    return 0;
                stato = stato * 10 + (riga[i] - '0');
            }
            return stato;
        }
    }
    return 0;
}

namespace {
std::optional<QDateTime> DataHttp(const QString &testo)
{
    // IMF-fixdate, then the two obsolete forms HTTP still accepts. The day's
    // name goes first: it says nothing the date does not, and a parser that
    // checks it against a two-digit year's century would refuse good dates.
    QString s = testo.simplified();
    const qsizetype virgola = s.indexOf(QLatin1String(", "));
    if (virgola >= 0)
        s = s.mid(virgola + 2);
    else
        s = s.section(u' ', 1);
    const QLocale c = QLocale::c();
    for (const QString &formato : {QStringLiteral("dd MMM yyyy HH:mm:ss 'GMT'"),
                                   QStringLiteral("dd-MMM-yy HH:mm:ss 'GMT'"), QStringLiteral("MMM d HH:mm:ss yyyy")}) {
        QDateTime letta = c.toDateTime(s, formato);
        if (letta.isValid()) {
            if (letta.date().year() < 1970)
                letta = letta.addYears(100); // two-digit years of the old form
            return QDateTime(letta.date(), letta.time(), QTimeZone::utc());
        }
    }
    return std::nullopt;
}
} // namespace

std::optional<qint64> RetryAfterMs(const std::vector<std::string> &intestazione, const QDateTime &adesso)
{
    for (const std::string &riga : intestazione) {
        const std::size_t duepunti = riga.find(':');
        if (duepunti == std::string::npos)
            continue;
        const QString nome = QString::fromLatin1(riga.data(), qsizetype(duepunti)).trimmed();
        if (nome.compare(QLatin1String("Retry-After"), Qt::CaseInsensitive) != 0)
            continue;
        const QString valore = QString::fromLatin1(riga.data() + duepunti + 1).trimmed();
        bool numero = !valore.isEmpty();
        for (const QChar c : valore)
            numero = numero && c >= u'0' && c <= u'9';
        if (numero) {
            // Any number of digits: a huge value is a long wait, not a failure.
            const qint64 secondi = valore.size() > 12 ? Q_INT64_C(999999999999) : valore.toLongLong();
            return secondi * 1000;
        }
        if (const std::optional<QDateTime> quando = DataHttp(valore))
            return qMax<qint64>(0, adesso.msecsTo(*quando));
        return std::nullopt;
    }
    return std::nullopt;
}
