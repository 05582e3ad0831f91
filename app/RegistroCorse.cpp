#include "app/RegistroCorse.h"

#include "app/RegistroVisite.h"
#include "lists/SiteList.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cstring>
#include <deque>
#include <functional>

QString ChiaveVisita(const QString &indirizzo, int accesso, int di)
{
    return indirizzo + u'\n' + QString::number(accesso) + u'\n' + QString::number(di);
}

QString NuovoIdCorsa()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'-")) +
           QString::number(QRandomGenerator::global()->bounded(0x10000), 16).rightJustified(4, u'0');
}

namespace {
using Campi = std::vector<QByteArrayView>;

// Calls perRiga with the fields of each record, seen in place where they are
// not quoted. A record of months of runs is read at every start of a list, and
// most of its rows are not the list's: nothing of them is copied.
void ScorriCsv(const QByteArray &dati, const std::function<void(const Campi &campi)> &perRiga)
{
    const char *p = dati.constData();
    const qsizetype n = dati.size();
    qsizetype i = dati.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    Campi campi;
    std::deque<QByteArray> sciolti; // quoted fields, their quotes undone; a deque keeps them in place
    while (i < n) {
        campi.clear();
        std::size_t quotati = 0;
        for (;;) {
            if (p[i] == '"') {
                if (sciolti.size() == quotati)
                    sciolti.emplace_back();
                QByteArray &campo = sciolti[quotati++];
                campo.resize(0);
                ++i;
                for (;;) {
                    const char *virgolette = static_cast<const char *>(std::memchr(p + i, '"', std::size_t(n - i)));
                    // A quote left open: the writer was stopped inside the record.
                    if (!virgolette)
                        return;
                    campo.append(p + i, virgolette - (p + i));
                    i = virgolette - p + 1;
                    if (i < n && p[i] == '"') {
                        campo += '"';
                        ++i;
                        continue;
                    }
                    break;
                }
                // Nothing should follow the closing quote; whatever does is kept.
                while (i < n && p[i] != ',' && !(p[i] == '\r' && i + 1 < n && p[i + 1] == '\n'))
                    campo += p[i++];
                campi.emplace_back(campo);
            } else {
                const qsizetype inizio = i;
                while (i < n && p[i] != ',' && !(p[i] == '\r' && i + 1 < n && p[i + 1] == '\n'))
                    ++i;
                campi.emplace_back(p + inizio, i - inizio);
            }
            // A record without its line end is not one: the writer was stopped.
            if (i >= n)
                return;
            if (p[i++] == ',') {
                if (i >= n)
                    return;
                continue;
            }
            ++i; // the LF of CR LF
            perRiga(campi);
            break;
        }
    }
}
} // namespace

std::vector<QStringList> LeggiCsv(const QByteArray &dati)
{
    std::vector<QStringList> righe;
    ScorriCsv(dati, [&](const Campi &campi) {
        QStringList riga;
        for (const QByteArrayView c : campi)
            riga << QString::fromUtf8(c);
        righe.push_back(riga);
    });
    return righe;
}

std::optional<CorsaSospesa> CorsaDaRiprendere(const QString &registro, const QString &lista, const QStringList &voci)
{
    QFile file(registro);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QStringList &colonne = ColonneRegistro();
    const qsizetype cLista = colonne.indexOf(QStringLiteral("lista"));
    const qsizetype cIndirizzo = colonne.indexOf(QStringLiteral("indirizzo"));
    const qsizetype cAccesso = colonne.indexOf(QStringLiteral("accesso"));
    const qsizetype cDi = colonne.indexOf(QStringLiteral("di"));
    const qsizetype cEsito = colonne.indexOf(QStringLiteral("esito"));
    const qsizetype cCorsa = colonne.indexOf(QStringLiteral("corsa"));
    // As the record writes it: a name that begins like a formula has a ' in front.
    const QByteArray listaUtf8 = CampoSenzaFormula(lista.toUtf8());

    // The list's rows, in order: their run, and the visit when it was made.
    struct DellaLista {
        QByteArray corsa, indirizzo, accesso, di;
        bool fatta; // an "interrotto" visit is made again
    };
    std::vector<DellaLista> righe;
    bool intestazione = true, riconosciuto = false;
    ScorriCsv(file.readAll(), [&](const Campi &campi) {
        if (intestazione) {
            intestazione = false;
            QStringList nomi;
            for (const QByteArrayView c : campi)
                nomi << QString::fromUtf8(c);
            riconosciuto = nomi == colonne;
            return;
        }
        // Rows of another shape (torn by a kill, written by hand) are passed over.
        if (!riconosciuto || qsizetype(campi.size()) != colonne.size() || campi[cLista] != listaUtf8 ||
            campi[cCorsa].isEmpty())
            return;
        righe.push_back({campi[cCorsa].toByteArray(), campi[cIndirizzo].toByteArray(), campi[cAccesso].toByteArray(),
                         campi[cDi].toByteArray(), campi[cEsito] == "fatto" || campi[cEsito] == "errore"});
    });
    if (righe.empty())
        return std::nullopt;

    CorsaSospesa sospesa;
    sospesa.id = QString::fromUtf8(righe.back().corsa);
    for (const DellaLista &r : righe)
        if (r.fatta && r.corsa == righe.back().corsa)
            ++sospesa.fatte[ChiaveVisita(QString::fromUtf8(r.indirizzo), r.accesso.toInt(), r.di.toInt())];
    // The run must be of the list as it is now: a row that matches none of
    // its visits means the list was edited since (a run of the old list that
    // went to its end would otherwise look unfinished against the new one).
    QHash<QString, int> restanti = sospesa.fatte;
    for (const QString &riga : voci) {
        const std::optional<int> volte = VolteVoce(riga);
        if (!volte)
            continue;
        const QString url = IndirizzoVisita(DividiVoce(riga).sito);
        for (int i = 1; i <= *volte; ++i) {
            ++sospesa.accessiTotali;
            const auto fatta = restanti.find(ChiaveVisita(url, i, *volte));
            if (fatta != restanti.end() && *fatta > 0) {
                --*fatta;
                ++sospesa.accessiFatti;
            }
        }
    }
    for (const int avanzate : std::as_const(restanti))
        if (avanzate > 0)
            return std::nullopt;
    if (sospesa.accessiFatti >= sospesa.accessiTotali)
        return std::nullopt;
    return sospesa;
}

QString MettiDaParteRegistroDiverso(const QString &percorso, const QStringList &intestazione)
{
    QFile file(percorso);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return QString();
    const QByteArray attesa = QByteArray("\xEF\xBB\xBF") + RecordCsv(intestazione);
    const QByteArray inizio = file.read(attesa.size());
    file.close();
    if (inizio == attesa)
        return QString();
    // Kept whole under a name that says what it is; never overwritten.
    const QFileInfo info(percorso);
    const QString base = info.path() + u'/' + info.completeBaseName() + QStringLiteral("-precedente");
    QString nuovo = base + QStringLiteral(".csv");
    for (int n = 2; QFileInfo::exists(nuovo); ++n)
        nuovo = base + u'-' + QString::number(n) + QStringLiteral(".csv");
    return QFile::rename(percorso, nuovo) ? nuovo : QString();
}
