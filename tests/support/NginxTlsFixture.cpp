#include "tests/support/NginxTlsFixture.h"

#include <QDir>
#include <QFileInfo>
#include <pwd.h>
#include <unistd.h>

NginxTlsServer::NginxTlsServer(const TestAuthority::Issued &certificate, const Options &options)
{
    QDir(Folder()).mkpath("www");
    QDir(Folder()).mkpath("temp");
    Start("nginx", [&](std::uint16_t port) {
        plainPort_ = FreeLoopbackPort();
        QString user;
        if (::geteuid() == 0)
            if (const passwd *pw = ::getpwuid(0))
                user = QString("user %1;\n").arg(QString::fromLocal8Bit(pw->pw_name));
        auto ports = [&](QString text) {
            return text.replace("$tls", QString::number(port)).replace("$plain", QString::number(plainPort_));
        };
        const QString ciphers = options.ciphers.isEmpty() ? QString() : "ssl_ciphers " + options.ciphers + ";";
        const QString folder = Folder();
        const QString config = user + QString(R"(daemon off;
master_process off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/error.log warn;
events { worker_connections 64; }
http {
    access_log %1/access.log;
    client_body_temp_path %1/temp/body;
    proxy_temp_path %1/temp/proxy;
    fastcgi_temp_path %1/temp/fastcgi;
    uwsgi_temp_path %1/temp/uwsgi;
    scgi_temp_path %1/temp/scgi;
    default_type application/octet-stream;
    types { text/html htm html; text/plain txt; }
    server {
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
    }
}
)")
                                          .arg(folder)
                                          .arg(port)
                                          .arg(certificate.certificateFile, certificate.keyFile, options.protocols,
                                               ciphers, ports(options.tlsLocations))
                                          .arg(plainPort_)
                                          .arg(ports(options.plainLocations));
        WriteFile("nginx.conf", config.toUtf8());
        return QStringList{"-p", folder, "-c", FilePath("nginx.conf"), "-e", FilePath("error.log")};
    });
}

void NginxTlsServer::Serve(const QString &name, const QByteArray &bytes) const
{
    const QString path = "www/" + name;
    QDir(Folder()).mkpath(QFileInfo(FilePath(path)).path());
    WriteFile(path, bytes);
}

QStringList NginxTlsServer::AccessLog() const
{
    return QString::fromUtf8(ReadFile("access.log")).split('\n', Qt::SkipEmptyParts);
}
