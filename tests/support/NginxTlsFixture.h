#pragma once

#include "tests/support/NginxFixture.h"
#include "tests/support/TestCertificates.h"

// nginx speaking TLS on 127.0.0.1:Port() with a certificate of the test's
// own authority, and plain HTTP on 127.0.0.1:PlainPort(), both serving the
// folder Root(). The location texts go into the server blocks as they are;
// "$tls" and "$plain" in them are replaced by the two ports, so each side can
// send a visitor to the other.
class NginxTlsServer : public NginxPeer {
public:
    struct Options {
        QString tlsLocations;
        QString plainLocations;
        QString protocols = "TLSv1.2 TLSv1.3";
        QString ciphers; // nginx's default when empty
        // Where each side listens: 127.0.0.1, or ::1 when set.
        bool tlsOnIPv6 = false;
        bool plainOnIPv6 = false;
        // Each side on 127.0.0.1 listens on ::1 as well, the same port.
        bool alsoOnIPv6 = false;
    };
    NginxTlsServer(const TestAuthority::Issued &certificate, const Options &options);
    explicit NginxTlsServer(const TestAuthority::Issued &certificate) : NginxTlsServer(certificate, Options{}) {}
    std::uint16_t PlainPort() const { return plainPort_; }
    QString PlainPortText() const { return QString::number(plainPort_); }

private:
    std::uint16_t plainPort_ = 0;
};
