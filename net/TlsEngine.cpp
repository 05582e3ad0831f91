#include "net/TlsEngine.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <mutex>

namespace {

struct CtxFree {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};

std::string EnvText(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// One context serves every session while the trust store settings stay the
// same: loading the system's bundle of authorities costs more than a whole
// handshake on loopback. A change of SSL_CERT_FILE or SSL_CERT_DIR builds a
// new one, so a program (or test) that points elsewhere is honoured at once.
std::shared_ptr<SSL_CTX> ClientContext(std::string &problem)
{
    // The library first: its clean-up at exit must run after the cached
    // context below has been freed, and exit handlers run in reverse order.
    OPENSSL_init_ssl(0, nullptr);
    static std::mutex lock;
    static std::shared_ptr<SSL_CTX> cached;
    static std::string cachedKey;
    const std::string key = EnvText("SSL_CERT_FILE") + '\n' + EnvText("SSL_CERT_DIR");
    std::lock_guard<std::mutex> guard(lock);
    if (cached && key == cachedKey)
        return cached;
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_client_method()), CtxFree());
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
        const unsigned long err = ERR_peek_last_error();
        problem = err ? ERR_reason_error_string(err) ? ERR_reason_error_string(err) : "unknown" : "no context";
        ERR_clear_error();
        return nullptr;
    }
    // A missing default file or folder is not an error to OpenSSL; the
    // handshake then fails as "issuer not trusted", which is what it is.
    ERR_clear_error();
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // Every visit is a new connection and a full handshake, so nothing is
    // gained from keeping sessions. An end of the connection without the
    // close alert is not ignored: it is how a cut answer tells itself from a
    // whole one when the answer named no length (Read reports it).
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
    cached = ctx;
    cachedKey = key;
    return cached;
}

bool IsAddressLiteral(const std::string &host)
{
    unsigned char buf[16];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

TlsFailure FromVerifyResult(long result)
{
    switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
        return TlsFailure::UntrustedIssuer;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return TlsFailure::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TlsFailure::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TlsFailure::WrongHost;
    default:
        return TlsFailure::CertificateBad;
    }
}

TlsFailure FromLibraryReason(int reason)
{
    switch (reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
    case SSL_R_WRONG_CIPHER_RETURNED:
        return TlsFailure::NoCommonProtocol;
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_ENCRYPTED_LENGTH_TOO_LONG:
        return TlsFailure::NotTls;
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        return TlsFailure::ClosedEarly;
    default:
        return TlsFailure::Protocol;
    }
}

} // namespace

std::string TlsFailureText(TlsFailure failure, const std::string &detail)
{
    const std::string more = detail.empty() ? std::string() : " (" + detail + ")";
    switch (failure) {
    case TlsFailure::None:
        return {};
    case TlsFailure::UntrustedIssuer:
        return "TLS: the certificate's issuer is not trusted";
    case TlsFailure::Expired:
        return "TLS: the certificate has expired";
    case TlsFailure::NotYetValid:
        return "TLS: the certificate is not valid yet";
    case TlsFailure::WrongHost:
        return "TLS: the certificate is for another host";
    case TlsFailure::CertificateBad:
        return "TLS: the certificate was refused" + more;
    case TlsFailure::NoCommonProtocol:
        return "TLS: no protocol version or cipher in common with the server";
    case TlsFailure::NotTls:
        return "TLS: the server did not answer with TLS";
    case TlsFailure::ClosedEarly:
        return "TLS: the server closed the connection during the handshake";
    case TlsFailure::TimedOut:
        return "TLS: the server did not complete the handshake in time";
    case TlsFailure::Protocol:
        return "TLS: the secure connection failed" + more;
    case TlsFailure::Setup:
        return "TLS: cannot start a secure connection" + more;
    }
    return "TLS: failure" + more;
}

struct TlsEngine::Session {
    std::shared_ptr<SSL_CTX> ctx;
    SSL *ssl = nullptr;
    BIO *in = nullptr;  // ciphertext from the peer; owned by ssl
    BIO *out = nullptr; // ciphertext for the peer; owned by ssl
    ~Session()
    {
        if (ssl)
            SSL_free(ssl);
    }
};

TlsEngine::TlsEngine() = default;
TlsEngine::~TlsEngine() = default;

void TlsEngine::Reset()
{
    s_.reset();
    phase_ = Phase::Idle;
    failure_ = TlsFailure::None;
    reason_.clear();
    endSeen_ = false;
    closeAlert_ = false;
}

void TlsEngine::Fail(TlsFailure failure, const std::string &reason)
{
    phase_ = Phase::Failed;
    failure_ = failure;
    reason_ = reason;
}

bool TlsEngine::Begin(const std::string &hostAsWritten)
{
    Reset();
    // "example.org." is the same host written as an absolute name; a
    // certificate names it without the dot, and so does the name indication.
    std::string host = hostAsWritten;
    if (host.size() > 1 && host.back() == '.' && host[host.size() - 2] != '.')
        host.pop_back();
    // An IPv6 address comes as the address writes it, in brackets.
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    ERR_clear_error();
    std::string problem;
    auto session = std::make_unique<Session>();
    session->ctx = ClientContext(problem);
    if (!session->ctx) {
        Fail(TlsFailure::Setup, TlsFailureText(TlsFailure::Setup, problem));
        return false;
    }
    session->ssl = SSL_new(session->ctx.get());
    session->in = BIO_new(BIO_s_mem());
    session->out = BIO_new(BIO_s_mem());
    if (!session->ssl || !session->in || !session->out) {
        BIO_free(session->in);
        BIO_free(session->out);
        ERR_clear_error();
        Fail(TlsFailure::Setup, TlsFailureText(TlsFailure::Setup, "out of memory"));
        return false;
    }
    // An empty memory buffer means "nothing yet", not "end", until PutEnd.
    BIO_set_mem_eof_return(session->in, -1);
    SSL_set_bio(session->ssl, session->in, session->out);
    SSL_set_connect_state(session->ssl);
    bool named = true;
    if (IsAddressLiteral(host)) {
        // No server name indication for an address: the extension is for names.
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session->ssl), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(session->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = !host.empty() && SSL_set1_host(session->ssl, host.c_str()) == 1 &&
                SSL_set_tlsext_host_name(session->ssl, host.c_str()) == 1;
    }
    if (!named) {
        ERR_clear_error();
        Fail(TlsFailure::Setup, TlsFailureText(TlsFailure::Setup, "invalid host name"));
        return false;
    }
    s_ = std::move(session);
    phase_ = Phase::Handshaking;
    Advance();
    return phase_ != Phase::Failed;
}

void TlsEngine::PutCiphertext(const char *data, std::size_t len)
{
    if (!s_ || len == 0 || endSeen_)
        return;
    // A memory buffer grows as needed; the layer above only reads the socket
    // when the session asks for more, so it holds at most a few records.
    while (len > 0) {
        const int chunk = len > (1u << 30) ? (1 << 30) : static_cast<int>(len);
        const int put = BIO_write(s_->in, data, chunk);
        if (put <= 0) {
            ERR_clear_error();
            Fail(TlsFailure::Setup, TlsFailureText(TlsFailure::Setup, "out of memory"));
            return;
        }
        data += put;
        len -= static_cast<std::size_t>(put);
    }
}

void TlsEngine::PutEnd()
{
    endSeen_ = true;
    if (s_)
        BIO_set_mem_eof_return(s_->in, 0);
}

std::size_t TlsEngine::PendingCiphertext() const
{
    return s_ ? BIO_ctrl_pending(s_->out) : 0;
}

std::size_t TlsEngine::BufferedCiphertext() const
{
    return s_ ? BIO_ctrl_pending(s_->in) : 0;
}

std::size_t TlsEngine::TakeCiphertext(char *buffer, std::size_t capacity)
{
    if (!s_ || capacity == 0)
        return 0;
    const int cap = capacity > (1u << 30) ? (1 << 30) : static_cast<int>(capacity);
    const int got = BIO_read(s_->out, buffer, cap);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::string TlsEngine::TakeCiphertext()
{
    std::string bytes(PendingCiphertext(), '\0');
    bytes.resize(TakeCiphertext(bytes.data(), bytes.size()));
    return bytes;
}

void TlsEngine::FailFromLibrary(int sslError)
{
    const unsigned long err = ERR_peek_last_error();
    const long verify = s_ ? SSL_get_verify_result(s_->ssl) : X509_V_OK;
    const bool inHandshake = phase_ == Phase::Handshaking;
    std::string detail;
    TlsFailure failure = TlsFailure::Protocol;
    if (inHandshake && verify != X509_V_OK) {
        failure = FromVerifyResult(verify);
        detail = X509_verify_cert_error_string(verify);
    } else if (err != 0 && ERR_GET_LIB(err) == ERR_LIB_SSL) {
        failure = FromLibraryReason(ERR_GET_REASON(err));
        const char *text = ERR_reason_error_string(err);
        detail = text ? text : "";
    } else if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN) {
        failure = TlsFailure::ClosedEarly;
    } else if (err != 0) {
        const char *text = ERR_reason_error_string(err);
        detail = text ? text : "";
    }
    if (!inHandshake && failure != TlsFailure::Protocol)
        failure = TlsFailure::Protocol;
    ERR_clear_error();
    Fail(failure, TlsFailureText(failure, detail));
}

TlsEngine::Phase TlsEngine::Advance()
{
    if (phase_ != Phase::Handshaking)
        return phase_;
    ERR_clear_error();
    const int rc = SSL_do_handshake(s_->ssl);
    if (rc == 1) {
        phase_ = Phase::Open;
        return phase_;
    }
    const int e = SSL_get_error(s_->ssl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        // Waiting for the peer is fine until the peer has gone.
        if (endSeen_ && BIO_ctrl_pending(s_->in) == 0)
            Fail(TlsFailure::ClosedEarly, TlsFailureText(TlsFailure::ClosedEarly));
        return phase_;
    }
    FailFromLibrary(e);
    return phase_;
}

int TlsEngine::Read(char *buffer, int capacity)
{
    if (phase_ == Phase::Handshaking)
        Advance();
    if (phase_ != Phase::Open || capacity <= 0)
        return 0;
    ERR_clear_error();
    std::size_t got = 0;
    if (SSL_read_ex(s_->ssl, buffer, static_cast<std::size_t>(capacity), &got) == 1)
        return static_cast<int>(got);
    const int e = SSL_get_error(s_->ssl, 0);
    switch (e) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return 0;
    case SSL_ERROR_ZERO_RETURN:
        // The close alert: the end of the data. Nothing the peer sends after
        // it is read.
        ERR_clear_error();
        phase_ = Phase::Closed;
        closeAlert_ = true;
        return 0;
    default:
        if (EndOfTransport(e)) {
            // The transport ended without the alert: what came is all there
            // is, and it may be cut short; the reader decides whether that
            // matters.
            ERR_clear_error();
            phase_ = Phase::Closed;
            return 0;
        }
        FailFromLibrary(e);
        return 0;
    }
}

bool TlsEngine::EndOfTransport(int sslError) const
{
    if (!endSeen_)
        return false;
    if (sslError == SSL_ERROR_SYSCALL)
        return true;
    const unsigned long err = ERR_peek_last_error();
    return sslError == SSL_ERROR_SSL && ERR_GET_LIB(err) == ERR_LIB_SSL &&
           ERR_GET_REASON(err) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

bool TlsEngine::ReadPending() const
{
    return phase_ == Phase::Open && (SSL_pending(s_->ssl) > 0 || BIO_ctrl_pending(s_->in) > 0);
}

bool TlsEngine::Write(const char *data, int len)
{
    if (phase_ != Phase::Open)
        return false;
    if (len <= 0)
        return true;
    ERR_clear_error();
    std::size_t done = 0;
    // The outgoing buffer never refuses, so every record is made at once.
    while (done < static_cast<std::size_t>(len)) {
        std::size_t wrote = 0;
        if (SSL_write_ex(s_->ssl, data + done, static_cast<std::size_t>(len) - done, &wrote) != 1) {
            FailFromLibrary(SSL_get_error(s_->ssl, 0));
            return false;
        }
        done += wrote;
    }
    return true;
}

void TlsEngine::Shutdown()
{
    if (phase_ != Phase::Open)
        return;
    ERR_clear_error();
    SSL_shutdown(s_->ssl);
    ERR_clear_error();
}

std::string TlsEngine::Protocol() const
{
    return (s_ && phase_ == Phase::Open) ? SSL_get_version(s_->ssl) : "";
}
