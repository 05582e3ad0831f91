#include "tests/support/TinyproxyFixture.h"

#include <pwd.h>
#include <unistd.h>

TinyproxyServer::TinyproxyServer(const QString &extraConfig, bool ipv6)
{
    if (ipv6)
        ListenOnIPv6();
    Start("tinyproxy", [&](std::uint16_t port) {
        QString user;
        if (::geteuid() == 0)
            if (const passwd *pw = ::getpwuid(0))
                user = QString("User %1\nGroup %1\n").arg(QString::fromLocal8Bit(pw->pw_name));
        const QString config = user +
                               QString(R"(Port %1
Listen %3
Timeout 30
LogFile "%2/tinyproxy.log"
LogLevel Info
MaxClients 20
Allow %3
DisableViaHeader Yes
)")
                                   .arg(port)
                                   .arg(Folder())
                                   .arg(ipv6 ? "::1" : "127.0.0.1") +
                               extraConfig;
        WriteFile("tinyproxy.conf", config.toUtf8());
        return QStringList{"-d", "-c", FilePath("tinyproxy.conf")};
    });
}

QStringList TinyproxyServer::Log() const
{
    return QString::fromUtf8(ReadFile("tinyproxy.log")).split('\n', Qt::SkipEmptyParts);
}
