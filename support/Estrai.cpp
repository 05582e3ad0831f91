#include "support/Estrai.h"

#include "platform/Exception.h"

#include <algorithm>

void EstraiURLConCriterio(const QStringList &righe, const CriterioEstrazione &c, QStringList &target)
{
    if (righe.isEmpty() || c.inizio.isEmpty())
        return;
    const QStringList lines = righe; // worked on in a private copy
    qsizetype k = 0;
    while (k < lines.size()) {
        const qsizetype at = lines[k].indexOf(c.inizio);
        if (at < 0) {
            ++k;
            continue;
        }
        int trovati = 0;
        for (qsizetype i = k; i < lines.size(); ++i) {
            QString testo = i == k ? lines[k].mid(at) : lines[i];
            const qsizetype s = testo.indexOf(c.secondo);
            if (s < 0)
                continue;
            if (++trovati <= c.saltaTrovati)
                continue;
            testo = testo.mid(s);
            const qsizetype t = testo.indexOf(c.terzo);
            if (t < 0)
                continue;
            testo = testo.mid(c.includiTerzo ? t : t + c.terzo.size());
            const qsizetype f = testo.indexOf(c.fine);
            if (f < 0)
                continue;
            testo = testo.left(c.includiFine ? f + c.fine.size() : f);
            while (!testo.isEmpty() && !c.caratteriDaTogliere.isEmpty() && c.caratteriDaTogliere.contains(testo.back()))
                testo.chop(1);
            target.append(testo);
            k = i;
            break;
        }
        ++k;
    }
}

QString invertiTesto(const QString &testo)
{
    QString out = testo;
    std::reverse(out.begin(), out.end());
    return out;
}

std::optional<int> LeggiNumeroVersione(const QString &testo)
{
    try {
        const int n = StrToInt(testo);
        return n < 0 ? std::nullopt : std::optional<int>(n);
    } catch (const EConvertError &) {
        return std::nullopt;
    }
}
