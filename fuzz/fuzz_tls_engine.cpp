#include "FuzzCheck.h"
#include "net/TlsEngine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Nothing the fuzzer makes can be trusted; an empty store keeps the runs
    // independent of the machine's authorities.
    setenv("SSL_CERT_FILE", "/nonexistent", 1);
    setenv("SSL_CERT_DIR", "/nonexistent", 1);
    return 0;
}

// Input: flags (bit 0 the peer ends the connection after the last piece,
// bit 1 connect by address instead of name), then the server's bytes in
// pieces, each a length byte (1 to 256) and its bytes. After every piece the
// session is moved on and read from, as the socket layer does.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const bool end = data[0] & 1;
    TlsEngine engine;
    if (!engine.Begin((data[0] & 2) ? "127.0.0.1" : "www.example.test"))
        return 0;
    FUZZ_CHECK(engine.PendingCiphertext() > 0);
    engine.TakeCiphertext();
    char plain[512];
    for (std::size_t at = 1; at < size;) {
        const std::size_t len = std::min<std::size_t>(data[at] + 1u, size - at - 1);
        ++at;
        if (len == 0)
            break;
        engine.PutCiphertext(reinterpret_cast<const char *>(data + at), len);
        at += len;
        engine.Advance();
        for (int n, reads = 0; (n = engine.Read(plain, sizeof plain)) > 0; ++reads) {
            FUZZ_CHECK(n <= static_cast<int>(sizeof plain));
            FUZZ_CHECK(reads < 100000);
        }
        engine.TakeCiphertext();
    }
    if (end) {
        engine.PutEnd();
        engine.Advance();
        engine.Read(plain, sizeof plain);
        // Once the peer has gone the session cannot still be waiting for it.
        FUZZ_CHECK(engine.State() != TlsEngine::Phase::Handshaking);
    }
    // Nobody can have proved an identity here, so the session never opens.
    FUZZ_CHECK(engine.State() != TlsEngine::Phase::Open && engine.State() != TlsEngine::Phase::Closed);
    if (engine.State() == TlsEngine::Phase::Failed) {
        FUZZ_CHECK(engine.Reason().rfind("TLS: ", 0) == 0);
        FUZZ_CHECK(!engine.Write("x", 1));
    }
    return 0;
}
