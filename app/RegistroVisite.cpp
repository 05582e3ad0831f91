#include "app/RegistroVisite.h"

#include "app/RegistroCorse.h"
#include "platform/Exception.h"

#include <QLocale>
#include <QTimeZone>
#include <cstdio>

const QStringList &ColonneRegistro()
{
    static const QStringList colonne{QStringLiteral("inizio"),    QStringLiteral("lista"),  QStringLiteral("indirizzo"),
                                     QStringLiteral("accesso"),   QStringLiteral("di"),     QStringLiteral("modalita"),
                                     QStringLiteral("esito"),     QStringLiteral("stato"),  QStringLiteral("byte"),
                                     QStringLiteral("durata_ms"), QStringLiteral("motivo"), QStringLiteral("corsa")};
    return colonne;
}

QString MomentoIso(const QDateTime &quando)
{
    // By hand: the general formatter costs more than the rest of a row.
    const QDate d = quando.date();
    const QTime t = quando.time();
    const int offset = quando.offsetFromUtc();
    const int minuti = qAbs(offset) / 60;
    char testo[40];
    std::snprintf(testo, sizeof testo, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", d.year(), d.month(), d.day(),
                  t.hour(), t.minute(), t.second(), t.msec(), offset < 0 ? '-' : '+', minuti / 60, minuti % 60);
    return QString::fromLatin1(testo);
}

QDateTime AdessoLocale()
{
    static qint64 validoDa = 0, validoFino = -1;
    static int offset = 0;
    const qint64 adesso = QDateTime::currentMSecsSinceEpoch();
    if (adesso < validoDa || adesso >= validoFino) {
        offset = QDateTime::fromMSecsSinceEpoch(adesso).offsetFromUtc();
        validoDa = adesso;
        validoFino = adesso + 10 * 60 * 1000;
        const QTimeZone zona = QTimeZone::systemTimeZone();
        const QTimeZone::OffsetData cambio = zona.nextTransition(QDateTime::fromMSecsSinceEpoch(adesso, Qt::UTC));
        if (cambio.atUtc.isValid())
            validoFino = qMin(validoFino, cambio.atUtc.toMSecsSinceEpoch());
    }
    return QDateTime::fromMSecsSinceEpoch(adesso, Qt::OffsetFromUTC, offset);
}

QByteArray CampoSenzaFormula(const QByteArray &campo)
{
    const bool formula = !campo.isEmpty() && QByteArrayView("=+-@\t\r").contains(campo.front());
    return formula ? '\'' + campo : campo;
}

namespace {
// Appends a field, quoted when it must be. A spreadsheet runs a field that
// begins with = + - @ (or a tab or CR) as a formula; what a server wrote in
// its reason phrase must never run on the user's machine, so such a field
// gets a ' in front, which shows it as the text it is.
void AggiungiCampo(QByteArray &record, const QByteArray &campo)
{
    const QByteArray testo = CampoSenzaFormula(campo);
    if (testo.contains(',') || testo.contains('"') || testo.contains('\r') || testo.contains('\n')) {
        QByteArray doppio = testo;
        doppio.replace('"', "\"\"");
        record += '"' + doppio + '"';
    } else {
        record += testo;
    }
}

// A row cut short (the program killed, the disk full) would be joined by the
// next one into a row of nobody's: the file is cut back to its last whole
// row. The program ends rows with CR LF; a spreadsheet or a script that saved
// the file again may have left a bare LF, which ends a row as well.
bool TagliaRigaMonca(QFile &file)
{
    const qint64 size = file.size();
    if (size == 0)
        return true;
    QFile lettura(file.fileName());
    if (!lettura.open(QIODevice::ReadOnly))
        return false;
    qint64 fine = size;
    constexpr qint64 blocco = 64 * 1024;
    while (fine > 0) {
        const qint64 da = qMax<qint64>(0, fine - blocco);
        lettura.seek(da);
        const QByteArray parte = lettura.read(fine - da);
        const qsizetype at = parte.lastIndexOf('\n');
        if (at >= 0) {
            const qint64 interi = da + at + 1;
            return interi == size || file.resize(interi);
        }
        if (da == 0)
            break;
        fine = da;
    }
    // Not even the header is whole.
    return file.resize(0);
}
} // namespace

QByteArray RecordCsv(const QStringList &campi)
{
    QByteArray record;
    for (qsizetype i = 0; i < campi.size(); ++i) {
        if (i > 0)
            record += ',';
        AggiungiCampo(record, campi[i].toUtf8());
    }
    record += "\r\n";
    return record;
}

QByteArray RecordVisita(const RigaVisita &riga)
{
    const QByteArray campi[] = {MomentoIso(riga.inizio).toLatin1(),
                                riga.lista.toUtf8(),
                                riga.indirizzo.toUtf8(),
                                QByteArray::number(riga.accesso),
                                QByteArray::number(riga.di),
                                riga.grafica ? QByteArrayLiteral("grafica") : QByteArrayLiteral("testo"),
                                riga.esito.toUtf8(),
                                riga.stato > 0 ? QByteArray::number(riga.stato) : QByteArray(),
                                riga.byte ? QByteArray::number(*riga.byte) : QByteArray(),
                                QByteArray::number(riga.durataMs),
                                riga.motivo.toUtf8(),
                                riga.corsa.toUtf8()};
    QByteArray record;
    record.reserve(256);
    for (const QByteArray &campo : campi) {
        if (&campo != campi)
            record += ',';
        AggiungiCampo(record, campo);
    }
    record += "\r\n";
    return record;
}

RegistroVisite::RegistroVisite(QString path) : file_(std::move(path)) {}

void RegistroVisite::Aggiungi(const RigaVisita &riga)
{
    if (!file_.isOpen()) {
        MettiDaParteRegistroDiverso(file_.fileName(), ColonneRegistro());
        if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            throw Exception(file_.fileName() + QStringLiteral(": ") + file_.errorString());
        if (!TagliaRigaMonca(file_)) {
            const QString causa = file_.errorString();
            file_.close();
            throw Exception(file_.fileName() + QStringLiteral(": ") + causa);
        }
        // Only a file without a single byte gets the header.
        nuovo_ = file_.size() == 0;
    }
    QByteArray dati;
    if (nuovo_)
        dati = QByteArray("\xEF\xBB\xBF") + RecordCsv(ColonneRegistro());
    dati += RecordVisita(riga);
    // Written and handed to the system in one piece, not left in a buffer;
    // a piece that went only half is taken back.
    const qint64 prima = file_.size();
    if (file_.write(dati) != dati.size() || !file_.flush()) {
        const QString causa = file_.errorString();
        file_.resize(prima);
        file_.close();
        throw Exception(file_.fileName() + QStringLiteral(": ") + causa);
    }
    nuovo_ = false;
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
    // Date and time are read apart: read together they would be a local
    // time, which a daylight-saving gap has no room for, and which the zone
    // would move by an hour. The date is UTC, whatever the zone here.
    const QLocale c = QLocale::c();
    const QStringList parti = s.split(u' ');
    struct Forma {
        int data, ora, anno; // the parts that hold them; anno -1: inside the date
        const char *formato;
    };
    for (const Forma &f :
         {Forma{0, 3, -1, "dd MMM yyyy"}, Forma{0, 1, -1, "dd-MMM-yy"}, Forma{0, 2, 3, "MMM d yyyy"}}) {
        const int servono = qMax(f.ora, f.anno) + 1;
        if (parti.size() < servono)
            continue;
        QString data = f.data == 0 && f.anno < 0 ? parti.mid(0, f.ora).join(u' ')
                                                 : parti[0] + u' ' + parti[1] + u' ' + parti[f.anno];
        QDate giorno = c.toDate(data, QString::fromLatin1(f.formato));
        const QTime ora = QTime::fromString(parti[f.ora], QStringLiteral("HH:mm:ss"));
        const bool zonaGiusta = f.anno >= 0 || (parti.size() > f.ora + 1 && parti[f.ora + 1] == QLatin1String("GMT"));
        if (giorno.isValid() && ora.isValid() && zonaGiusta) {
            if (giorno.year() < 1970)
                giorno = giorno.addYears(100); // two-digit years of the old form
            return QDateTime(giorno, ora, QTimeZone::utc());
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
