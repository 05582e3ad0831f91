#pragma once

#include "net/SocksWSocket.h"
#include "net/TlsEngine.h"

#include <memory>
#include <string>
#include <vector>

class QTimer;

constexpr UINT WM_SOCKET_TLS_FLUSH = WM_USER + 21;
constexpr UINT WM_SOCKET_TLS_TIMEOUT = WM_USER + 22;

// Error codes of a failed TLS session: this base plus the TlsFailure.
constexpr int tlsErrorBase = 30000;
inline int TlsErrorCode(TlsFailure failure)
{
    return tlsErrorBase + static_cast<int>(failure);
}
inline bool IsTlsErrorCode(int code)
{
    return code > tlsErrorBase && code < tlsErrorBase + 100;
}

// TLS client layer. With TlsEnabled set, a session that the layers below
// have connected (directly or through SOCKS) first runs a TLS handshake, and
// only then is reported as connected; a failed handshake is reported as a
// failed connect with a TLS error code and closes the connection. Above it,
// reads and writes are plaintext. With TlsEnabled clear it passes everything
// through. StartTls begins a handshake on a session already connected (a
// tunnel through a proxy), reported by OnTlsHandshakeDone.
class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
    TCustomTlsWSocket();
    ~TCustomTlsWSocket() override;

    bool TlsEnabled() const { return FTlsEnabled; }
    void SetTlsEnabled(bool value) { FTlsEnabled = value; }
    // The name or address the certificate must be for; Addr when empty.
    const std::string &TlsHost() const { return FTlsHost; }
    void SetTlsHost(const std::string &value) { FTlsHost = value; }
    // Milliseconds a handshake may take at most; 0 waits without limit.
    int TlsHandshakeTimeout() const { return FTlsHandshakeTimeout; }
    void SetTlsHandshakeTimeout(int value) { FTlsHandshakeTimeout = value; }

    void StartTls();
    // A handshake is running or the session is up.
    bool TlsActive() const;
    bool TlsOpen() const { return FTls.State() == TlsEngine::Phase::Open; }
    // Why the last session failed; None and empty when it did not.
    TlsFailure TlsLastFailure() const { return FTlsFailure; }
    const std::string &TlsReason() const { return FTlsReason; }
    // The session ended by the peer's close alert, not by the connection's
    // end alone: only then is an answer of unknown length known to be whole.
    bool TlsCloseAlertSeen() const { return FTls.CloseAlertSeen(); }
    std::string TlsProtocol() const { return FTls.Protocol(); }

    int Send(const void *Data, int Len) override;

    TSessionConnected OnTlsHandshakeDone;

protected:
    LRESULT WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    void ResetToDefaults() override;
    int GetRcvdCount() override;
    int DoRecv(void *Buffer, int BufferSize, int Flags) override;
    bool HasBufferedData() override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireSessionConnected(std::uint16_t Error) override;
    void FireDataSent(std::uint16_t Error) override;
    virtual void FireTlsHandshakeDone(std::uint16_t Error);

    // A SOCKS or TLS handshake is running: the bytes on the wire are not the owner's.
    bool Negotiating() const { return SocksNegotiating() || FTls.State() == TlsEngine::Phase::Handshaking; }

private:
    void BeginHandshake(bool asConnect);
    // False when the send failed (the failure has been reported).
    bool FlushCiphertext();
    void HandshakeStep();
    void HandshakeFinished();
    void HandshakeFailed(TlsFailure failure, const std::string &reason);
    void StopTimer();
    void EndSession(std::uint16_t Error);
    char *CipherBuffer();

    TlsEngine FTls;
    bool FTlsEnabled = false;
    std::string FTlsHost;
    int FTlsHandshakeTimeout = 30000;
    bool FTlsAsConnect = false;  // the handshake's end is the session's connect
    bool FTlsOwnerWrote = false; // the owner has sent since the session opened
    bool FTlsEndPosted = false;
    std::string FTlsEarly; // plaintext the owner sent before the handshake ended
    TlsFailure FTlsFailure = TlsFailure::None;
    std::string FTlsReason;
    std::unique_ptr<QTimer> FTlsTimer;
    WPARAM FTlsSerial = 0;
    std::vector<char> FCipherBuffer;
};
