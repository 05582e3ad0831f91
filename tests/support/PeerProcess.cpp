#include "tests/support/PeerProcess.h"

#include <QFile>
#include <QFileDevice>
#include <QStandardPaths>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

QString FindProgram(const QString &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"});
    return path;
}

QString Fill(QString text, const std::map<QString, QString> &values)
{
    for (const auto &[name, value] : values)
        text.replace("{" + name + "}", value);
    return text;
}

unsigned LoopbackAddress(sockaddr_storage &where, std::uint16_t port, bool ipv6)
{
    where = {};
    if (ipv6) {
        auto &sin6 = reinterpret_cast<sockaddr_in6 &>(where);
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(port);
        sin6.sin6_addr = in6addr_loopback;
        return sizeof sin6;
    }
    auto &sin = reinterpret_cast<sockaddr_in &>(where);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof sin;
}

std::uint16_t FreeLoopbackPort(bool ipv6)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_storage where;
    socklen_t len = LoopbackAddress(where, 0, ipv6);
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&where), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&where), &len) == 0)
        port = ntohs(reinterpret_cast<sockaddr_in &>(where).sin_port); // at the same place in both
    ::close(fd);
    return port;
}

bool LoopbackPortAnswers(std::uint16_t port, bool ipv6)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_storage where;
    const socklen_t len = LoopbackAddress(where, port, ipv6);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&where), len) == 0;
    ::close(fd);
    return ok;
}

PeerProcess::~PeerProcess()
{
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(3000)) {
            process_->kill();
            process_->waitForFinished(3000);
        }
    }
}

void PeerProcess::WriteFile(const QString &name, const QByteArray &bytes) const
{
    QFile file(dir_.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + file.fileName().toStdString());
}

QByteArray PeerProcess::ReadFile(const QString &name) const
{
    QFile file(dir_.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString PeerProcess::Output()
{
    return process_ ? QString::fromLocal8Bit(process_->readAll()) : QString();
}

void PeerProcess::Start(const QString &program, const std::function<QStringList(std::uint16_t port)> &prepare)
{
    const QString path = FindProgram(program);
    if (path.isEmpty())
        throw std::runtime_error(program.toStdString() + " is not installed (scripts/install-deps installs it)");
    if (!dir_.isValid())
        throw std::runtime_error("no temporary folder for " + program.toStdString());
    QString lastOutput;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeLoopbackPort(ipv6_);
        const QStringList arguments = prepare(port_);
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        process_->setWorkingDirectory(dir_.path());
        process_->setProcessEnvironment(environment_);
        // A test that dies (a crash, CTest's time-out) must not leave its
        // peers running.
        process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process_->start(path, arguments);
        if (!process_->waitForStarted(5000))
            throw std::runtime_error("cannot start " + path.toStdString());
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until && process_->state() == QProcess::Running) {
            if (LoopbackPortAnswers(port_, ipv6_))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // Another process may have taken the port meanwhile: try another one.
        process_->kill();
        process_->waitForFinished(3000);
        lastOutput = Output();
    }
    throw std::runtime_error(program.toStdString() + " did not come up: " + lastOutput.toStdString());
}

void PeerProcess::AwaitPort(std::uint16_t port, int timeoutMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!LoopbackPortAnswers(port)) {
        if (std::chrono::steady_clock::now() >= until || !process_ || process_->state() != QProcess::Running)
            throw std::runtime_error("nothing answers on port " + std::to_string(port) + ": " + Output().toStdString());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PeerProcess::ShareFolder(bool writable) const
{
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther;
    if (writable)
        permissions |= QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (!QFile::setPermissions(dir_.path(), permissions))
        throw std::runtime_error("cannot open " + dir_.path().toStdString() + " to other users");
}

void PeerProcess::WriteInput(const QByteArray &bytes)
{
    if (process_ && process_->write(bytes) == bytes.size())
        process_->waitForBytesWritten(3000);
}

void PeerProcess::CloseInput()
{
    if (process_)
        process_->closeWriteChannel();
}

StartedPeer::StartedPeer(const QString &program, const Prepare &prepare)
{
    Start(program, [&](std::uint16_t port) { return prepare(*this, port); });
}
