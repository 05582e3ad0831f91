#include "tests/support/NginxFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <pwd.h>
#include <unistd.h>

void NginxPeer::StartNginx(const std::function<QString(std::uint16_t port)> &servers)
{
    QDir(Folder()).mkpath("www");
    QDir(Folder()).mkpath("temp");
    Start("nginx", [&](std::uint16_t port) {
        // As root nginx would hand its workers to "nobody", who cannot read
        // the private temporary folder.
        QString user;
        if (::geteuid() == 0)
            if (const passwd *pw = ::getpwuid(0))
                user = QString("user %1;\n").arg(QString::fromLocal8Bit(pw->pw_name));
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
    %2
}
)")
                                          .arg(folder, servers(port));
        WriteFile("nginx.conf", config.toUtf8());
        return QStringList{"-p", folder, "-c", FilePath("nginx.conf"), "-e", FilePath("error.log")};
    });
}

void NginxPeer::Serve(const QString &name, const QByteArray &bytes) const
{
    const QString path = "www/" + name;
    QDir(Folder()).mkpath(QFileInfo(FilePath(path)).path());
    WriteFile(path, bytes);
}

QStringList NginxPeer::AccessLog() const
{
    // nginx writes a request's line after it has sent the answer, and a
    // client that stops at Content-Length may be done before that: the log
    // is read once it has stopped growing for a moment (bounded).
    QByteArray log = ReadFile("access.log");
    for (int i = 0, quiet = 0; i < 50 && quiet < 3; ++i) {
        QThread::msleep(10);
        const QByteArray again = ReadFile("access.log");
        quiet = again == log ? quiet + 1 : 0;
        log = again;
    }
    return QString::fromUtf8(log).split('\n', Qt::SkipEmptyParts);
}

NginxServer::NginxServer(const QString &extraLocations, bool alsoIPv6)
{
    StartNginx([&](std::uint16_t port) {
        return QString(R"(server {
        listen 127.0.0.1:%1;
        %4
        server_name localhost;
        root %2/www;
        %3
    })")
            .arg(port)
            .arg(Folder(), extraLocations,
                 alsoIPv6 ? QStringLiteral("listen [::1]:%1 ipv6only=on;").arg(port) : QString());
    });
}
