#include "FuzzCheck.h"
#include "net/HttpProt.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string address(reinterpret_cast<const char *>(data), size);
    const std::string base = AddressBase(address);

    // A prefix of the address that ends at a "/" or ":" before any query.
    FUZZ_CHECK(address.compare(0, base.size(), base) == 0);
    FUZZ_CHECK(base.find('?') == std::string::npos);
    if (!base.empty())
        FUZZ_CHECK(base.back() == '/' || base.back() == ':');
    const std::string tail = address.substr(
        base.size(), address.find('?') == std::string::npos ? std::string::npos : address.find('?') - base.size());
    FUZZ_CHECK(tail.find_first_of("/:") == std::string::npos);

    const int last = LastPosition("/", address);
    FUZZ_CHECK(last >= 0 && static_cast<std::size_t>(last) <= address.size());
    if (last > 0)
        FUZZ_CHECK(address[last - 1] == '/' && address.find('/', last) == std::string::npos);
    return 0;
}
