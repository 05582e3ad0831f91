#pragma once

#include "tests/support/PeerProcess.h"

// tinyproxy on 127.0.0.1:Port() (on ::1 for ipv6), open to loopback clients
// only, logging into the temporary folder. extraConfig is added to the
// configuration as it is ("ConnectPort 443").
class TinyproxyServer : public PeerProcess {
public:
    explicit TinyproxyServer(const QString &extraConfig = {}, bool ipv6 = false);
    QStringList Log() const;
};
