#pragma once

#include "tests/support/PeerProcess.h"

#include <memory>

// squid as a plain HTTP proxy on 127.0.0.1:Port(): no cache, loopback
// clients only, CONNECT to any port; it refuses every request for
// 127.0.0.2, so a refusal can be had without leaving the machine.
std::unique_ptr<PeerProcess> StartSquid();

// haproxy as an HTTP proxy for one site (plain requests go to 127.0.0.1:
// sitePort, whatever host they name) that closes the connection on CONNECT
// without a word, as a filtering proxy may.
std::unique_ptr<PeerProcess> StartProxyClosingOnConnect(std::uint16_t sitePort);

// OpenSSH's dynamic forwarding: a throw-away sshd with its own host key and
// one authorized key for the current user, and `ssh -N -D` logged into it
// with that key. Port() of the result is the SOCKS port.
class SshDynamicForward {
public:
    SshDynamicForward();
    std::uint16_t Port() const { return client_->Port(); }

private:
    std::unique_ptr<PeerProcess> server_;
    std::unique_ptr<PeerProcess> client_;
};
