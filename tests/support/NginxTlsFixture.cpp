#include "tests/support/NginxTlsFixture.h"

NginxTlsServer::NginxTlsServer(const TestAuthority::Issued &certificate, const Options &options)
{
    StartNginx([&](std::uint16_t port) {
        plainPort_ = FreeLoopbackPort();
        auto ports = [&](QString text) {
            return text.replace("$tls", QString::number(port)).replace("$plain", QString::number(plainPort_));
        };
        const QString ciphers = options.ciphers.isEmpty() ? QString() : "ssl_ciphers " + options.ciphers + ";";
        return QString(R"(server {
        listen 127.0.0.1:%2 ssl;
        server_name localhost;
        root %1/www;
        ssl_certificate %3;
        ssl_certificate_key %4;
        ssl_protocols %5;
        ssl_session_cache off;
        ssl_session_tickets off;
        %6
        %7
    }
    server {
        listen 127.0.0.1:%8;
        server_name localhost;
        root %1/www;
        %9
    })")
            .arg(Folder())
            .arg(port)
            .arg(certificate.certificateFile, certificate.keyFile, options.protocols, ciphers,
                 ports(options.tlsLocations))
            .arg(plainPort_)
            .arg(ports(options.plainLocations));
    });
}
