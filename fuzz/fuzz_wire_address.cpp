#include "FuzzCheck.h"
#include "net/HttpAddress.h"

#include <QByteArray>
#include <QUrl>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool AllAscii(const std::string &text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

} // namespace

// Input: any bytes, taken as an address part in the list's code page.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);

    // The path on the wire is ASCII; ASCII comes through as it was, and every
    // other byte becomes one to three escapes of the UTF-8 it stands for.
    const std::string path = WirePath(input);
    FUZZ_CHECK(AllAscii(path));
    if (AllAscii(input))
        FUZZ_CHECK(path == input);
    FUZZ_CHECK(path.size() <= input.size() * 9);
    // Decoding the escapes gives the text back: nothing lost or changed.
    const QString back = QUrl::fromPercentEncoding(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
    if (input.find('%') == std::string::npos)
        FUZZ_CHECK(back.size() == static_cast<qsizetype>(input.size()));

    // The host is ASCII on the wire, or left as written when it has no IDNA form.
    const std::string host = WireHost(input);
    FUZZ_CHECK(AllAscii(host) || host == input);
    if (AllAscii(input))
        FUZZ_CHECK(host == input);
    return 0;
}
