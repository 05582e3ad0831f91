#include "app/ElencoCorse.h"

#include "app/ArchivioCorse.h"
#include "app/CodiciUscita.h"
#include "platform/Paths.h"

#include <QFileInfo>
#include <vector>

namespace {
constexpr int kQuante = 20;

void Scrivi(std::FILE *f, const QString &testo)
{
    std::fputs((testo + u'\n').toLocal8Bit().constData(), f);
}

QString Quando(const QDateTime &momento)
{
    return momento.isValid() ? momento.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                             : QStringLiteral("-");
}

// The list as the store names it: its full path. A name without a folder is
// looked for in the data folder, as --esegui does; a list since deleted is
// still found by the path it had.
QString PercorsoLista(const QString &lista)
{
    if (!lista.contains(u'/')) {
        for (const QString &nome : {lista, lista + QStringLiteral(".tvx")})
            if (QFileInfo(DataFilePath(nome)).isFile())
                return QFileInfo(DataFilePath(nome)).canonicalFilePath();
        return QFileInfo(DataFilePath(lista.endsWith(QLatin1String(".tvx")) ? lista : lista + QStringLiteral(".tvx")))
            .absoluteFilePath();
    }
    const QFileInfo info(lista);
    return info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
}
} // namespace

int MostraCorse(const QString &lista, std::FILE *out, std::FILE *err)
{
    if (const QString problema = DataFolderProblem(); !problema.isEmpty()) {
        Scrivi(err, QStringLiteral("quorvi: ") + problema);
        return uscita::Uso;
    }
    const QString percorsoLista = lista.isEmpty() ? QString() : PercorsoLista(lista);
    const QString file = DataFilePath(kNomeArchivioCorse);
    std::vector<CorsaArchiviata> corse;
    // Only looking: a missing store is not made for that.
    if (QFileInfo::exists(file)) {
        ArchivioCorse archivio(file);
        if (!archivio.Avviso().isEmpty())
            Scrivi(err, QStringLiteral("quorvi: ") + archivio.Avviso());
        corse = archivio.Ultime(kQuante, percorsoLista);
        if (!archivio.Errore().isEmpty()) {
            Scrivi(err, QStringLiteral("quorvi: ") + archivio.Errore());
            return uscita::Uso;
        }
    }
    if (corse.empty()) {
        Scrivi(out, lista.isEmpty() ? QStringLiteral("Nessun multi accesso nell'archivio.")
                                    : QStringLiteral("Nessun multi accesso della lista %1.").arg(percorsoLista));
        return uscita::Fatto;
    }

    const QStringList titoli{QStringLiteral("corsa"),   QStringLiteral("inizio"),    QStringLiteral("fine"),
                             QStringLiteral("esito"),   QStringLiteral("richiesti"), QStringLiteral("fatti"),
                             QStringLiteral("falliti"), QStringLiteral("lista")};
    // Numbers to the right, words to the left; the list last, as long as it is.
    const std::vector<bool> numero{false, false, false, false, true, true, true, false};
    std::vector<QStringList> righe{titoli};
    for (const CorsaArchiviata &c : corse)
        righe.push_back({c.id, Quando(c.inizio), Quando(c.fine),
                         c.esito.isEmpty() ? QStringLiteral("non terminata") : c.esito, QString::number(c.richiesti),
                         QString::number(c.fatti), QString::number(c.falliti), c.lista});
    std::vector<qsizetype> larghezze(titoli.size(), 0);
    for (const QStringList &riga : righe)
        for (qsizetype k = 0; k < riga.size(); ++k)
            larghezze[std::size_t(k)] = qMax(larghezze[std::size_t(k)], riga[k].size());
    for (const QStringList &riga : righe) {
        QString testo;
        for (qsizetype k = 0; k < riga.size(); ++k) {
            const qsizetype l = larghezze[std::size_t(k)];
            if (k > 0)
                testo += QStringLiteral("  ");
            testo += k + 1 == riga.size()     ? riga[k]
                     : numero[std::size_t(k)] ? riga[k].rightJustified(l)
                                              : riga[k].leftJustified(l);
        }
        Scrivi(out, testo);
    }
    return uscita::Fatto;
}
