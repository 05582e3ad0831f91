#include "FuzzCheck.h"
#include "LoopbackPeer.h"
#include "net/WSocket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    EnsureApplication();
    return 0;
}

// Input: flags (bits 0-1 the level: 4, 4A or 5; bit 2 user-code
// authentication; bit 3 an IPv6 destination, for 4A and 5), then the SOCKS server's answer in pieces, each a length
// byte (1 to 64) and its bytes. Every piece reaches the socket in a read of
// its own; then the server closes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const char *const levels[] = {"4", "4A", "5", "5"};
    const std::string level = levels[data[0] & 3];
    const bool authenticate = data[0] & 4;
    const bool ipv6 = (data[0] & 8) && level != "4";
    std::vector<std::string> pieces;
    std::string all;
    for (std::size_t at = 1; at < size && pieces.size() < 16;) {
        const std::size_t len = std::min<std::size_t>(data[at] % 64 + 1, size - at - 1);
        ++at;
        if (len == 0)
            break;
        pieces.emplace_back(reinterpret_cast<const char *>(data + at), len);
        all += pieces.back();
        at += len;
    }

    static LoopbackPeer *server = new LoopbackPeer;
    int connectedCalls = 0, closedCalls = 0;
    std::uint16_t connectedError = 0;
    std::string delivered;
    {
        TWSocket socket;
        socket.SetSocksServer("127.0.0.1");
        socket.SetSocksPort(server->Port());
        socket.SetSocksLevel(level);
        socket.SetSocksUsercode("utente");
        socket.SetSocksPassword("segreta");
        socket.SetSocksAuthentication(authenticate ? socksAuthenticateUsercode : socksNoAuthentication);
        socket.SetAddr(ipv6 ? "::1" : "10.1.2.3");
        socket.SetPort("80");
        socket.SetProto("tcp");
        socket.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t error) {
            ++connectedCalls;
            connectedError = error;
        };
        socket.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
            char buffer[512];
            const int n = s->Receive(buffer, sizeof buffer);
            if (n > 0)
                delivered.append(buffer, static_cast<std::size_t>(n));
        };
        socket.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t) { ++closedCalls; };
        socket.Connect();
        FUZZ_CHECK(server->Accept(2000));
        // The request the socket sends first.
        std::string request;
        FUZZ_CHECK(PumpUntil(
            [&] {
                request += server->Read(0);
                return !request.empty();
            },
            2000));

        for (const std::string &piece : pieces) {
            if (closedCalls > 0)
                break;
            server->Send(piece);
            PumpUntil([&] { return closedCalls > 0 || Unread(socket) >= piece.size(); }, 2000);
            PumpUntil([&] { return closedCalls > 0 || Unread(socket) == 0; }, 2000);
            ProcessMessages();
            server->Read(0); // requests the answer provoked; not looked at
        }
        server->ShutdownSend();
        // However the answer went, the session ends when the server goes.
        FUZZ_CHECK(PumpUntil([&] { return closedCalls > 0; }, 5000));
        server->ReadToEnd(100);
        server->Close();
        ProcessMessages();

        FUZZ_CHECK(closedCalls == 1);
        FUZZ_CHECK(connectedCalls <= 1);
        if (connectedCalls == 1 && connectedError == 0) {
            // Granted: what the owner reads is what came behind the reply.
            FUZZ_CHECK(delivered.size() <= all.size());
            FUZZ_CHECK(all.compare(all.size() - delivered.size(), delivered.size(), delivered) == 0);
            FUZZ_CHECK(all.size() >= (level == "5" ? 9u : 8u));
            const std::string &port = socket.SocksBoundPort();
            FUZZ_CHECK(port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos);
            FUZZ_CHECK(socket.SocksBoundAddr().size() <= 255);
        } else {
            // Nothing of a refused or unfinished negotiation reaches the owner.
            FUZZ_CHECK(delivered.empty());
        }
    }
    ProcessMessages();
    return 0;
}
