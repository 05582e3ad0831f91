#include "FuzzCheck.h"
#include "platform/Files.h"
#include "platform/TextCodec.h"
#include "settings/SettingsFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstddef>
#include <cstdint>

namespace {
// Loading from a real file: a load that fails leaves the file as it was; one
// that succeeds leaves five lines or more that load the same again.
void LoadFromFile(const QByteArray &bytes)
{
    // One scratch file per process, gone when the process ends normally.
    static const struct Scratch {
        QString path;
        Scratch()
        {
            const QString dir = QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
            path = dir + QStringLiteral("/fuzz_settings_%1.imptvx").arg(QCoreApplication::applicationPid());
        }
        ~Scratch() { QFile::remove(path); }
    } scratch;
    const QString &path = scratch.path;
    WriteWholeFile(path, bytes);
    int repairs = 0;
    try {
        const Impostazioni values = LoadSettingsFile(path, [&repairs] { ++repairs; });
        const QStringList after = SettingsLinesFromBytes(ReadWholeFile(path));
        FUZZ_CHECK(after.size() >= kSettingsLineCount);
        FUZZ_CHECK(ParseSettingsLines(after) == values);
        FUZZ_CHECK(repairs == 0 || repairs == kSettingsLineCount - SettingsLinesFromBytes(bytes).size());
    } catch (const ESettingsError &) {
        FUZZ_CHECK(repairs == 0);
        FUZZ_CHECK(ReadWholeFile(path) == bytes);
    }
}
} // namespace

// Input: the bytes of a settings file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    LoadFromFile(bytes);
    QStringList lines;
    Impostazioni values;
    try {
        lines = SettingsLinesFromBytes(bytes);
        values = ParseSettingsLines(lines);
    } catch (const ESettingsError &) {
        // Refused: the only failure allowed; anything else escaping is a finding.
        return 0;
    }
    // Values the options window can hold; a proxy line is taken whole, however
    // long a hand-edited file made it (the field grows to show it).
    FUZZ_CHECK(values.banda >= kBandaMin && values.banda <= kBandaMax);
    FUZZ_CHECK(IsAnsiEncodable(values.proxy));
    FUZZ_CHECK(values.proxy == (lines.size() > 1 ? lines[1] : QString()));
    FUZZ_CHECK(values.avvisaDopo10 == (lines.size() > 2 && lines[2] == QLatin1String("True")));

    // Saved and read again, the settings come back the same, in five lines.
    const QByteArray saved = EncodeAnsi(JoinLines(BuildSettingsLines(values)));
    const QStringList again = SettingsLinesFromBytes(saved);
    FUZZ_CHECK(again.size() == kSettingsLineCount);
    FUZZ_CHECK(ParseSettingsLines(again) == values);
    return 0;
}
