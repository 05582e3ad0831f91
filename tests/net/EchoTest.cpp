#include "tests/net/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// FNV-1a over the whole stream: order matters, so a lost, doubled or swapped
// chunk changes it.
struct Checksum {
    std::uint64_t value = 1469598103934665603ull;
    std::uint64_t bytes = 0;
    void Add(const char *p, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            value ^= static_cast<unsigned char>(p[i]);
            value *= 1099511628211ull;
        }
        bytes += n;
    }
};

// Deterministic bytes that do not repeat with any block size.
struct Source {
    std::uint32_t state = 12345;
    void Fill(std::string &chunk)
    {
        for (char &c : chunk) {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        }
    }
};

} // namespace

TEST(WSocketEcho, HundredMegabytesRoundTrip)
{
    constexpr std::uint64_t kTotal = 100ull * 1024 * 1024;
    constexpr int kChunk = 64 * 1024;

    // The echo side: whatever arrives goes straight back.
    LoopbackServer server([](TWSocket &peer) {
        peer.OnDataAvailable = [](TCustomWSocket *s, std::uint16_t) {
            char buf[kChunk];
            const int n = s->Receive(buf, sizeof buf);
            if (n > 0)
                s->Send(buf, n);
        };
        peer.OnSessionClosed = [](TCustomWSocket *, std::uint16_t) {};
    });

    TWSocket client;
    Source source;
    Checksum sent, echoed;
    std::string chunk(kChunk, '\0');
    bool failed = false;
    // Keep at most a few chunks in flight so memory stays flat.
    auto sendMore = [&](TCustomWSocket *s) {
        while (sent.bytes < kTotal && sent.bytes - echoed.bytes < 4ull * kChunk) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, kTotal - sent.bytes));
            chunk.resize(n);
            source.Fill(chunk);
            sent.Add(chunk.data(), n);
            if (s->Send(chunk.data(), static_cast<int>(n)) != static_cast<int>(n))
                failed = true;
        }
    };
    client.OnSessionConnected = [&](TCustomWSocket *s, std::uint16_t e) {
        if (e != 0)
            failed = true;
        else
            sendMore(s);
    };
    client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        char buf[kChunk];
        const int n = s->Receive(buf, sizeof buf);
        if (n > 0) {
            echoed.Add(buf, static_cast<std::size_t>(n));
            sendMore(s);
        }
    };
    client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t) {
        if (echoed.bytes < kTotal)
            failed = true;
    };
    Aim(client, server.Port());
    client.Connect();
    const bool done = PumpUntil([&] { return failed || echoed.bytes >= kTotal; }, 240000);
    ASSERT_TRUE(done) << "timed out after " << echoed.bytes << " bytes";
    ASSERT_FALSE(failed);
    EXPECT_EQ(sent.bytes, kTotal);
    EXPECT_EQ(echoed.bytes, kTotal);
    EXPECT_EQ(echoed.value, sent.value);
    client.Close();
}
