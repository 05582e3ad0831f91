#pragma once

#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

// A throw-away certificate authority made by the test itself (P-256 keys,
// SHA-256 signatures), which issues server certificates for chosen names and
// validity periods and writes everything as PEM files into its own temporary
// folder.
class TestAuthority {
public:
    explicit TestAuthority(const std::string &commonName = "Quorvi Test CA");
    ~TestAuthority();
    TestAuthority(const TestAuthority &) = delete;
    TestAuthority &operator=(const TestAuthority &) = delete;

    // The authority's own certificate, to trust it.
    QString CertificateFile() const;

    struct Issued {
        QString certificateFile; // the server's certificate followed by the authority's
        QString keyFile;
    };
    // A server certificate; names are DNS names, or addresses ("127.0.0.1").
    // Validity runs from notBeforeDays to notAfterDays relative to now.
    Issued Issue(const std::string &fileStem, const std::vector<std::string> &names, int notBeforeDays = -1,
                 int notAfterDays = 30) const;

private:
    struct Keys;
    std::unique_ptr<Keys> k_;
    QTemporaryDir dir_;
};

// Points OpenSSL's default trust store at one file (and an empty folder) for
// its lifetime, and puts the previous settings back afterwards.
class TrustOnly {
public:
    explicit TrustOnly(const QString &caFile);
    ~TrustOnly();
    TrustOnly(const TrustOnly &) = delete;
    TrustOnly &operator=(const TrustOnly &) = delete;

private:
    QTemporaryDir emptyDir_;
    QByteArray oldFile_, oldDir_;
    bool hadFile_, hadDir_;
};
