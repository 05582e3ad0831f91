#include "net/TlsWSocket.h"

#include <QTimer>

namespace {

// Ciphertext read from the connection at a time: several records of the
// largest size. Reading one record at a time cost a tenth of the throughput
// of a big page in system calls.
constexpr std::size_t kCipherChunk = 64 * 1024;

} // namespace

TCustomTlsWSocket::TCustomTlsWSocket() = default;

TCustomTlsWSocket::~TCustomTlsWSocket() = default;

bool TCustomTlsWSocket::TlsActive() const
{
    const auto phase = FTls.State();
    return phase == TlsEngine::Phase::Handshaking || phase == TlsEngine::Phase::Open;
}

void TCustomTlsWSocket::ResetToDefaults()
{
    StopTimer();
    FTls.Reset();
    FTlsAsConnect = false;
    FTlsOwnerWrote = false;
    FTlsEndPosted = false;
    FTlsEarly.clear();
    TCustomSocksWSocket::ResetToDefaults();
}

char *TCustomTlsWSocket::CipherBuffer()
{
    // The bytes are handed to the engine at once, so one buffer serves
    // every read; it is made on the first session that needs it.
    if (FCipherBuffer.empty())
        FCipherBuffer.resize(kCipherChunk);
    return FCipherBuffer.data();
}

void TCustomTlsWSocket::StopTimer()
{
    if (FTlsTimer)
        FTlsTimer->stop();
    ++FTlsSerial; // a timeout already posted belongs to no handshake now
}

void TCustomTlsWSocket::StartTls()
{
    if (FState != wsConnected || FTls.State() != TlsEngine::Phase::Idle || SocksNegotiating()) {
        ws::WSASetLastError(ws::WSAENOTCONN);
        ReportSocketError("StartTls");
        return;
    }
    BeginHandshake(false);
}

void TCustomTlsWSocket::FireSessionConnected(std::uint16_t Error)
{
    if (Error != 0 || !FTlsEnabled || SocksNegotiating() || FTls.State() != TlsEngine::Phase::Idle) {
        TCustomSocksWSocket::FireSessionConnected(Error);
        return;
    }
    BeginHandshake(true);
}

void TCustomTlsWSocket::BeginHandshake(bool asConnect)
{
    FTlsAsConnect = asConnect;
    FTlsOwnerWrote = false;
    FTlsEndPosted = false;
    FTlsEarly.clear();
    FTlsFailure = TlsFailure::None;
    FTlsReason.clear();
    if (!FTls.Begin(FTlsHost.empty() ? FAddrStr : FTlsHost)) {
        HandshakeFailed(FTls.Failure(), FTls.Reason());
        return;
    }
    StopTimer();
    if (FTlsHandshakeTimeout > 0) {
        if (!FTlsTimer) {
            FTlsTimer = std::make_unique<QTimer>();
            FTlsTimer->setSingleShot(true);
            // Posted, not handled here: the socket's own window procedure is
            // the one place where its events may fire and fail.
            QObject::connect(FTlsTimer.get(), &QTimer::timeout,
                             [this] { PostNotification(WM_SOCKET_TLS_TIMEOUT, FTlsSerial); });
        }
        FTlsTimer->start(FTlsHandshakeTimeout);
    }
    auto alive = AliveToken();
    if (!FlushCiphertext() || alive.expired())
        return;
    // SOCKS may have left the server's first bytes behind its reply.
    if (HasBufferedData())
        HandshakeStep();
}

bool TCustomTlsWSocket::FlushCiphertext()
{
    if (FTls.PendingCiphertext() == 0 || FHSocket == ws::INVALID_SOCKET)
        return true;
    const std::string bytes = FTls.TakeCiphertext();
    try {
        return TCustomSocksWSocket::Send(bytes.data(), static_cast<int>(bytes.size())) >= 0;
    } catch (const std::exception &) {
        // A failed send closes the connection, which reports itself.
        return false;
    }
}

bool TCustomTlsWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (FTls.State() != TlsEngine::Phase::Handshaking || SocksNegotiating())
        return TCustomSocksWSocket::FireDataAvailable(Error);
    HandshakeStep();
    return true;
}

void TCustomTlsWSocket::HandshakeStep()
{
    char *buffer = CipherBuffer();
    const int r = TCustomSocksWSocket::DoRecv(buffer, static_cast<int>(kCipherChunk), 0);
    if (r > 0) {
        FTls.PutCiphertext(buffer, static_cast<std::size_t>(r));
    } else if (r == 0) {
        FTls.PutEnd();
    } else {
        const int code = ws::WSAGetLastError();
        if (code != ws::WSAEWOULDBLOCK) {
            FLastError = code;
            FTls.PutEnd();
        }
    }
    FTls.Advance();
    // The peer has gone: the alert the session made about it has nobody to
    // go to, and a send on a reset connection would be reported instead of
    // the handshake's failure.
    if (FTls.State() == TlsEngine::Phase::Failed && FTls.EndSeen()) {
        HandshakeFailed(FTls.Failure(), FTls.Reason());
        return;
    }
    auto alive = AliveToken();
    if (!FlushCiphertext() || alive.expired() || FHSocket == ws::INVALID_SOCKET)
        return;
    if (FTls.State() == TlsEngine::Phase::Open)
        HandshakeFinished();
    else if (FTls.State() == TlsEngine::Phase::Failed)
        HandshakeFailed(FTls.Failure(), FTls.Reason());
}

void TCustomTlsWSocket::HandshakeFinished()
{
    StopTimer();
    auto alive = AliveToken();
    if (FTlsAsConnect)
        TCustomSocksWSocket::FireSessionConnected(0);
    else
        FireTlsHandshakeDone(0);
    if (alive.expired() || FState != wsConnected || !TlsOpen())
        return;
    if (!FTlsEarly.empty()) {
        const std::string early = std::move(FTlsEarly);
        FTlsEarly.clear();
        Send(early.data(), static_cast<int>(early.size()));
        if (alive.expired() || FState != wsConnected)
            return;
    }
    // Data that came with the end of the handshake has no read notification
    // of its own.
    if (FTls.ReadPending())
        FireDataAvailable(0);
}

void TCustomTlsWSocket::HandshakeFailed(TlsFailure failure, const std::string &reason)
{
    StopTimer();
    FTlsFailure = failure;
    FTlsReason = reason;
    const int code = TlsErrorCode(failure);
    FLastError = code;
    FTls.Reset();
    auto alive = AliveToken();
    if (FTlsAsConnect)
        TCustomSocksWSocket::FireSessionConnected(static_cast<std::uint16_t>(code));
    else
        FireTlsHandshakeDone(static_cast<std::uint16_t>(code));
    if (alive.expired())
        return;
    DoClose(true, code);
}

void TCustomTlsWSocket::FireTlsHandshakeDone(std::uint16_t Error)
{
    if (OnTlsHandshakeDone)
        OnTlsHandshakeDone(this, Error);
}

void TCustomTlsWSocket::FireDataSent(std::uint16_t Error)
{
    // The handshake's own bytes are no concern of the owner's.
    if (FTls.State() != TlsEngine::Phase::Idle && !FTlsOwnerWrote)
        return;
    TCustomSocksWSocket::FireDataSent(Error);
}

int TCustomTlsWSocket::Send(const void *Data, int Len)
{
    const auto phase = FTls.State();
    if (phase == TlsEngine::Phase::Idle || FState != wsConnected)
        return TCustomSocksWSocket::Send(Data, Len);
    if (phase == TlsEngine::Phase::Handshaking) {
        if (Len > 0)
            FTlsEarly.append(static_cast<const char *>(Data), static_cast<std::size_t>(Len));
        return Len < 0 ? 0 : Len;
    }
    if (phase != TlsEngine::Phase::Open || !FTls.Write(static_cast<const char *>(Data), Len)) {
        ws::WSASetLastError(ws::WSAECONNABORTED);
        ReportSocketError("Send");
        return -1;
    }
    FTlsOwnerWrote = true;
    if (!FlushCiphertext())
        return -1;
    return Len < 0 ? 0 : Len;
}

int TCustomTlsWSocket::DoRecv(void *Buffer, int BufferSize, int Flags)
{
    switch (FTls.State()) {
    case TlsEngine::Phase::Idle:
        return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
    case TlsEngine::Phase::Handshaking:
        ++FRecvCalls;
        ws::WSASetLastError(ws::WSAEWOULDBLOCK);
        return -1;
    case TlsEngine::Phase::Closed:
        // The session has ended: nothing is read, so no read is counted; a
        // loop that keeps calling while the peer's late bytes wait would
        // never end.
        return 0;
    case TlsEngine::Phase::Failed:
        ++FRecvCalls;
        ws::WSASetLastError(ws::WSAECONNABORTED);
        return -1;
    case TlsEngine::Phase::Open:
        break;
    }
    char *out = static_cast<char *>(Buffer);
    for (;;) {
        const int n = FTls.Read(out, BufferSize);
        // Reading may have made something to answer (a key update).
        if (FTls.PendingCiphertext() > 0)
            PostNotification(WM_SOCKET_TLS_FLUSH);
        if (n > 0) {
            ++FRecvCalls;
            return n;
        }
        if (FTls.State() == TlsEngine::Phase::Closed) {
            ++FRecvCalls;
            EndSession(0);
            return 0;
        }
        if (FTls.State() == TlsEngine::Phase::Failed) {
            ++FRecvCalls;
            FTlsFailure = FTls.Failure();
            FTlsReason = FTls.Reason();
            EndSession(static_cast<std::uint16_t>(TlsErrorCode(FTlsFailure)));
            ws::WSASetLastError(ws::WSAECONNABORTED);
            return -1;
        }
        char *cipher = CipherBuffer();
        const int r = TCustomSocksWSocket::DoRecv(cipher, static_cast<int>(kCipherChunk), 0);
        if (r < 0)
            return r;
        if (r == 0)
            FTls.PutEnd();
        else
            FTls.PutCiphertext(cipher, static_cast<std::size_t>(r));
    }
}

void TCustomTlsWSocket::EndSession(std::uint16_t Error)
{
    // The session is over — the peer's close alert, the end of the transport,
    // or a damaged record (Error its TLS code) — and so is the connection:
    // the owner hears it as a close, from the message loop, at once and not
    // when the peer gets round to closing the connection.
    if (FTlsEndPosted || FHSocket == ws::INVALID_SOCKET)
        return;
    FTlsEndPosted = true;
    PostNotification(WM_SOCKET_SELECT, static_cast<WPARAM>(FHSocket), MAKELONG(ws::FD_CLOSE, Error));
}

int TCustomTlsWSocket::GetRcvdCount()
{
    switch (FTls.State()) {
    case TlsEngine::Phase::Idle:
        return TCustomSocksWSocket::GetRcvdCount();
    case TlsEngine::Phase::Open:
        // At most one record's plaintext comes out of one read.
        if (FTls.ReadPending())
            return 16384;
        return FHSocket == ws::INVALID_SOCKET ? 0 : TCustomSocksWSocket::GetRcvdCount();
    default:
        return 0;
    }
}

bool TCustomTlsWSocket::HasBufferedData()
{
    if (FTls.State() == TlsEngine::Phase::Open)
        return FTls.ReadPending() || TCustomSocksWSocket::HasBufferedData();
    return TCustomSocksWSocket::HasBufferedData();
}

LRESULT TCustomTlsWSocket::WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_SOCKET_TLS_FLUSH) {
        if (FState == wsConnected)
            FlushCiphertext();
        return 0;
    }
    if (Msg == WM_SOCKET_TLS_TIMEOUT) {
        if (wParam == FTlsSerial && FTls.State() == TlsEngine::Phase::Handshaking)
            HandshakeFailed(TlsFailure::TimedOut, TlsFailureText(TlsFailure::TimedOut));
        return 0;
    }
    return TCustomSocksWSocket::WindowProcedure(Msg, wParam, lParam);
}
