#include "tests/interop/InteropServers.h"

#include "tests/support/NginxFixture.h"
#include "tests/support/NginxTlsFixture.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <map>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// Configuration templates name their values {like_this}: the servers' own
// syntaxes already take $ (lighttpd) and bare braces (caddy, apache2).
QString Number(std::uint16_t port)
{
    return QString::number(port);
}

// Daemons started as root hand their workers to this user, which must then
// be able to read the served folder.
QString UnprivilegedUser()
{
    if (::geteuid() != 0)
        return {};
    return ::getpwnam("www-data") ? QString("www-data") : QString("nobody");
}

const QString kApacheModules = "/usr/lib/apache2/modules";

std::unique_ptr<WebServer> StartNginx(const TestAuthority::Issued &certificate, std::uint16_t cutPort)
{
    NginxTlsServer::Options options;
    const QString cut =
        cutPort ? QString("location = /cut { proxy_pass http://127.0.0.1:%1; }\n").arg(cutPort) : QString();
    options.plainLocations = "location = /chain { return 302 https://localhost:$tls/back; }\n" + cut;
    options.tlsLocations = "location = /back { return 302 http://127.0.0.1:$plain/page.htm; }\n" + cut;
    auto nginx = std::make_unique<NginxTlsServer>(certificate, options);
    SiteFiles::WriteInto(*nginx, "www");
    auto server = std::make_unique<WebServer>();
    server->plainPort = nginx->PlainPort();
    server->tlsPort = nginx->Port();
    server->processes.push_back(std::move(nginx));
    return server;
}

std::unique_ptr<WebServer> StartApache(const TestAuthority::Issued &certificate, std::uint16_t cutPort)
{
    // The plain side is the main server, with no virtual host of its own, as
    // in a stock installation moved to another port.
    auto server = std::make_unique<WebServer>();
    server->processes.push_back(std::make_unique<StartedPeer>("apache2", [&](StartedPeer &peer, std::uint16_t port) {
        peer.ShareFolder();
        SiteFiles::WriteInto(peer, "www");
        server->plainPort = port;
        server->tlsPort = FreeLoopbackPort();
        const QString user = UnprivilegedUser();
        const QString config =
            Fill(R"(ServerRoot "{folder}"
PidFile "{folder}/httpd.pid"
Mutex file:{folder} default
ServerName localhost
Listen 127.0.0.1:{plain}
Listen 127.0.0.1:{tls}
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule dir_module {modules}/mod_dir.so
LoadModule mime_module {modules}/mod_mime.so
LoadModule alias_module {modules}/mod_alias.so
LoadModule ssl_module {modules}/mod_ssl.so
LoadModule proxy_module {modules}/mod_proxy.so
LoadModule proxy_http_module {modules}/mod_proxy_http.so
{user}
ErrorLog "{folder}/error.log"
LogFormat "%h \"%r\" %>s" short
CustomLog "{folder}/access.log" short
TypesConfig /dev/null
AddType text/html .html .htm
DocumentRoot "{folder}/www"
DirectoryIndex index.html
<Directory "{folder}/www">
  Require all granted
</Directory>
Redirect 302 /chain https://localhost:{tls}/back
{cut}
<VirtualHost 127.0.0.1:{tls}>
  SSLEngine on
  SSLCertificateFile "{cert}"
  SSLCertificateKeyFile "{key}"
  Redirect 302 /back http://127.0.0.1:{plain}/page.htm
  {cut}
</VirtualHost>
)",
                 {{"folder", peer.Folder()},
                  {"modules", kApacheModules},
                  {"plain", Number(server->plainPort)},
                  {"tls", Number(server->tlsPort)},
                  {"user", user.isEmpty() ? QString() : QString("User %1\nGroup %1").arg(user)},
                  {"cut", cutPort ? QString("ProxyPass /cut http://127.0.0.1:%1/cut").arg(cutPort) : QString()},
                  {"cert", certificate.certificateFile},
                  {"key", certificate.keyFile}});
        peer.WriteFile("httpd.conf", config.toUtf8());
        return QStringList{"-f", peer.FilePath("httpd.conf"), "-DFOREGROUND"};
    }));
    server->processes.back()->AwaitPort(server->tlsPort);
    return server;
}

std::unique_ptr<WebServer> StartLighttpd(const TestAuthority::Issued &certificate, std::uint16_t cutPort)
{
    auto server = std::make_unique<WebServer>();
    server->processes.push_back(std::make_unique<StartedPeer>("lighttpd", [&](StartedPeer &peer, std::uint16_t port) {
        SiteFiles::WriteInto(peer, "www");
        server->plainPort = port;
        server->tlsPort = FreeLoopbackPort();
        const QString config = Fill(R"(server.modules = ("mod_redirect", "mod_proxy", "mod_openssl")
server.document-root = "{folder}/www"
server.bind = "127.0.0.1"
server.port = {plain}
server.pid-file = "{folder}/lighttpd.pid"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".htm" => "text/html", "" => "application/octet-stream")
url.redirect = ("^/chain$" => "https://localhost:{tls}/back", "^/back$" => "http://127.0.0.1:{plain}/page.htm")
$SERVER["socket"] == "127.0.0.1:{tls}" {
  ssl.engine = "enable"
  ssl.pemfile = "{cert}"
  ssl.privkey = "{key}"
}
{cut}
)",
                                    {{"folder", peer.Folder()},
                                     {"plain", Number(server->plainPort)},
                                     {"tls", Number(server->tlsPort)},
                                     {"cut", cutPort ? QString("$HTTP[\"url\"] == \"/cut\" { proxy.server = (\"\" => "
                                                               "((\"host\" => \"127.0.0.1\", \"port\" => %1))) }")
                                                           .arg(cutPort)
                                                     : QString()},
                                     {"cert", certificate.certificateFile},
                                     {"key", certificate.keyFile}});
        peer.WriteFile("lighttpd.conf", config.toUtf8());
        return QStringList{"-D", "-f", peer.FilePath("lighttpd.conf")};
    }));
    server->processes.back()->AwaitPort(server->tlsPort);
    return server;
}

std::unique_ptr<WebServer> StartCaddy(const TestAuthority::Issued &certificate, std::uint16_t cutPort)
{
    auto server = std::make_unique<WebServer>();
    server->processes.push_back(std::make_unique<StartedPeer>("caddy", [&](StartedPeer &peer, std::uint16_t port) {
        SiteFiles::WriteInto(peer, "www");
        server->plainPort = port;
        server->tlsPort = FreeLoopbackPort();
        // Caddy keeps certificates and state under the user's folders: keep
        // them in the temporary one.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", peer.Folder());
        environment.insert("XDG_DATA_HOME", peer.FilePath("data"));
        environment.insert("XDG_CONFIG_HOME", peer.FilePath("config"));
        peer.SetEnvironment(environment);
        const QString config =
            Fill(R"({
	admin off
	auto_https off
	log {
		output stderr
		level ERROR
	}
}
http://127.0.0.1:{plain} {
	bind 127.0.0.1
	root * {folder}/www
	redir /chain https://localhost:{tls}/back 302
	{cut}
	file_server
}
https://localhost:{tls} {
	bind 127.0.0.1
	tls {cert} {key}
	root * {folder}/www
	redir /back http://127.0.0.1:{plain}/page.htm 302
	{cut}
	file_server
}
)",
                 {{"folder", peer.Folder()},
                  {"plain", Number(server->plainPort)},
                  {"tls", Number(server->tlsPort)},
                  {"cut", cutPort ? QString("reverse_proxy /cut 127.0.0.1:%1").arg(cutPort) : QString()},
                  {"cert", certificate.certificateFile},
                  {"key", certificate.keyFile}});
        peer.WriteFile("Caddyfile", config.toUtf8());
        return QStringList{"run", "--config", peer.FilePath("Caddyfile"), "--adapter", "caddyfile"};
    }));
    server->processes.back()->AwaitPort(server->tlsPort);
    return server;
}

// haproxy terminates TLS and relocates itself; pages come from a plain nginx
// behind it.
std::unique_ptr<WebServer> StartHaproxy(const TestAuthority::Issued &certificate, std::uint16_t cutPort)
{
    auto server = std::make_unique<WebServer>();
    auto nginx = std::make_unique<NginxServer>();
    SiteFiles::WriteInto(*nginx, "www");
    const std::uint16_t nginxPort = nginx->Port();
    server->processes.push_back(std::move(nginx));
    server->processes.push_back(std::make_unique<StartedPeer>("haproxy", [&](StartedPeer &peer, std::uint16_t port) {
        server->plainPort = port;
        server->tlsPort = FreeLoopbackPort();
        QFile certificateFile(certificate.certificateFile), keyFile(certificate.keyFile);
        if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read the test certificate");
        peer.WriteFile("site.pem", certificateFile.readAll() + keyFile.readAll());
        const QString cut = cutPort ? QString("use_backend cut if { path /cut }") : QString();
        const QString config = Fill(R"(global
  maxconn 64
defaults
  mode http
  timeout connect 5s
  timeout client 30s
  timeout server 30s
frontend plain
  bind 127.0.0.1:{plain}
  http-request redirect location https://localhost:{tls}/back code 302 if { path /chain }
  {cut}
  default_backend site
frontend secure
  bind 127.0.0.1:{tls} ssl crt {folder}/site.pem
  http-request redirect location http://127.0.0.1:{plain}/page.htm code 302 if { path /back }
  {cut}
  default_backend site
backend site
  server nginx 127.0.0.1:{nginx}
backend cut
  server scripted 127.0.0.1:{cutport}
)",
                                    {{"folder", peer.Folder()},
                                     {"plain", Number(server->plainPort)},
                                     {"tls", Number(server->tlsPort)},
                                     {"nginx", Number(nginxPort)},
                                     {"cut", cut},
                                     {"cutport", Number(cutPort ? cutPort : nginxPort)}});
        peer.WriteFile("haproxy.cfg", config.toUtf8());
        return QStringList{"-db", "-f", peer.FilePath("haproxy.cfg")};
    }));
    server->processes.back()->AwaitPort(server->tlsPort);
    return server;
}

// A CGI script that promises 100,000 bytes and ends after 1,000: the server
// passes its answer on as it comes, and the connection ends with the script.
void WriteCutScript(const PeerProcess &peer)
{
    QDir(peer.Folder()).mkpath("www/cgi-bin");
    peer.WriteFile("www/cgi-bin/cut", "#!/bin/sh\n"
                                      "printf 'Content-Type: application/octet-stream\\r\\n'\n"
                                      "printf 'Content-Length: 100000\\r\\n\\r\\n'\n"
                                      "head -c 1000 /dev/zero | tr '\\0' x\n");
    QFile::setPermissions(peer.FilePath("www/cgi-bin/cut"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
}

std::unique_ptr<WebServer> StartPython()
{
    auto server = std::make_unique<WebServer>();
    server->processes.push_back(std::make_unique<StartedPeer>("python3", [](StartedPeer &peer, std::uint16_t port) {
        SiteFiles::WriteInto(peer, "www");
        WriteCutScript(peer);
        return QStringList{"-m",          "http.server",        "--cgi",     "--bind", "127.0.0.1",
                           "--directory", peer.FilePath("www"), Number(port)};
    }));
    server->plainPort = server->processes.back()->Port();
    server->cutPath = "/cgi-bin/cut";
    server->cutFromBackend = false;
    return server;
}

std::unique_ptr<WebServer> StartBusybox()
{
    auto server = std::make_unique<WebServer>();
    server->processes.push_back(std::make_unique<StartedPeer>("busybox", [](StartedPeer &peer, std::uint16_t port) {
        SiteFiles::WriteInto(peer, "www");
        WriteCutScript(peer);
        return QStringList{"httpd", "-f", "-p", "127.0.0.1:" + Number(port), "-h", peer.FilePath("www")};
    }));
    server->plainPort = server->processes.back()->Port();
    server->cutPath = "/cgi-bin/cut";
    server->cutFromBackend = false;
    return server;
}

// gnutls-serv has no choice of listening address: it listens on every one,
// though the tests only ever reach it on 127.0.0.1.
std::unique_ptr<WebServer> StartGnutls(const TestAuthority::Issued &certificate, const QString &priority)
{
    auto server = std::make_unique<WebServer>();
    for (const char *file : {"page.htm", "large.bin"}) {
        server->processes.push_back(
            std::make_unique<StartedPeer>("gnutls-serv", [&](StartedPeer &peer, std::uint16_t port) {
                SiteFiles::WriteInto(peer, "");
                return QStringList{"--http",
                                   "--httpdata=" + peer.FilePath(file),
                                   "-p",
                                   Number(port),
                                   "--x509certfile",
                                   certificate.certificateFile,
                                   "--x509keyfile",
                                   certificate.keyFile,
                                   "--priority=" + priority,
                                   "--disable-client-cert",
                                   "--nodb",
                                   "--quiet"};
            }));
    }
    server->tlsPort = server->processes.front()->Port();
    server->largeTlsPort = server->processes.back()->Port();
    return server;
}

std::unique_ptr<WebServer> StartOpensslWww(const TestAuthority::Issued &certificate, const QString &protocol)
{
    auto server = std::make_unique<WebServer>();
    server->processes.push_back(std::make_unique<StartedPeer>("openssl", [&](StartedPeer &peer, std::uint16_t port) {
        SiteFiles::WriteInto(peer, "");
        return QStringList{"s_server",
                           "-accept",
                           "127.0.0.1:" + Number(port),
                           "-cert",
                           certificate.certificateFile,
                           "-key",
                           certificate.keyFile,
                           "-WWW",
                           protocol,
                           "-quiet"};
    }));
    server->tlsPort = server->processes.back()->Port();
    return server;
}

} // namespace

const QByteArray &SiteFiles::Page()
{
    static const QByteArray page = "<html><body>\r\nQuorvi visits a server of the system\r\n</body></html>\r\n";
    return page;
}

const QByteArray &SiteFiles::Large()
{
    static const QByteArray large = NoiseBytes(10 * 1024 * 1024);
    return large;
}

const QByteArray &SiteFiles::FolderIndex()
{
    static const QByteArray index = "<html><body>the folder's index</body></html>\n";
    return index;
}

void SiteFiles::WriteInto(const PeerProcess &peer, const QString &folder)
{
    const QString prefix = folder.isEmpty() ? QString() : folder + "/";
    QDir(peer.Folder()).mkpath(prefix + "dir");
    peer.WriteFile(prefix + "page.htm", Page());
    peer.WriteFile(prefix + "large.bin", Large());
    peer.WriteFile(prefix + "dir/index.html", FolderIndex());
}

std::string WebServer::PlainUrl(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(plainPort) + path;
}

std::string WebServer::TlsUrl(const std::string &path) const
{
    const std::uint16_t port = largeTlsPort && path == "/large.bin" ? largeTlsPort : tlsPort;
    return "https://localhost:" + std::to_string(port) + path;
}

const std::vector<std::string> &ServerKinds()
{
    static const std::vector<std::string> kinds = {
        "nginx",         "apache2",     "lighttpd",          "caddy",         "haproxy",      "python_http",
        "busybox_httpd", "gnutls_serv", "gnutls_serv_tls12", "openssl_tls12", "openssl_tls13"};
    return kinds;
}

ServerTraits TraitsOf(const std::string &kind)
{
    if (kind == "nginx" || kind == "apache2" || kind == "lighttpd" || kind == "caddy")
        return {true, true, true, true, true};
    if (kind == "haproxy")
        return {true, true, true, false, true};
    if (kind == "python_http" || kind == "busybox_httpd")
        return {true, false, false, true, true};
    if (kind == "gnutls_serv" || kind == "gnutls_serv_tls12" || kind == "openssl_tls12" || kind == "openssl_tls13")
        return {false, true, false, false, false};
    throw std::invalid_argument("no server " + kind);
}

std::unique_ptr<WebServer> StartWebServer(const std::string &kind, const TestAuthority::Issued &certificate,
                                          std::uint16_t cutPort)
{
    std::unique_ptr<WebServer> server;
    if (kind == "nginx")
        server = StartNginx(certificate, cutPort);
    else if (kind == "apache2")
        server = StartApache(certificate, cutPort);
    else if (kind == "lighttpd")
        server = StartLighttpd(certificate, cutPort);
    else if (kind == "caddy")
        server = StartCaddy(certificate, cutPort);
    else if (kind == "haproxy")
        server = StartHaproxy(certificate, cutPort);
    else if (kind == "python_http")
        server = StartPython();
    else if (kind == "busybox_httpd")
        server = StartBusybox();
    else if (kind == "gnutls_serv")
        server = StartGnutls(certificate, "NORMAL");
    else if (kind == "gnutls_serv_tls12")
        server = StartGnutls(certificate, "NORMAL:-VERS-ALL:+VERS-TLS1.2");
    else if (kind == "openssl_tls12")
        server = StartOpensslWww(certificate, "-tls1_2");
    else if (kind == "openssl_tls13")
        server = StartOpensslWww(certificate, "-tls1_3");
    else
        throw std::invalid_argument("no server " + kind);
    server->traits = TraitsOf(kind);
    return server;
}
