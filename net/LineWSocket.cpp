#include "net/LineWSocket.h"
#include "net/SocketLibraryDetail.h"

#include "platform/Clock.h"
#include "platform/TextCodec.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

// The line layer: in line mode the received bytes are held here and handed to
// the owner one complete line (ending with LineEnd) at a time, with optional
// echo, backspace and tab editing and a limit on an unfinished line. It
// overrides FireDataAvailable (collect and deliver), DoRecv, GetRcvdCount and
// HasBufferedData (the owner reads the held line, not the socket),
// FireSessionClosed (a last line without its end is still delivered) and
// WindowProcedure (its own message for lines still pending). With line mode
// off every hook passes down to the SOCKS layer.

using namespace wsdetail;

TCustomLineWSocket::TCustomLineWSocket() = default;

TCustomLineWSocket::~TCustomLineWSocket()
{
    ReleaseRecvBuffer();
}

void TCustomLineWSocket::SetLineMode(bool value)
{
    if (value == FLineMode)
        return;
    FLineMode = value;
    // Held bytes are delivered under the new mode from the message loop, not
    // from inside the property change.
    if (FRecvCount > 0 || FLineLength > 0)
        PostNotification(WM_SOCKET_LINE_PENDING);
}

LRESULT TCustomLineWSocket::WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_SOCKET_LINE_PENDING) {
        HandleLinePending();
        return 0;
    }
    return TCustomTlsWSocket::WindowProcedure(Msg, wParam, lParam);
}

void TCustomLineWSocket::HandleLinePending()
{
    auto alive = AliveToken();
    while (FRecvCount > 0) {
        const int count = FRecvCount, head = FRecvHead, line = FLineLength;
        const bool mode = FLineMode;
        const unsigned generation = FRecvGeneration;
        FireDataAvailable(0);
        if (alive.expired())
            return;
        // Nobody read, or only an unfinished line is left: the bytes wait
        // for the next read instead of being offered again and again.
        if (generation == FRecvGeneration && count == FRecvCount && head == FRecvHead && line == FLineLength &&
            mode == FLineMode)
            break;
    }
}

int TCustomLineWSocket::GetRcvdCount()
{
    if (FLineMode)
        return FLineLength;
    if (FRecvCount > 0)
        return FRecvCount;
    return TCustomTlsWSocket::GetRcvdCount();
}

int TCustomLineWSocket::TakeHeld(void *Buffer, int BufferSize)
{
    ++FRecvCalls;
    const int n = std::clamp(BufferSize, 0, FLineMode ? FLineLength : FRecvCount);
    std::memcpy(Buffer, FRecvBuffer.data() + FRecvHead, static_cast<std::size_t>(n));
    FRecvHead += n;
    FRecvCount -= n;
    FLineLength = std::max(FLineLength - n, 0);
    if (FRecvCount == 0)
        FRecvHead = 0;
    return n;
}

int TCustomLineWSocket::DoRecv(void *Buffer, int BufferSize, int Flags)
{
    if (FLineMode && FLineLength > 0)
        return TakeHeld(Buffer, BufferSize);
    if (!FLineMode && FRecvCount > 0)
        return TakeHeld(Buffer, BufferSize);
    return TCustomTlsWSocket::DoRecv(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::HasBufferedData()
{
    return (!FLineMode && FRecvCount > 0) || TCustomTlsWSocket::HasBufferedData();
}

void TCustomLineWSocket::EnsureRecvRoom(int Bytes)
{
    if (FRecvHead > 0) {
        std::memmove(FRecvBuffer.data(), FRecvBuffer.data() + FRecvHead, static_cast<std::size_t>(FRecvCount));
        FRecvHead = 0;
    }
    const std::size_t needed = static_cast<std::size_t>(FRecvCount) + static_cast<std::size_t>(Bytes) + 1;
    if (FRecvBuffer.size() < needed)
        FRecvBuffer.resize(needed);
}

void TCustomLineWSocket::ReleaseRecvBuffer()
{
    std::vector<char>().swap(FRecvBuffer);
    FRecvHead = 0;
    FRecvCount = 0;
    FLineLength = 0;
    ++FRecvGeneration;
}

int TCustomLineWSocket::FindLineEnd(int From) const
{
    const int len = static_cast<int>(FLineEnd.size());
    const char *data = FRecvBuffer.data() + FRecvHead;
    for (int i = std::max(From, 0); i < FRecvCount - len + 1; ++i) {
        if (data[i] == FLineEnd[0] && std::memcmp(data + i, FLineEnd.data(), static_cast<std::size_t>(len)) == 0)
            return i;
    }
    return -1;
}

void TCustomLineWSocket::EditLine(int &Len)
{
    char *data = FRecvBuffer.data() + FRecvHead;
    const int from = FRecvCount;
    bool rewrite = false;
    for (int i = from; i < from + Len && !rewrite; ++i)
        rewrite = data[i] == 8 || data[i] == 9;
    if (!rewrite) {
        if (FLineEcho)
            Send(data + from, Len);
        return;
    }

    std::string edited(data, static_cast<std::size_t>(from));
    // Columns count from the start of the current line, and a backspace does
    // not reach back into a line that is already complete.
    std::size_t lineStart = 0;
    if (!FLineEnd.empty()) {
        const std::size_t last = edited.rfind(FLineEnd);
        if (last != std::string::npos)
            lineStart = last + FLineEnd.size();
    }
    std::size_t low = static_cast<std::size_t>(from);
    std::string echo;
    for (int i = from; i < from + Len; ++i) {
        const char c = data[i];
        if (c == 8) {
            if (edited.size() > lineStart) {
                if (FLineEcho)
                    echo += "\b \b";
                edited.pop_back();
                low = std::min(low, edited.size());
            }
        } else if (c == 9) {
            const std::size_t spaces = 8 - (edited.size() - lineStart) % 8;
            edited.append(spaces, ' ');
            if (FLineEcho)
                echo.append(spaces, ' ');
        } else {
            edited += c;
            if (FLineEcho)
                echo += c;
            if (!FLineEnd.empty() && edited.size() - lineStart >= FLineEnd.size() &&
                edited.compare(edited.size() - FLineEnd.size(), FLineEnd.size(), FLineEnd) == 0)
                lineStart = edited.size();
        }
    }
    if (FRecvBuffer.size() < static_cast<std::size_t>(FRecvHead) + edited.size() + 1)
        FRecvBuffer.resize(static_cast<std::size_t>(FRecvHead) + edited.size() + 1);
    std::memcpy(FRecvBuffer.data() + FRecvHead, edited.data(), edited.size());
    FRecvCount = static_cast<int>(low);
    Len = static_cast<int>(edited.size() - low);
    if (!echo.empty())
        SendString(echo);
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (!FLineMode || FLineEnd.empty() || Negotiating())
        return TCustomTlsWSocket::FireDataAvailable(Error);

    auto alive = AliveToken();
    const unsigned generation = FRecvGeneration;
    const int endLength = static_cast<int>(FLineEnd.size());
    int start = 0;
    // Without a connection only the held bytes are looked at: asking a
    // closed handle would report an error for nothing.
    if (FHSocket != ws::INVALID_SOCKET) {
        int n = TCustomTlsWSocket::GetRcvdCount();
        if (n < 0)
            return true;
        if (n == 0)
            n = 255;
        EnsureRecvRoom(n);
        // From the layer below: these bytes count as read when the owner
        // takes its line.
        int r = TCustomTlsWSocket::DoRecv(FRecvBuffer.data() + FRecvCount, n, 0);
        if (r < 0)
            FLastError = ws::WSAGetLastError();
        if (r > 0) {
            if (FLineEdit)
                EditLine(r);
            else if (FLineEcho)
                Send(FRecvBuffer.data() + FRecvHead + FRecvCount, r);
            if (alive.expired() || generation != FRecvGeneration)
                return true;
            // A terminator may straddle the held and the new bytes.
            start = std::max(FRecvCount - endLength, 0);
            FRecvCount += r;
        }
    }
    if (FLineLength > 0)
        start = 0;

    while (FLineMode && !FLineEnd.empty()) {
        if (FLineLength == 0) {
            const int at = FindLineEnd(start);
            if (at < 0) {
                if (FLineLimit > 0 && FRecvCount > FLineLimit) {
                    FLineClearData = true;
                    FireLineLimitExceeded(FRecvCount, FLineClearData);
                    if (alive.expired() || generation != FRecvGeneration)
                        return true;
                    if (FLineClearData) {
                        FLineLength = 0;
                        FRecvCount = 0;
                        FRecvHead = 0;
                        FLineClearData = false;
                    }
                }
                break;
            }
            FLineLength = at + static_cast<int>(FLineEnd.size());
        }
        while (FLineMode && FLineLength > 0) {
            const int before = FLineLength;
            const bool handled = TCustomTlsWSocket::FireDataAvailable(0);
            if (alive.expired() || generation != FRecvGeneration)
                return true;
            if (!handled) {
                // Nobody takes lines: this one is dropped.
                FRecvHead += FLineLength;
                FRecvCount -= FLineLength;
                FLineLength = 0;
                if (FRecvCount == 0)
                    FRecvHead = 0;
                break;
            }
            // A handler that leaves its line unread gets it again with the
            // next read, not in an endless loop now.
            if (FLineMode && FLineLength == before)
                return true;
        }
        start = 0;
    }
    return true;
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t Error)
{
    if (!FRecvBuffer.empty()) {
        auto alive = AliveToken();
        const unsigned generation = FRecvGeneration;
        if (FLineMode && FRecvCount > 0 && !FLineClearData && !Negotiating()) {
            // What is left without a line end is the last line.
            FLineLength = FRecvCount;
            while (FLineMode && FLineLength > 0) {
                const int before = FLineLength;
                const bool handled = TCustomTlsWSocket::FireDataAvailable(0);
                if (alive.expired())
                    return;
                if (generation != FRecvGeneration)
                    break;
                if (!handled || FLineLength == before) {
                    FLineLength = 0;
                    break;
                }
            }
        }
        if (generation == FRecvGeneration)
            ReleaseRecvBuffer();
    }
    TCustomTlsWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::FireLineLimitExceeded(int RcvdLength, bool &ClearData)
{
    if (OnLineLimitExceeded)
        OnLineLimitExceeded(this, RcvdLength, ClearData);
}
