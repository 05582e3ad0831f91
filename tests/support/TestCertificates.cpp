#include "tests/support/TestCertificates.h"

#include <QFile>
#include <cstdlib>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace {

EVP_PKEY *NewKey()
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    if (!key)
        throw std::runtime_error("cannot make a test key");
    return key;
}

void AddExtension(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        throw std::runtime_error(std::string("cannot make extension ") + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509 *NewCertificate(const std::string &commonName, EVP_PKEY *key, long serial, int notBeforeDays, int notAfterDays)
{
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), static_cast<long>(notBeforeDays) * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(notAfterDays) * 86400);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName.c_str()),
                               -1, -1, 0);
    return cert;
}

std::string Pem(X509 *cert)
{
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(len));
    BIO_free(bio);
    return text;
}

std::string Pem(EVP_PKEY *key)
{
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(len));
    BIO_free(bio);
    return text;
}

void WriteText(const QString &path, const std::string &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) < 0)
        throw std::runtime_error("cannot write " + path.toStdString());
}

bool LooksLikeAddress(const std::string &name)
{
    return !name.empty() && name.find_first_not_of("0123456789.:") == std::string::npos;
}

} // namespace

struct TestAuthority::Keys {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    std::string certPem;
    mutable long serial = 1;
    ~Keys()
    {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

TestAuthority::TestAuthority(const std::string &commonName) : k_(std::make_unique<Keys>())
{
    k_->key = NewKey();
    k_->cert = NewCertificate(commonName, k_->key, k_->serial++, -1, 365);
    X509_set_issuer_name(k_->cert, X509_get_subject_name(k_->cert));
    AddExtension(k_->cert, k_->cert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(k_->cert, k_->cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(k_->cert, k_->cert, NID_subject_key_identifier, "hash");
    X509_sign(k_->cert, k_->key, EVP_sha256());
    k_->certPem = Pem(k_->cert);
    WriteText(CertificateFile(), k_->certPem);
}

TestAuthority::~TestAuthority() = default;

QString TestAuthority::CertificateFile() const
{
    return dir_.filePath("ca.pem");
}

TestAuthority::Issued TestAuthority::Issue(const std::string &fileStem, const std::vector<std::string> &names,
                                           int notBeforeDays, int notAfterDays) const
{
    EVP_PKEY *key = NewKey();
    X509 *cert =
        NewCertificate(names.empty() ? "server" : names.front(), key, k_->serial++, notBeforeDays, notAfterDays);
    X509_set_issuer_name(cert, X509_get_subject_name(k_->cert));
    std::string san;
    for (const std::string &name : names)
        san += (san.empty() ? "" : ",") + std::string(LooksLikeAddress(name) ? "IP:" : "DNS:") + name;
    if (!san.empty())
        AddExtension(cert, k_->cert, NID_subject_alt_name, san.c_str());
    AddExtension(cert, k_->cert, NID_basic_constraints, "CA:FALSE");
    AddExtension(cert, k_->cert, NID_ext_key_usage, "serverAuth");
    AddExtension(cert, k_->cert, NID_authority_key_identifier, "keyid");
    X509_sign(cert, k_->key, EVP_sha256());
    Issued issued{dir_.filePath(QString::fromStdString(fileStem) + ".crt"),
                  dir_.filePath(QString::fromStdString(fileStem) + ".key")};
    WriteText(issued.certificateFile, Pem(cert) + k_->certPem);
    WriteText(issued.keyFile, Pem(key));
    X509_free(cert);
    EVP_PKEY_free(key);
    return issued;
}

TrustOnly::TrustOnly(const QString &caFile)
    : oldFile_(qgetenv("SSL_CERT_FILE")), oldDir_(qgetenv("SSL_CERT_DIR")),
      hadFile_(qEnvironmentVariableIsSet("SSL_CERT_FILE")), hadDir_(qEnvironmentVariableIsSet("SSL_CERT_DIR"))
{
    qputenv("SSL_CERT_FILE", caFile.toLocal8Bit());
    qputenv("SSL_CERT_DIR", emptyDir_.path().toLocal8Bit());
}

TrustOnly::~TrustOnly()
{
    if (hadFile_)
        qputenv("SSL_CERT_FILE", oldFile_);
    else
        qunsetenv("SSL_CERT_FILE");
    if (hadDir_)
        qputenv("SSL_CERT_DIR", oldDir_);
    else
        qunsetenv("SSL_CERT_DIR");
}
