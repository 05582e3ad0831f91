#include "support/Estrai.h"

#include "platform/Exception.h"

#include <algorithm>
#include <vector>

namespace {
// From a text that begins at the second marker: the value behind the third
// marker up to the end marker, trimmed; nothing when a marker is missing.
std::optional<QString> Valore(const QString &daSecondo, const CriterioEstrazione &c)
{
    const qsizetype t = daSecondo.indexOf(c.terzo);
    if (t < 0)
        return std::nullopt;
    QString testo = daSecondo.mid(c.includiTerzo ? t : t + c.terzo.size());
    const qsizetype f = testo.indexOf(c.fine);
    if (f < 0)
        return std::nullopt;
    testo = testo.left(c.includiFine ? f + c.fine.size() : f);
    while (!testo.isEmpty() && !c.caratteriDaTogliere.isEmpty() && c.caratteriDaTogliere.contains(testo.back()))
        testo.chop(1);
    return testo;
}
} // namespace

// Each start marker searches the lines after it until one yields a value.
// Done literally, a reply of many start markers and no value costs the square
// of its length, and the version check would freeze the program on a large
// reply. Lines after the start line are searched whole, so what each of them
// yields is worked out once, and every search becomes a look-up.
void EstraiURLConCriterio(const QStringList &righe, const CriterioEstrazione &c, QStringList &target)
{
    if (righe.isEmpty() || c.inizio.isEmpty())
        return;
    const QStringList lines = righe; // worked on in a private copy
    const qsizetype n = lines.size();

    // Lines holding the second marker, and from each of them on, the first
    // one that yields a value.
    std::vector<qsizetype> conSecondo;
    std::vector<char> rende;
    for (qsizetype i = 0; i < n; ++i) {
        const qsizetype s = lines[i].indexOf(c.secondo);
        if (s < 0)
            continue;
        conSecondo.push_back(i);
        rende.push_back(Valore(lines[i].mid(s), c).has_value());
    }
    const auto m = static_cast<qsizetype>(conSecondo.size());
    std::vector<qsizetype> prossimoCheRende(static_cast<std::size_t>(m) + 1, m);
    for (qsizetype j = m - 1; j >= 0; --j)
        prossimoCheRende[j] = rende[j] ? j : prossimoCheRende[j + 1];

    const qsizetype salta = std::max(0, c.saltaTrovati);
    for (qsizetype k = 0; k < n; ++k) {
        const qsizetype at = lines[k].indexOf(c.inizio);
        if (at < 0)
            continue;
        // The start line counts from its start marker on.
        const QString testo = lines[k].mid(at);
        qsizetype daSaltare = salta;
        if (const qsizetype s = testo.indexOf(c.secondo); s >= 0) {
            if (daSaltare == 0) {
                if (const std::optional<QString> valore = Valore(testo.mid(s), c)) {
                    target.append(*valore);
                    continue;
                }
            } else {
                --daSaltare;
            }
        }
        const qsizetype primo = std::upper_bound(conSecondo.begin(), conSecondo.end(), k) - conSecondo.begin();
        if (primo + daSaltare >= m)
            continue;
        const qsizetype j = prossimoCheRende[primo + daSaltare];
        if (j == m)
            continue;
        const qsizetype i = conSecondo[j];
        target.append(*Valore(lines[i].mid(lines[i].indexOf(c.secondo)), c));
        k = i;
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
