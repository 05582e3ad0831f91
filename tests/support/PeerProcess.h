#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

struct sockaddr_storage;

// A real server program (nginx, tinyproxy, ...) started for a test on
// 127.0.0.1 with a configuration written into a temporary folder, and ended
// in the destructor. A missing program or one that does not come up raises
// std::runtime_error: a test that needs a peer fails without it, it does not
// skip.
class PeerProcess {
public:
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;
    virtual ~PeerProcess();

    std::uint16_t Port() const { return port_; }
    QString PortText() const { return QString::number(port_); }
    // The temporary folder that holds the configuration, logs and data.
    QString Folder() const { return dir_.path(); }
    QString FilePath(const QString &name) const { return dir_.filePath(name); }
    void WriteFile(const QString &name, const QByteArray &bytes) const;
    QByteArray ReadFile(const QString &name) const;
    // What the program wrote on its output and error channels, for failure messages.
    QString Output();
    // Waits until something accepts connections on another port the peer
    // was given; raises std::runtime_error when nothing does in time.
    void AwaitPort(std::uint16_t port, int timeoutMs = 5000);
    // Lets daemons that hand their work to an unprivileged user (apache2,
    // squid) into the temporary folder: read-only, or writable too for those
    // that write their logs after giving up root.
    void ShareFolder(bool writable = false) const;
    // Feeds the program's standard input, for peers that send what they read.
    void WriteInput(const QByteArray &bytes);
    void CloseInput();

protected:
    PeerProcess() = default;
    // For the next Start: the program listens on ::1 instead of 127.0.0.1.
    void ListenOnIPv6() { ipv6_ = true; }
    // For the next Start; by default the program gets the test's environment.
    void SetEnvironment(const QProcessEnvironment &environment) { environment_ = environment; }
    // Picks a free port, lets prepare write the configuration for it and
    // return the arguments, and starts the program; retries on another port
    // when the program does not come up.
    void Start(const QString &program, const std::function<QStringList(std::uint16_t port)> &prepare);

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    std::uint16_t port_ = 0;
    bool ipv6_ = false;
    QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
};

// Any server program as a peer, configured by the caller: prepare writes what
// the program needs into the peer's folder for the port picked and returns
// the arguments. Further ports it picks itself (FreeLoopbackPort) and waits
// for with AwaitPort once the peer is up.
class StartedPeer : public PeerProcess {
public:
    using Prepare = std::function<QStringList(StartedPeer &peer, std::uint16_t port)>;
    StartedPeer(const QString &program, const Prepare &prepare);
    // From prepare, for a program that keeps state under HOME or the like.
    using PeerProcess::SetEnvironment;
};

// Path of a program in the usual system folders, or an empty text.
QString FindProgram(const QString &name);
// A configuration text with each "{name}" replaced by its value.
QString Fill(QString text, const std::map<QString, QString> &values);
// The loopback address of a family (::1 for ipv6) with the port; returns its length.
unsigned LoopbackAddress(sockaddr_storage &where, std::uint16_t port, bool ipv6);
// A port that was free a moment ago on 127.0.0.1 (on ::1 for ipv6).
std::uint16_t FreeLoopbackPort(bool ipv6 = false);
// True when something accepts connections on 127.0.0.1:port ([::1]:port).
bool LoopbackPortAnswers(std::uint16_t port, bool ipv6 = false);
