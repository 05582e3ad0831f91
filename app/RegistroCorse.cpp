#include "app/RegistroCorse.h"

#include "app/RegistroVisite.h"
#include "lists/SiteList.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

QString ChiaveVisita(const QString &indirizzo, int accesso, int di)
{
    return indirizzo + u'\n' + QString::number(accesso) + u'\n' + QString::number(di);
}

QString NuovoIdCorsa()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'-")) +
           QString::number(QRandomGenerator::global()->bounded(0x10000), 16).rightJustified(4, u'0');
}

std::vector<QStringList> LeggiCsv(const QByteArray &dati)
{
    std::vector<QStringList> righe;
    QStringList riga;
    QByteArray campo;
    bool traVirgolette = false;
    qsizetype i = dati.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const qsizetype n = dati.size();
    for (; i < n; ++i) {
        const char c = dati[i];
        if (traVirgolette) {
            if (c != '"')
                campo += c;
            else if (i + 1 < n && dati[i + 1] == '"')
                campo += dati[++i];
            else
                traVirgolette = false;
        } else if (c == '"') {
            traVirgolette = true;
        } else if (c == ',') {
            riga << QString::fromUtf8(campo);
            campo.clear();
        } else if (c == '\r' && i + 1 < n && dati[i + 1] == '\n') {
            ++i;
            riga << QString::fromUtf8(campo);
            campo.clear();
            righe.push_back(riga);
            riga.clear();
        } else {
            campo += c;
        }
    }
    // Whatever is left had no line end: the writer was stopped inside it.
    return righe;
}

std::optional<CorsaSospesa> CorsaDaRiprendere(const QString &registro, const QString &lista, const QStringList &voci)
{
    QFile file(registro);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const std::vector<QStringList> righe = LeggiCsv(file.readAll());
    const QStringList &colonne = ColonneRegistro();
    if (righe.empty() || righe.front() != colonne)
        return std::nullopt;
    const qsizetype cLista = colonne.indexOf(QStringLiteral("lista"));
    const qsizetype cIndirizzo = colonne.indexOf(QStringLiteral("indirizzo"));
    const qsizetype cAccesso = colonne.indexOf(QStringLiteral("accesso"));
    const qsizetype cDi = colonne.indexOf(QStringLiteral("di"));
    const qsizetype cEsito = colonne.indexOf(QStringLiteral("esito"));
    const qsizetype cCorsa = colonne.indexOf(QStringLiteral("corsa"));

    QString id;
    for (auto r = righe.rbegin(); r != righe.rend() - 1; ++r) {
        if (r->size() == colonne.size() && (*r)[cLista] == lista && !(*r)[cCorsa].isEmpty()) {
            id = (*r)[cCorsa];
            break;
        }
    }
    if (id.isEmpty())
        return std::nullopt;

    CorsaSospesa sospesa;
    sospesa.id = id;
    for (std::size_t k = 1; k < righe.size(); ++k) {
        const QStringList &r = righe[k];
        if (r.size() != colonne.size() || r[cCorsa] != id || r[cLista] != lista)
            continue;
        if (r[cEsito] != QLatin1String("fatto") && r[cEsito] != QLatin1String("errore"))
            continue;
        ++sospesa.fatte[ChiaveVisita(r[cIndirizzo], r[cAccesso].toInt(), r[cDi].toInt())];
    }
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

void ChiudiRigaStrappata(QFile &registro)
{
    const qint64 dimensione = registro.size();
    if (dimensione == 0)
        return;
    QFile lettura(registro.fileName());
    if (!lettura.open(QIODevice::ReadOnly))
        return;
    const QByteArray dati = lettura.readAll();
    if (dati.endsWith("\r\n"))
        return;
    // A field that is quoted holds its quotes in pairs, an unquoted one holds
    // none: an odd count means the kill came inside a quoted field.
    QByteArray chiusura = dati.count('"') % 2 ? QByteArrayLiteral("\"\r\n") : QByteArrayLiteral("\r\n");
    registro.write(chiusura);
}
