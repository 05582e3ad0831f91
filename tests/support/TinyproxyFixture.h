#pragma once

#include "tests/support/PeerProcess.h"

// tinyproxy on 127.0.0.1:Port(), open to loopback clients only, logging into
// the temporary folder. extraConfig is added to the configuration as it is
// ("ConnectPort 443").
class TinyproxyServer : public PeerProcess {
public:
    explicit TinyproxyServer(const QString &extraConfig = {});
    QStringList Log() const;
};
