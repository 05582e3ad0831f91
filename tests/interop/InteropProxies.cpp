#include "tests/interop/InteropProxies.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

std::unique_ptr<PeerProcess> StartSquid()
{
    return std::make_unique<StartedPeer>("squid", [](StartedPeer &peer, std::uint16_t port) {
        // Started as root, squid writes its logs as its own user.
        peer.ShareFolder(true);
        const QString config = QString(R"(http_port 127.0.0.1:%1
visible_hostname localhost
pid_filename %2/squid.pid
cache deny all
cache_mem 8 MB
access_log stdio:%2/access.log
cache_log %2/cache.log
cache_store_log none
coredump_dir %2
pinger_enable off
shutdown_lifetime 0 seconds
via off
forwarded_for delete
acl loopback src 127.0.0.1/32
acl forbidden dst 127.0.0.2/32
http_access deny forbidden
http_access allow loopback
http_access deny all
)")
                                   .arg(port)
                                   .arg(peer.Folder());
        peer.WriteFile("squid.conf", config.toUtf8());
        return QStringList{"-N", "-f", peer.FilePath("squid.conf")};
    });
}

std::unique_ptr<PeerProcess> StartProxyClosingOnConnect(std::uint16_t sitePort)
{
    return std::make_unique<StartedPeer>("haproxy", [&](StartedPeer &peer, std::uint16_t port) {
        const QString config = QString(R"(global
  maxconn 64
defaults
  mode http
  timeout connect 5s
  timeout client 30s
  timeout server 30s
frontend proxy
  bind 127.0.0.1:%1
  http-request reject if METH_CONNECT
  default_backend site
backend site
  server site 127.0.0.1:%2
)")
                                   .arg(port)
                                   .arg(sitePort);
        peer.WriteFile("haproxy.cfg", config.toUtf8());
        return QStringList{"-db", "-f", peer.FilePath("haproxy.cfg")};
    });
}

namespace {

void MakeKey(const PeerProcess &peer, const QString &name)
{
    const QString keygen = FindProgram("ssh-keygen");
    if (keygen.isEmpty())
        throw std::runtime_error("ssh-keygen is not installed (scripts/install-deps installs it)");
    QFile::remove(peer.FilePath(name));
    QFile::remove(peer.FilePath(name + ".pub"));
    if (QProcess::execute(keygen, {"-q", "-t", "ed25519", "-N", "", "-f", peer.FilePath(name)}) != 0)
        throw std::runtime_error("ssh-keygen could not make " + name.toStdString());
}

QString UserName()
{
    const passwd *pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString("root");
}

} // namespace

SshDynamicForward::SshDynamicForward()
{
    // sshd insists on its privilege separation folder, which the package
    // makes only when the service starts.
    if (::geteuid() == 0)
        QDir().mkpath("/run/sshd");
    QString clientKey;
    server_ = std::make_unique<StartedPeer>("sshd", [&](StartedPeer &peer, std::uint16_t port) {
        MakeKey(peer, "host_key");
        MakeKey(peer, "client_key");
        clientKey = peer.FilePath("client_key");
        peer.WriteFile("authorized_keys", peer.ReadFile("client_key.pub"));
        const QString config = QString(R"(ListenAddress 127.0.0.1
HostKey %1/host_key
AuthorizedKeysFile %1/authorized_keys
PidFile %1/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
AllowTcpForwarding yes
LogLevel ERROR
)")
                                   .arg(peer.Folder());
        peer.WriteFile("sshd_config", config.toUtf8());
        return QStringList{"-D", "-e", "-f", peer.FilePath("sshd_config"), "-p", QString::number(port)};
    });
    const std::uint16_t sshPort = server_->Port();
    client_ = std::make_unique<StartedPeer>("ssh", [&](StartedPeer &, std::uint16_t port) {
        return QStringList{"-N",
                           "-F",
                           "/dev/null",
                           "-D",
                           "127.0.0.1:" + QString::number(port),
                           "-o",
                           "BatchMode=yes",
                           "-o",
                           "StrictHostKeyChecking=no",
                           "-o",
                           "UserKnownHostsFile=/dev/null",
                           "-o",
                           "ExitOnForwardFailure=yes",
                           "-o",
                           "LogLevel=ERROR",
                           "-i",
                           clientKey,
                           "-p",
                           QString::number(sshPort),
                           UserName() + "@127.0.0.1"};
    });
}
