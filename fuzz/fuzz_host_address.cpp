#include "FuzzCheck.h"
#include "net/HttpAddress.h"
#include "net/HttpProtDetail.h"
#include "net/SocketLibrary.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Input: a host as a user may write it. An IPv6 address is taken with or
// without its brackets, its text form reads back as the same address, and
// the address made of it splits back into the same host and port.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    ws::in6_addr address{};
    if (!IsIPv6Literal(text, &address)) {
        FUZZ_CHECK(!IsIPv6Literal("[" + text + "]"));
        return 0;
    }
    FUZZ_CHECK(text.find(':') != std::string::npos);
    FUZZ_CHECK(!IsDottedAddress(text));
    char written[64];
    FUZZ_CHECK(ws::inet_ntop(ws::AF_INET6, &address, written, sizeof written) != nullptr);
    ws::in6_addr again{};
    FUZZ_CHECK(IsIPv6Literal(written, &again));
    FUZZ_CHECK(std::memcmp(&again, &address, sizeof address) == 0);
    FUZZ_CHECK(IsIPv6Literal(std::string("[") + written + "]"));

    const std::string hostPort = httpdetail::HostAndPort(written, "8080");
    std::string scheme, user, password, host, port, path;
    SplitAddress("http://" + hostPort + "/x", scheme, user, password, host, port, path);
    FUZZ_CHECK(host == std::string("[") + written + "]");
    FUZZ_CHECK(port == "8080");
    FUZZ_CHECK(path == "/x");
    FUZZ_CHECK(IsIPv6Literal(host));
    return 0;
}
