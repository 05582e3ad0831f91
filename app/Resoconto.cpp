#include "app/Resoconto.h"

#include "platform/TextCodec.h"

#include <QRegularExpression>

QString FormatoOraSenzaFuso(const QString &formato)
{
    QString senza;
    bool letterale = false;
    for (const QChar c : formato) {
        if (c == u'\'')
            letterale = !letterale;
        else if (c == u't' && !letterale)
            continue;
        senza += c;
    }
    static const QRegularExpression vuote(QStringLiteral(R"(\(\s*\)|\[\s*\])"));
    senza.remove(vuote);
    return senza.simplified();
}

QString SostituisciNonAnsi(const QString &testo)
{
    QString scritto;
    scritto.reserve(testo.size());
    for (qsizetype i = 0; i < testo.size(); ++i) {
        const QChar c = testo[i];
        if (c.isLowSurrogate() && i > 0 && testo[i - 1].isHighSurrogate())
            continue; // one character, one replacement
        if (IsAnsiEncodable(QString(c)))
            scritto += c;
        else if (c.isDigit() && c.digitValue() >= 0)
            scritto += QChar(u'0' + c.digitValue());
        else if (c.isSpace())
            scritto += u' ';
        else
            scritto += u'?';
    }
    return scritto;
}

QString RigaConclusione(const QLocale &locale, const QDateTime &quando)
{
    const QString data = locale.toString(quando.date(), QLocale::ShortFormat);
    const QString ora = locale.toString(quando.time(), FormatoOraSenzaFuso(locale.timeFormat(QLocale::LongFormat)));
    return QStringLiteral("Multi accesso eseguito in data ") + SostituisciNonAnsi(data) +
           QStringLiteral(" concluso alle ore ") + SostituisciNonAnsi(ora);
}

QLocale LocaleDelLog()
{
    return QLocale(QLocale::Italian, QLocale::Italy);
}
