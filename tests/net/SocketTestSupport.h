#pragma once

#include "net/WSocket.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A listening TWSocket on 127.0.0.1 with an ephemeral port; every incoming
// connection is adopted by a TWSocket of its own, set up by onAccept first.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<void(TWSocket &)> onAccept = {}, const std::string &addr = "127.0.0.1")
        : onAccept_(std::move(onAccept))
    {
        listener_.SetAddr(addr);
        listener_.SetPort("0");
        listener_.SetProto("tcp");
        listener_.OnSessionAvailable = [this](TCustomWSocket *, std::uint16_t) {
            auto peer = std::make_unique<TWSocket>();
            if (onAccept_)
                onAccept_(*peer);
            peer->Dup(listener_.Accept());
            peers_.push_back(std::move(peer));
        };
        listener_.Listen();
    }

    std::string Port() { return listener_.BoundPort(); }
    TWSocket &Listener() { return listener_; }
    std::vector<std::unique_ptr<TWSocket>> &Peers() { return peers_; }
    TWSocket *Peer(std::size_t i) { return i < peers_.size() ? peers_[i].get() : nullptr; }

private:
    std::function<void(TWSocket &)> onAccept_;
    TWSocket listener_;
    std::vector<std::unique_ptr<TWSocket>> peers_;
};

// Keeps the sockets shim started for raw handles a test uses directly, so that
// the library unloading with the last TWSocket does not close them.
class ShimUser {
public:
    ShimUser()
    {
        ws::WSADATA data;
        ws::WSAStartup(0x0101, &data);
    }
    ~ShimUser() { ws::WSACleanup(); }
};

// A raw listener on 127.0.0.1 whose connections get a 4 KiB receive buffer,
// for peers that must fill up quickly; sin receives its address. Returns
// INVALID_SOCKET when it cannot be set up.
inline ws::SOCKET SmallBufferListener(ws::SOCKADDR_IN &sin)
{
    ws::SOCKET listener = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    const int small = 4096;
    ws::setsockopt(listener, ws::SOL_SOCKET, ws::SO_RCVBUF, reinterpret_cast<const char *>(&small), sizeof small);
    sin = {};
    sin.sin_family = ws::AF_INET;
    sin.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    int len = sizeof sin;
    if (ws::bind(listener, reinterpret_cast<ws::SOCKADDR *>(&sin), sizeof sin) != 0 || ws::listen(listener, 1) != 0 ||
        ws::getsockname(listener, reinterpret_cast<ws::SOCKADDR *>(&sin), &len) != 0) {
        ws::closesocket(listener);
        return ws::INVALID_SOCKET;
    }
    return listener;
}

using Log = std::vector<std::string>;

// The text of the ESocketException f raises, or empty when it raises none.
inline std::string ErrorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const ESocketException &e) {
        return e.Text();
    }
    return {};
}

// Sets up a client for 127.0.0.1:port over tcp.
inline void Aim(TWSocket &s, const std::string &port, const std::string &proto = "tcp")
{
    s.SetAddr("127.0.0.1");
    s.SetPort(port);
    s.SetProto(proto);
}

// A port on which nobody listens right now.
inline std::string UnusedPort()
{
    ShimUser shim;
    ws::SOCKET s = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    ws::SOCKADDR_IN sin{};
    sin.sin_family = ws::AF_INET;
    sin.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    ws::bind(s, reinterpret_cast<ws::SOCKADDR *>(&sin), sizeof sin);
    int len = sizeof sin;
    ws::getsockname(s, reinterpret_cast<ws::SOCKADDR *>(&sin), &len);
    ws::closesocket(s);
    return std::to_string(ws::ntohs(sin.sin_port));
}
