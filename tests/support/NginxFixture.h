#pragma once

#include "tests/support/PeerProcess.h"

// nginx serving the folder Root() on 127.0.0.1:Port(), with its access log
// in the temporary folder. extraLocations goes into the server block as it is
// ("location = /r { return 302 /x; }").
class NginxServer : public PeerProcess {
public:
    explicit NginxServer(const QString &extraLocations = {});
    QString Root() const { return FilePath("www"); }
    // Puts a file under the served folder (name relative to it).
    void Serve(const QString &name, const QByteArray &bytes) const;
    // Lines of the access log so far.
    QStringList AccessLog() const;
};
