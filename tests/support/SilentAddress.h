#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A loopback address and port that take a connection attempt and never
// answer it, as a broken IPv6 route does: a listener with a backlog of 0
// whose queue is filled and never accepted, so the kernel drops every
// further handshake without a word. Made beside a port that is in use on
// the other family (127.0.0.1:P and [::1]:P), so that "localhost:P" names
// the silent address first and the live one second.
class SilentAddress {
public:
    // address: "::1" or "127.0.0.1". port 0 takes any free port.
    explicit SilentAddress(const std::string &address = "::1", std::uint16_t port = 0);
    ~SilentAddress();
    SilentAddress(const SilentAddress &) = delete;
    SilentAddress &operator=(const SilentAddress &) = delete;

    // False when the port was taken on this family or the queue never filled.
    bool Ready() const { return ready_; }
    std::uint16_t Port() const { return port_; }

private:
    int listenFd_ = -1;
    std::vector<int> fillers_;
    std::uint16_t port_ = 0;
    bool ready_ = false;
};
