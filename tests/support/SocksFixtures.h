#pragma once

#include "tests/support/PeerProcess.h"

// microsocks (SOCKS 5 only) on 127.0.0.1:Port() (on ::1 for ipv6); with a
// user name it asks for user name and password.
class MicrosocksServer : public PeerProcess {
public:
    explicit MicrosocksServer(const QString &user = {}, const QString &password = {}, bool ipv6 = false);
};

// dante (SOCKS 4 and 5) on 127.0.0.1:Port(). Its rules let loopback clients
// reach 127.0.0.1 only, so a request for any other destination (127.0.0.2,
// say) is refused by the server without leaving the machine.
class DanteServer : public PeerProcess {
public:
    DanteServer();
};
