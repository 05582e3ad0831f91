#include "app/UscitaTerminale.h"

#include "app/CodiciUscita.h"
#include "app/RegistroVisite.h"
#include "platform/SocketCauses.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace {
QString DueCifre(qint64 n)
{
    return QString::number(n).rightJustified(2, u'0');
}

QString Orologio(qint64 ms)
{
    const qint64 s = ms / 1000;
    return s >= 3600 ? QStringLiteral("%1:%2:%3").arg(s / 3600).arg(DueCifre(s / 60 % 60), DueCifre(s % 60))
                     : QStringLiteral("%1:%2").arg(DueCifre(s / 60), DueCifre(s % 60));
}

QString ComeFinita(const ContestoRiepilogo &c)
{
    switch (c.fine) {
    case FineCorsa::Completata:
        return QStringLiteral("completato");
    case FineCorsa::Interrotta:
        return QStringLiteral("interrotto (%1)").arg(c.segnale);
    case FineCorsa::Fermata:
        return QStringLiteral("fermato dopo %1 accessi non riusciti (--ferma-dopo)").arg(c.fermaDopo);
    case FineCorsa::UscitaChiusa:
        return QStringLiteral("interrotto: lo standard output è stato chiuso");
    case FineCorsa::UscitaNonScritta:
        return QStringLiteral("interrotto: impossibile scrivere sullo standard output");
    }
    return {};
}

QString NomeFine(FineCorsa fine)
{
    switch (fine) {
    case FineCorsa::Completata:
        return QStringLiteral("completato");
    case FineCorsa::Interrotta:
        return QStringLiteral("interrotto");
    case FineCorsa::Fermata:
        return QStringLiteral("fermato");
    case FineCorsa::UscitaChiusa:
        return QStringLiteral("uscita_chiusa");
    case FineCorsa::UscitaNonScritta:
        return QStringLiteral("uscita_non_scritta");
    }
    return {};
}

QString RigheInBreve(const std::vector<VoceSaltata> &voci)
{
    QStringList numeri;
    for (const VoceSaltata &v : voci)
        numeri << QString::number(v.riga);
    return numeri.join(QStringLiteral(", "));
}
} // namespace

QString CausaFallimento(const RigaVisita &riga)
{
    if (riga.esito == QLatin1String("interrotto"))
        return QStringLiteral("interrotto");
    // A wait the server asked for is no cause of its own.
    QString motivo = riga.motivo.section(QStringLiteral("; attesa di "), 0, 0).simplified();
    // The record's reasons are sentences; as a heading before a count the full stop is in the way.
    if (motivo.endsWith(u'.'))
        motivo.chop(1);
    if (riga.stato > 0 && !motivo.contains(QString::number(riga.stato)))
        return motivo.isEmpty() ? QStringLiteral("stato %1").arg(riga.stato)
                                : QStringLiteral("%1 %2").arg(riga.stato).arg(motivo);
    return motivo.isEmpty() ? QStringLiteral("errore") : motivo;
}

Durate CalcolaDurate(std::vector<qint64> d)
{
    Durate r;
    if (d.empty())
        return r;
    std::sort(d.begin(), d.end());
    const std::size_t n = d.size();
    r.minima = d.front();
    r.massima = d.back();
    r.mediana = n % 2 ? d[n / 2] : (d[n / 2 - 1] + d[n / 2]) / 2;
    // Nearest rank: the smallest duration that 95 visits in 100 did not exceed.
    r.p95 = d[(95 * n + 99) / 100 - 1];
    return r;
}

void Riepilogo::Visita(const RigaVisita &riga)
{
    if (riga.esito == QLatin1String("fatto")) {
        ++fatti_;
    } else {
        ++falliti_;
        const QString causa = CausaFallimento(riga);
        const qsizetype k = cause_.indexOf(causa);
        if (k < 0) {
            cause_ << causa;
            perCausa_.push_back(1);
        } else {
            ++perCausa_[std::size_t(k)];
        }
    }
    byte_ += riga.byte.value_or(0);
    durate_.push_back(riga.durataMs);
}

qint64 Riepilogo::NonEseguiti(qint64 richieste) const
{
    return qMax<qint64>(0, richieste - giaFatte_ - fatti_ - falliti_);
}

QString DurataLeggibile(qint64 ms)
{
    if (ms < 60000)
        return QString::number(double(ms) / 1000, 'f', 1).replace(u'.', u',') + QStringLiteral(" s");
    const qint64 s = ms / 1000;
    if (s < 3600)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(DueCifre(s % 60));
    return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(DueCifre(s / 60 % 60));
}

QStringList Riepilogo::Righe(const ContestoRiepilogo &c) const
{
    // The first line says how it went, so that the last screen of a long run
    // tells the whole story.
    QString titolo = QStringLiteral("Riepilogo: ") + ComeFinita(c);
    const int fatti = fatti_ + falliti_;
    if (falliti_ > 0)
        titolo += (falliti_ == 1 ? QStringLiteral(", 1 accesso non riuscito")
                                 : QStringLiteral(", %1 accessi non riusciti").arg(falliti_)) +
                  QStringLiteral(" su %1").arg(fatti);
    if (!saltate_.empty())
        titolo += saltate_.size() == 1 ? QStringLiteral(", 1 voce saltata")
                                       : QStringLiteral(", %1 voci saltate").arg(saltate_.size());
    QStringList righe{titolo + u'.'};
    if (falliti_ > 0) {
        righe << QStringLiteral("  non riusciti: %1").arg(falliti_);
        for (std::size_t k = 0; k < perCausa_.size(); ++k)
            righe << QStringLiteral("    %1: %2").arg(cause_[qsizetype(k)]).arg(perCausa_[k]);
    }
    if (!saltate_.empty()) {
        righe << QStringLiteral("  voci saltate: %1 (righe %2)").arg(saltate_.size()).arg(RigheInBreve(saltate_));
        for (const VoceSaltata &v : saltate_)
            righe << QStringLiteral("    riga %1: %2").arg(v.riga).arg(v.motivo);
    }
    righe << QStringLiteral("  accessi richiesti: %1").arg(c.richieste);
    if (giaFatte_ > 0)
        righe << QStringLiteral("  già fatti prima della ripresa: %1").arg(giaFatte_);
    righe << QStringLiteral("  fatti: %1").arg(fatti_);
    if (falliti_ == 0)
        righe << QStringLiteral("  non riusciti: 0");
    if (const qint64 n = NonEseguiti(c.richieste); n > 0)
        righe << QStringLiteral("  non eseguiti: %1").arg(n);
    righe << QStringLiteral("  byte ricevuti: %1").arg(byte_);
    if (!durate_.empty()) {
        const Durate d = CalcolaDurate(durate_);
        righe << QStringLiteral("  durata (ms): minima %1, mediana %2, 95° percentile %3, massima %4")
                     .arg(d.minima)
                     .arg(d.mediana)
                     .arg(d.p95)
                     .arg(d.massima);
    }
    righe << QStringLiteral("  tempo trascorso: %1").arg(DurataLeggibile(c.trascorsoMs));
    return righe;
}

QByteArray Riepilogo::Json(const ContestoRiepilogo &c) const
{
    QJsonObject cause;
    for (std::size_t k = 0; k < perCausa_.size(); ++k)
        cause.insert(cause_[qsizetype(k)], perCausa_[k]);
    QJsonArray saltate;
    for (const VoceSaltata &v : saltate_)
        saltate.append(QJsonObject{{"riga", v.riga}, {"motivo", v.motivo}});
    QJsonValue durate = QJsonValue::Null;
    if (!durate_.empty()) {
        const Durate d = CalcolaDurate(durate_);
        durate = QJsonObject{{"minima", d.minima}, {"mediana", d.mediana}, {"p95", d.p95}, {"massima", d.massima}};
    }
    const QJsonObject o{
        {"tipo", "riepilogo"},
        {"lista", c.lista},
        {"corsa", c.corsa},
        {"modalita", c.grafica ? "grafica" : "testo"},
        {"richiesti", c.richieste},
        {"gia_fatti", giaFatte_},
        {"fatti", fatti_},
        {"non_riusciti", falliti_},
        {"non_riusciti_per_causa", cause},
        {"non_eseguiti", NonEseguiti(c.richieste)},
        {"voci_saltate", saltate},
        {"byte", byte_},
        {"durata_ms", durate},
        {"trascorso_ms", c.trascorsoMs},
        {"fine", NomeFine(c.fine)},
        {"stato_uscita", c.statoUscita},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString RigaTerminale(const RigaVisita &riga, int larghezzaIndirizzo, int cifre)
{
    QString testo = riga.inizio.toString(QStringLiteral("HH:mm:ss")) + u' ' +
                    IndirizzoInBreve(riga.indirizzo).leftJustified(larghezzaIndirizzo) + u' ' +
                    QString::number(riga.accesso).rightJustified(cifre) + u'/' +
                    QString::number(riga.di).leftJustified(cifre) + u' ' + riga.esito.leftJustified(6) + u' ' +
                    (riga.stato > 0 ? QString::number(riga.stato) : QStringLiteral("-")).rightJustified(3) + u' ' +
                    (riga.byte ? QString::number(*riga.byte) : QStringLiteral("-")).rightJustified(6) +
                    QStringLiteral(" B ") + QString::number(riga.durataMs).rightJustified(5) + QStringLiteral(" ms");
    // A failure's cause, unless it only says the status the line shows already.
    if (const QString causa = CausaFallimento(riga);
        riga.esito != QLatin1String("fatto") && causa != causes::Http(riga.stato))
        testo += QStringLiteral("  ") + causa;
    return testo;
}

QString IndirizzoInBreve(const QString &indirizzo)
{
    return indirizzo.startsWith(QLatin1String("http://")) ? indirizzo.mid(7) : indirizzo;
}

QByteArray JsonVisita(const RigaVisita &riga)
{
    const QJsonObject o{
        {"tipo", "accesso"},
        {"inizio", MomentoIso(riga.inizio)},
        {"lista", riga.lista},
        {"indirizzo", riga.indirizzo},
        {"accesso", riga.accesso},
        {"di", riga.di},
        {"modalita", riga.grafica ? "grafica" : "testo"},
        {"esito", riga.esito},
        {"stato", riga.stato > 0 ? QJsonValue(riga.stato) : QJsonValue(QJsonValue::Null)},
        {"byte", riga.byte ? QJsonValue(*riga.byte) : QJsonValue(QJsonValue::Null)},
        {"durata_ms", riga.durataMs},
        {"motivo", riga.motivo},
        {"corsa", riga.corsa},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString RigaAvanzamento(qint64 fatte, qint64 richieste, qint64 trascorsoMs, qint64 restaMs, const QString &indirizzo,
                        int colonne)
{
    QString riga = QStringLiteral("%1/%2 %3%  %4")
                       .arg(fatte)
                       .arg(richieste)
                       .arg(richieste > 0 ? qint64(fatte) * 100 / richieste : 100)
                       .arg(Orologio(trascorsoMs));
    if (restaMs >= 0)
        riga += QStringLiteral(", ancora circa ") + Orologio(restaMs);
    const int massimo = qMax(1, colonne - 1);
    const int spazio = massimo - int(riga.size()) - 2;
    if (!indirizzo.isEmpty() && spazio >= 8) {
        QString a = indirizzo;
        if (a.size() > spazio) {
            // The host and the page's name say the most; the middle goes.
            const int testa = (spazio - 3) / 2;
            a = a.left(testa) + QStringLiteral("...") + a.right(spazio - 3 - testa);
        }
        riga += QStringLiteral("  ") + a;
    }
    return riga.left(massimo);
}

int StatoUscita(FineCorsa fine, int falliti, int vociSaltate, int avvisi)
{
    switch (fine) {
    case FineCorsa::Interrotta:
        return uscita::Interrotto;
    case FineCorsa::UscitaChiusa:
        return uscita::UscitaChiusa;
    case FineCorsa::UscitaNonScritta:
        return uscita::NonScritto;
    case FineCorsa::Fermata:
        return uscita::FermatoDopo;
    case FineCorsa::Completata:
        break;
    }
    // A skipped entry is a visit the list asked for and nobody made.
    return falliti > 0 || vociSaltate > 0 || avvisi > 0 ? uscita::Falliti : uscita::Fatto;
}
