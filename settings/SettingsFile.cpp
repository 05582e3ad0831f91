#include "settings/SettingsFile.h"

#include "fx/Fx.h"
#include "platform/Files.h"
#include "platform/TextCodec.h"

#include <QFileInfo>
#include <algorithm>

namespace {
const QString kTrue = QStringLiteral("True");
const QString kFalse = QStringLiteral("False");

QString BoolLine(bool value)
{
    return value ? kTrue : kFalse;
}
} // namespace

QString SettingsFilePath()
{
    return CartellaProgramma() + kSettingsFileName;
}

QStringList BuildSettingsLines(const Impostazioni &values)
{
    return {QString::number(values.banda), values.proxy, BoolLine(values.avvisaDopo10), BoolLine(values.timerOut),
            BoolLine(values.modalitaGrafica)};
}

Impostazioni ParseSettingsLines(const QStringList &lines)
{
    const auto line = [&lines](int i) { return i < lines.size() ? lines[i] : QString(); };

    int banda = 0;
    try {
        banda = StrToInt(line(0));
    } catch (const EConvertError &) {
        // The converter quotes the whole line, which may be anything up to the
        // size limit; a short reason is enough here.
        throw ESettingsError(QStringLiteral("La prima riga del file delle impostazioni non è un numero intero."));
    }

    Impostazioni values;
    values.banda = std::clamp(banda, kBandaMin, kBandaMax);
    // A hand-edited file may hold a longer proxy than the field lets one type
    // ("proxy.example.com:8080"); it is a valid address all the same.
    values.proxy = line(1);
    values.avvisaDopo10 = line(2) == kTrue;
    values.timerOut = line(3) == kTrue;
    values.modalitaGrafica = line(4) == kTrue;
    return values;
}

QStringList SettingsLinesFromBytes(const QByteArray &bytes)
{
    if (bytes.size() > kSettingsFileMaxBytes)
        throw ESettingsError(QStringLiteral("Il file delle impostazioni è troppo grande (%1 byte).").arg(bytes.size()));
    return SplitLines(DecodeAnsi(bytes));
}

Impostazioni LoadSettingsFile(const QString &path, const std::function<void()> &onRepaired)
{
    // Looked at before reading, so a huge file is never loaded whole.
    const QFileInfo info(path);
    if (info.isFile() && info.size() > kSettingsFileMaxBytes)
        throw ESettingsError(QStringLiteral("Il file delle impostazioni è troppo grande (%1 byte).").arg(info.size()));

    const QByteArray bytes = ReadWholeFile(path);
    QStringList lines = SettingsLinesFromBytes(bytes);

    if (lines.size() < kSettingsLineCount && bytes.contains('\0')) {
        // The text ends at the NUL byte; writing the lines back would throw
        // away whatever follows it.
        throw ESettingsError(QStringLiteral("Il file delle impostazioni non è un file di testo."));
    }
    // A file that will not load is left as it is: completing it first would
    // change a file that is not settings at all and still fail.
    ParseSettingsLines(lines);
    while (lines.size() < kSettingsLineCount) {
        lines.append(QString());
        WriteTextLines(path, lines);
        if (onRepaired)
            onRepaired();
    }
    return ParseSettingsLines(lines);
}

void SaveSettingsFile(const QString &path, const Impostazioni &values)
{
    WriteTextLines(path, BuildSettingsLines(values));
}
