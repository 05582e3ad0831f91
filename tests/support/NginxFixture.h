#pragma once

#include "tests/support/PeerProcess.h"

#include <functional>

// What every nginx of the tests shares: the folder Root() it serves, its
// access log in the temporary folder, and the configuration around the
// server blocks a fixture writes.
class NginxPeer : public PeerProcess {
public:
    QString Root() const { return FilePath("www"); }
    // Puts a file under the served folder (name relative to it).
    void Serve(const QString &name, const QByteArray &bytes) const;
    // Lines of the access log so far.
    QStringList AccessLog() const;

protected:
    NginxPeer() = default;
    // Starts nginx with the server blocks servers(port) returns for the
    // listening port the start picked.
    void StartNginx(const std::function<QString(std::uint16_t port)> &servers);
};

// nginx serving the folder Root() on 127.0.0.1:Port() (and [::1]:Port() too
// with alsoIPv6, so that "localhost" answers at its first address).
// extraLocations goes into the server block as it is ("location = /r {
// return 302 /x; }").
class NginxServer : public NginxPeer {
public:
    explicit NginxServer(const QString &extraLocations = {}, bool alsoIPv6 = false);
};
