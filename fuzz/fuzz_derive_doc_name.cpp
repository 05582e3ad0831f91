#include "FuzzCheck.h"
#include "net/HttpProt.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string path(reinterpret_cast<const char *>(data), size);
    std::string doc = path;
    DeriveDocName(doc);

    // Always a usable file name: not empty, no folder, no query, not too long.
    FUZZ_CHECK(!doc.empty());
    FUZZ_CHECK(doc.size() <= 255);
    FUZZ_CHECK(doc.find_first_of("/?") == std::string::npos);
    if (doc != "document.htm")
        FUZZ_CHECK(path.find(doc) != std::string::npos);

    std::string renamed = doc;
    ReplaceExtension(renamed, "htm");
    FUZZ_CHECK(renamed.size() >= 4 && renamed.compare(renamed.size() - 4, 4, ".htm") == 0);
    return 0;
}
