#pragma once

#include "tests/support/PeerProcess.h"
#include "tests/support/TestCertificates.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What every server serves: a small page, a 10 MiB file of noise, and a
// folder whose index is reached through a relocation when asked for without
// its slash.
struct SiteFiles {
    static const QByteArray &Page();
    static const QByteArray &Large();
    static const QByteArray &FolderIndex();
    // page.htm, large.bin and dir/index.html under the peer's folder
    // (folder "" for its top).
    static void WriteInto(const PeerProcess &peer, const QString &folder);
};

// What a server can be asked beyond its files, and so which cases apply to it.
struct ServerTraits {
    bool plain = false;
    bool tls = false;
    // /chain on the plain side relocates to https://localhost:<tls>/back,
    // which relocates to http://127.0.0.1:<plain>/page.htm.
    bool chain = false;
    // /dir relocates to /dir/.
    bool folder = false;
    // An answer cut short at CutPath(): passed on from a backend of the
    // test's own, or written by a CGI script of the server's.
    bool cut = false;
};

// A web server as a test meets it: what it can do, where it listens, and the
// processes it took (a server in front of another is several), all ended
// when it goes.
class WebServer {
public:
    ServerTraits traits;
    std::uint16_t plainPort = 0;
    std::uint16_t tlsPort = 0;
    // gnutls-serv answers every path with one file: it takes one process per file.
    std::uint16_t largeTlsPort = 0;
    std::vector<std::unique_ptr<PeerProcess>> processes;
    // Where the answer cut short is, and whether the backend gives it.
    std::string cutPath = "/cut";
    bool cutFromBackend = true;

    std::string PlainUrl(const std::string &path) const;
    std::string TlsUrl(const std::string &path) const;
};

// The servers of the suite, by the names the test cases carry.
const std::vector<std::string> &ServerKinds();
ServerTraits TraitsOf(const std::string &kind);
// Starts a server of the kind with a certificate for localhost and
// 127.0.0.1; cutPort, when not 0, is where /cut goes.
std::unique_ptr<WebServer> StartWebServer(const std::string &kind, const TestAuthority::Issued &certificate,
                                          std::uint16_t cutPort = 0);
