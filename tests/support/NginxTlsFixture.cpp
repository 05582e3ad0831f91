#include "tests/support/NginxTlsFixture.h"

NginxTlsServer::NginxTlsServer(const TestAuthority::Issued &certificate, const Options &options)
{
    if (options.tlsOnIPv6)
        ListenOnIPv6();
    StartNginx([&](std::uint16_t port) {
        plainPort_ = FreeLoopbackPort(options.plainOnIPv6);
        auto ports = [&](QString text) {
            return text.replace("$tls", QString::number(port)).replace("$plain", QString::number(plainPort_));
        };
        const auto listen = [&](std::uint16_t p, bool ipv6, const QString &tail) {
            QString lines = "listen " + QString(ipv6 ? "[::1]:" : "127.0.0.1:") + QString::number(p) + tail + ";";
            if (options.alsoOnIPv6 && !ipv6)
                lines += " listen [::1]:" + QString::number(p) + tail + ";";
            return lines;
        };
        const QString ciphers = options.ciphers.isEmpty() ? QString() : "ssl_ciphers " + options.ciphers + ";";
        return Fill(R"(server {
        {tls_listen}
        server_name localhost;
        root {folder}/www;
        ssl_certificate {certificate};
        ssl_certificate_key {key};
        ssl_protocols {protocols};
        ssl_session_cache off;
        ssl_session_tickets off;
        {ciphers}
        {tls_locations}
    }
    server {
        {plain_listen}
        server_name localhost;
        root {folder}/www;
        {plain_locations}
    })",
                    {{"tls_listen", listen(port, options.tlsOnIPv6, " ssl")},
                     {"plain_listen", listen(plainPort_, options.plainOnIPv6, "")},
                     {"folder", Folder()},
                     {"certificate", certificate.certificateFile},
                     {"key", certificate.keyFile},
                     {"protocols", options.protocols},
                     {"ciphers", ciphers},
                     {"tls_locations", ports(options.tlsLocations)},
                     {"plain_locations", ports(options.plainLocations)}});
    });
}
