#pragma once

#include <cstddef>
#include <memory>
#include <string>

// Why a TLS session could not be set up or broke down.
enum class TlsFailure {
    None,
    UntrustedIssuer,  // chain does not lead to a certificate we trust
    Expired,          // the server's certificate (or one above it) is out of date
    NotYetValid,      // ... or not valid yet
    WrongHost,        // the certificate is for another name or address
    CertificateBad,   // any other reason the certificate was refused
    NoCommonProtocol, // no protocol version or cipher both sides accept
    NotTls,           // the server does not speak TLS
    ClosedEarly,      // the server ended the connection inside the handshake
    TimedOut,         // the server let the handshake stall
    Protocol,         // a malformed or unexpected message
    Setup,            // the library could not start a session here
};

// The client side of one TLS session, without any socket: ciphertext from the
// peer is put in, ciphertext for the peer is taken out, and plaintext is read
// and written in between. Nothing here waits, so the socket layer above it
// drives it from its own events and can abandon it at any step. Certificates
// are verified against OpenSSL's default trust store, which honours
// SSL_CERT_FILE and SSL_CERT_DIR; TLS 1.2 is the oldest version offered.
class TlsEngine {
public:
    enum class Phase { Idle, Handshaking, Open, Closed, Failed };

    TlsEngine();
    ~TlsEngine();
    TlsEngine(const TlsEngine &) = delete;
    TlsEngine &operator=(const TlsEngine &) = delete;

    // Starts a client handshake for host, a name (a trailing dot is no part
    // of it) or an address; the
    // first flight is then waiting in the outgoing ciphertext. False (and
    // Phase Failed) when no session could be set up.
    bool Begin(const std::string &host);
    // Drops the session; the engine is Idle again.
    void Reset();

    // Bytes the peer sent. They are kept until the session consumes them.
    void PutCiphertext(const char *data, std::size_t len);
    // The peer closed the transport: no more ciphertext will come.
    void PutEnd();
    bool EndSeen() const { return endSeen_; }
    // Ciphertext the session has produced for the peer.
    std::size_t PendingCiphertext() const;
    std::size_t TakeCiphertext(char *buffer, std::size_t capacity);
    std::string TakeCiphertext();
    // Ciphertext put in and not consumed yet.
    std::size_t BufferedCiphertext() const;

    // Moves the handshake on as far as the ciphertext so far allows.
    Phase Advance();

    // Decrypted bytes, at most capacity: more than 0 when there were some,
    // 0 when none are available now (Phase tells whether more may come).
    // The peer's close alert, or the end of the transport without one, makes
    // the phase Closed; CloseAlertSeen tells the two apart.
    int Read(char *buffer, int capacity);
    bool CloseAlertSeen() const { return closeAlert_; }
    // Whether Read could return bytes without new ciphertext.
    bool ReadPending() const;
    // Encrypts all len bytes into the outgoing ciphertext; false when the
    // session cannot take them (not open, or broken).
    bool Write(const char *data, int len);
    // Queues the close alert for the peer, when the session is open.
    void Shutdown();

    Phase State() const { return phase_; }
    TlsFailure Failure() const { return failure_; }
    // The failure in words for a user; empty while nothing failed.
    const std::string &Reason() const { return reason_; }
    // Negotiated protocol ("TLSv1.3"), once open.
    std::string Protocol() const;

private:
    void Fail(TlsFailure failure, const std::string &reason);
    void FailFromLibrary(int sslError);
    // The read failed only because the transport ended.
    bool EndOfTransport(int sslError) const;

    struct Session;
    std::unique_ptr<Session> s_;
    Phase phase_ = Phase::Idle;
    TlsFailure failure_ = TlsFailure::None;
    std::string reason_;
    bool endSeen_ = false;
    bool closeAlert_ = false;
};

// The user-readable text for a failure; detail is added where it helps.
std::string TlsFailureText(TlsFailure failure, const std::string &detail = {});
