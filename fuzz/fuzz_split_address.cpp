#include "FuzzCheck.h"
#include "net/HttpProt.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Input: base path, a NUL byte, the address. Without a NUL the whole input is
// the address and the base is empty.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t nul = input.find('\0');
    std::string base = nul == std::string::npos ? std::string() : input.substr(0, nul);
    const std::string address = nul == std::string::npos ? input : input.substr(nul + 1);

    std::string scheme = "x", user = "x", password = "x", host = "x", port = "x", path = base;
    SplitAddress(address, scheme, user, password, host, port, path);

    // Parts are pieces of the address (or of the base for relative ones):
    // nothing may grow out of thin air.
    const std::size_t total = scheme.size() + user.size() + password.size() + host.size() + port.size();
    FUZZ_CHECK(total <= address.size() + 4); // +4: the "http" put in front of a bare path
    FUZZ_CHECK(path.size() <= address.size() + base.size() + 1);
    if (address.empty())
        FUZZ_CHECK(total == 0 && path.empty());
    // The authority never swallows a path or query separator.
    FUZZ_CHECK(host.find_first_of("/?") == std::string::npos);
    FUZZ_CHECK(port.find_first_of("/?@") == std::string::npos);
    // An IPv6 address keeps its brackets, and a port comes only after them.
    if (!host.empty() && host[0] == '[' && host.find(']') != std::string::npos && !port.empty())
        FUZZ_CHECK(host.back() == ']' && host.find(']') == host.size() - 1);
    const bool relative = address.rfind("./", 0) == 0 || address.rfind("../", 0) == 0;
    if (relative) {
        FUZZ_CHECK(total == 0);
    } else {
        // The path is the tail of the address, starting at "/" or "?".
        FUZZ_CHECK(address.size() >= path.size() &&
                   address.compare(address.size() - path.size(), path.size(), path) == 0);
        // "http:" without slashes takes whatever follows as the path.
        const bool bareHttp = address.find("://") == std::string::npos && address.size() >= 5 &&
                              (address[0] | 0x20) == 'h' && (address[1] | 0x20) == 't' && (address[2] | 0x20) == 't' &&
                              (address[3] | 0x20) == 'p' && address[4] == ':';
        if (!path.empty() && !bareHttp)
            FUZZ_CHECK(path[0] == '/' || path[0] == '?');
        FUZZ_CHECK(address.find(host) != std::string::npos);
    }

    // Splitting into the base variable itself, as the client does, gives the
    // same result as splitting into a separate one.
    std::string s2, u2, p2, h2, port2, self = base;
    SplitAddress(address, s2, u2, p2, h2, port2, self);
    FUZZ_CHECK(self == path && s2 == scheme && h2 == host);
    return 0;
}
