#include "tests/support/SocksFixtures.h"

#include <unistd.h>

MicrosocksServer::MicrosocksServer(const QString &user, const QString &password, bool ipv6)
{
    if (ipv6)
        ListenOnIPv6();
    Start("microsocks", [&](std::uint16_t port) {
        QStringList args{"-i", ipv6 ? "::1" : "127.0.0.1", "-p", QString::number(port)};
        if (!user.isEmpty())
            args << "-u" << user << "-P" << password;
        return args;
    });
}

DanteServer::DanteServer()
{
    Start("danted", [&](std::uint16_t port) {
        QString config = QString("logoutput: %1/danted.log\n"
                                 "internal: 127.0.0.1 port = %2\n"
                                 "external: 127.0.0.1\n"
                                 "clientmethod: none\n"
                                 "socksmethod: none\n")
                             .arg(Folder())
                             .arg(port);
        if (::geteuid() == 0)
            config += "user.privileged: root\nuser.unprivileged: nobody\n";
        config += "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                  "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.1/32\n  command: connect\n  protocol: tcp\n}\n";
        WriteFile("danted.conf", config.toUtf8());
        return QStringList{"-f", FilePath("danted.conf"), "-N", "1"};
    });
}
