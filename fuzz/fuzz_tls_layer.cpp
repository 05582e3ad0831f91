#include "FuzzCheck.h"
#include "LoopbackPeer.h"
#include "net/WSocket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Nothing the fuzzer sends can prove an identity we trust.
    setenv("SSL_CERT_FILE", "/nonexistent", 1);
    setenv("SSL_CERT_DIR", "/nonexistent", 1);
    EnsureApplication();
    return 0;
}

// Input: flags (bit 0: line mode above the TLS layer), then the server's
// bytes in pieces, each a length byte (1 to 256) and its bytes. Every piece
// reaches the socket in a read of its own; then the server closes. However
// the bytes go, the session ends with one failed connect and one close, and
// the owner never sees a byte.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::vector<std::string> pieces;
    for (std::size_t at = 1; at < size && pieces.size() < 16;) {
        const std::size_t len = std::min<std::size_t>(data[at] + 1u, size - at - 1);
        ++at;
        if (len == 0)
            break;
        pieces.emplace_back(reinterpret_cast<const char *>(data + at), len);
        at += len;
    }

    static LoopbackPeer *server = new LoopbackPeer;
    int connectedCalls = 0, closedCalls = 0, dataCalls = 0;
    std::uint16_t connectedError = 0;
    std::string delivered;
    {
        TWSocket socket;
        socket.SetTlsEnabled(true);
        socket.SetTlsHost("www.example.test");
        socket.SetLineMode(data[0] & 1);
        socket.SetAddr("127.0.0.1");
        socket.SetPort(server->Port());
        socket.SetProto("tcp");
        socket.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t error) {
            ++connectedCalls;
            connectedError = error;
        };
        socket.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
            ++dataCalls;
            char buffer[512];
            const int n = s->Receive(buffer, sizeof buffer);
            if (n > 0)
                delivered.append(buffer, static_cast<std::size_t>(n));
        };
        socket.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t) { ++closedCalls; };
        socket.Connect();
        FUZZ_CHECK(server->Accept(2000));
        std::string hello;
        FUZZ_CHECK(PumpUntil(
            [&] {
                hello += server->Read(0);
                return hello.size() >= 5;
            },
            2000));
        FUZZ_CHECK(hello[0] == 0x16); // a handshake record comes first

        for (const std::string &piece : pieces) {
            if (closedCalls > 0)
                break;
            server->Send(piece);
            PumpUntil([&] { return closedCalls > 0 || Unread(socket) >= piece.size(); }, 2000);
            PumpUntil([&] { return closedCalls > 0 || Unread(socket) == 0; }, 2000);
            ProcessMessages();
            server->Read(0);
        }
        server->ShutdownSend();
        FUZZ_CHECK(PumpUntil([&] { return closedCalls > 0; }, 5000));
        server->ReadToEnd(100);
        server->Close();
        ProcessMessages();

        FUZZ_CHECK(closedCalls == 1);
        FUZZ_CHECK(connectedCalls == 1);
        FUZZ_CHECK(IsTlsErrorCode(connectedError));
        FUZZ_CHECK(!socket.TlsReason().empty());
        FUZZ_CHECK(dataCalls == 0 && delivered.empty());
    }
    ProcessMessages();
    return 0;
}
