#include "platform/Exception.h"

#include <climits>

Exception::Exception(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}

int StrToInt(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    const qsizetype firstDigit = i;
    long long value = 0;
    while (i < n && text[i] >= u'0' && text[i] <= u'9') {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            break;
        ++i;
    }
    const bool fits = negative ? value <= static_cast<long long>(INT_MAX) + 1 : value <= INT_MAX;
    if (i == firstDigit || i != n || !fits)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return static_cast<int>(negative ? -value : value);
}
