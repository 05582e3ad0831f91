#include "platform/TextCodec.h"

#include "platform/Exception.h"

namespace {

// 0x80..0x9F of Windows-1252. Undefined positions keep their own value.
const char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

int EncodeChar(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == c)
            return 0x80 + i;
    return -1;
}

template <typename Seq, typename Unit> QList<Seq> SplitAny(const Seq &text, Unit cr, Unit lf, const Unit *nul)
{
    QList<Seq> lines;
    qsizetype end = nul ? text.indexOf(*nul) : -1;
    if (end < 0)
        end = text.size();
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < end) {
        const auto c = text.at(i);
        if (c == cr || c == lf) {
            lines.append(text.mid(start, i - start));
            if (c == cr && i + 1 < end && text.at(i + 1) == lf)
                ++i;
            start = i + 1;
        }
        ++i;
    }
    if (start < end)
        lines.append(text.mid(start, end - start));
    return lines;
}

} // namespace

QString DecodeAnsi(const QByteArray &bytes)
{
    QString out;
    out.resize(bytes.size());
    QChar *d = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        d[i] = (b >= 0x80 && b < 0xA0) ? QChar(kHigh[b - 0x80]) : QChar(b);
    }
    return out;
}

QByteArray EncodeAnsi(const QString &text)
{
    QByteArray out;
    out.resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int b = EncodeChar(text[i].unicode());
        if (b < 0)
            throw EFileError(QStringLiteral("Il carattere \"%1\" (U+%2) non può essere scritto nel file.")
                                 .arg(text[i])
                                 .arg(text[i].unicode(), 4, 16, QLatin1Char('0')));
        out[i] = static_cast<char>(b);
    }
    return out;
}

bool IsAnsiEncodable(const QString &text)
{
    for (QChar c : text)
        if (EncodeChar(c.unicode()) < 0)
            return false;
    return true;
}

QStringList SplitLines(const QString &text)
{
    const QChar nul(0);
    return SplitAny<QString, QChar>(text, u'\r', u'\n', &nul);
}

QList<QByteArray> SplitByteLines(const QByteArray &bytes)
{
    return SplitAny<QByteArray, char>(bytes, '\r', '\n', nullptr);
}

QString JoinLines(const QStringList &lines)
{
    QString out;
    for (const QString &line : lines) {
        out += line;
        out += QStringLiteral("\r\n");
    }
    return out;
}
