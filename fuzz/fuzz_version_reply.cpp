#include "FuzzCheck.h"
#include "platform/TextCodec.h"
#include "support/Estrai.h"

#include <cstddef>
#include <cstdint>

namespace {
// The extraction as it reads, line after line, without any shortcut: the
// program's version must give the same values.
void Literal(const QStringList &lines, const CriterioEstrazione &c, QStringList &target)
{
    if (lines.isEmpty() || c.inizio.isEmpty())
        return;
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

CriterioEstrazione Versione()
{
    CriterioEstrazione c;
    c.inizio = QStringLiteral("Versione");
    c.secondo = QStringLiteral("-");
    c.terzo = QStringLiteral("-");
    c.fine = QStringLiteral("<");
    return c;
}
} // namespace

// Input: a first byte, then the reply. With the first byte's low bit clear the
// reply is read with the version check's criteria. With it set, the reply
// starts with five fields ended by byte 0x01 (start, second, third and end
// markers, trim set), and the first byte's next bits choose the options and a
// skip count of 0 to 3.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned flags = data[0];
    QString reply = DecodeAnsi(QByteArray(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1)));
    CriterioEstrazione c = Versione();
    if (flags & 1) {
        QString *fields[] = {&c.inizio, &c.secondo, &c.terzo, &c.fine, &c.caratteriDaTogliere};
        for (QString *field : fields) {
            const qsizetype end = reply.indexOf(QChar(1));
            if (end < 0)
                return 0;
            *field = reply.left(end);
            reply.remove(0, end + 1);
        }
        c.includiTerzo = flags & 2;
        c.includiFine = flags & 4;
        c.saltaTrovati = static_cast<int>((flags >> 3) & 3);
    }
    const QStringList lines = SplitLines(reply);

    QStringList values;
    EstraiURLConCriterio(lines, c, values);
    QStringList expected;
    Literal(lines, c, expected);
    FUZZ_CHECK(values == expected);

    int starts = 0;
    for (const QString &line : lines)
        starts += !c.inizio.isEmpty() && line.contains(c.inizio);
    FUZZ_CHECK(values.size() <= starts);
    for (const QString &value : values) {
        bool inALine = false;
        for (const QString &line : lines)
            inALine = inALine || line.contains(value);
        FUZZ_CHECK(inALine);
        if (!(flags & 1)) {
            FUZZ_CHECK(!value.contains(u'<'));
            const std::optional<int> number = LeggiNumeroVersione(value);
            FUZZ_CHECK(!number || *number >= 0);
        }
    }
    return 0;
}
