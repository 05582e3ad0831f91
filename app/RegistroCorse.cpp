#include "app/RegistroCorse.h"

#include "lists/SiteList.h"
#include "platform/Paths.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

QString NuovoIdCorsa()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'-")) +
           QString::number(QRandomGenerator::global()->bounded(0x10000), 16).rightJustified(4, u'0');
}

PreparazioneCorsa PreparaCorsa(const QString &percorso, const QString &nome, const QStringList &voci)
{
    PreparazioneCorsa p;
    p.identita = IdentificaLista(percorso, voci);
    BloccoLista::Esito esito = BloccoLista::Esito::Preso;
    QString perche;
    p.blocco = BloccoLista::Prendi(p.identita.percorso, &esito, &perche);
    if (!p.blocco) {
        p.rifiutata = esito;
        p.rifiuto = esito == BloccoLista::Esito::Occupato ? AvvisoListaInEsecuzione(nome)
                                                          : AvvisoListaNonBloccabile(nome, perche);
        return p;
    }
    p.archivio = std::make_shared<ArchivioCorse>(DataFilePath(kNomeArchivioCorse));
    const std::optional<CorsaArchiviata> ultima = p.archivio->UltimaNonCompletata(p.identita.percorso);
    if (!ultima)
        return p;
    if (ultima->impronta != p.identita.impronta) {
        p.nonRiprendibile = QStringLiteral("La lista %1 è cambiata dopo il multi accesso non completato %2: si "
                                           "ricomincia da capo.")
                                .arg(nome, ultima->id);
        return p;
    }
    Ripresa ripresa;
    ripresa.id = ultima->id;
    ripresa.fatte = p.archivio->Fatte(ultima->id);
    for (qsizetype k = 0; k < voci.size(); ++k) {
        const qint64 volte = VolteVoce(voci[k]).value_or(0);
        ripresa.accessiTotali += volte;
        const auto fatte = ripresa.fatte.find(int(k));
        if (fatte == ripresa.fatte.end())
            continue;
        for (const Intervallo &i : fatte->second)
            ripresa.accessiFatti += qMax<qint64>(0, qMin(i.a, volte) - qMax<qint64>(i.da, 1) + 1);
    }
    p.ripresa = std::move(ripresa);
    return p;
}

QString MettiDaParteRegistroDiverso(const QString &percorso, const QStringList &intestazione)
{
    QFile file(percorso);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return QString();
    QByteArray prima = file.readLine(64 * 1024);
    file.close();
    if (prima.startsWith("\xEF\xBB\xBF"))
        prima.remove(0, 3);
    while (prima.endsWith('\n') || prima.endsWith('\r'))
        prima.chop(1);
    // The columns' names hold no comma and no quote: the header is the names
    // joined by commas, however it was saved.
    if (QString::fromUtf8(prima) == intestazione.join(u','))
        return QString();
    // Kept whole under a name that says what it is; never overwritten.
    const QFileInfo info(percorso);
    const QString base = info.path() + u'/' + info.completeBaseName() + QStringLiteral("-precedente");
    QString nuovo = base + QStringLiteral(".csv");
    for (int n = 2; QFileInfo::exists(nuovo); ++n)
        nuovo = base + u'-' + QString::number(n) + QStringLiteral(".csv");
    return QFile::rename(percorso, nuovo) ? nuovo : QString();
}
