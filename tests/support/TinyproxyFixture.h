#pragma once

#include "tests/support/PeerProcess.h"

// tinyproxy on 127.0.0.1:Port(), open to loopback clients only, logging into
// the temporary folder.
class TinyproxyServer : public PeerProcess {
public:
    TinyproxyServer();
    QStringList Log() const;
};
