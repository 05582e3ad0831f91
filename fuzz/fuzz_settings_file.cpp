#include "FuzzCheck.h"
#include "platform/TextCodec.h"
#include "settings/SettingsFile.h"

#include <cstddef>
#include <cstdint>

// Input: the bytes of a settings file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QStringList lines;
    Impostazioni values;
    try {
        lines = SettingsLinesFromBytes(bytes);
        values = ParseSettingsLines(lines);
    } catch (const ESettingsError &) {
        // Refused: the only failure allowed; anything else escaping is a finding.
        return 0;
    }
    // Values the options window can hold.
    FUZZ_CHECK(values.banda >= kBandaMin && values.banda <= kBandaMax);
    FUZZ_CHECK(values.proxy.size() <= kProxyMaxLength);
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
