#pragma once

#include "net/TlsWSocket.h"

#include <string>
#include <vector>

constexpr UINT WM_SOCKET_LINE_PENDING = WM_USER + 20;

using TLineLimitEvent = std::function<void(TCustomWSocket *Sender, int RcvdLength, bool &ClearData)>;

// Line mode layer: received bytes are collected and handed to OnDataAvailable
// one complete line (ending with LineEnd) at a time, with optional echo, simple
// editing (backspace, tab) and a limit on the length of an unfinished line.
class TCustomLineWSocket : public TCustomTlsWSocket {
public:
    TCustomLineWSocket();
    ~TCustomLineWSocket() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool value);
    // Buffered bytes without a line end beyond which OnLineLimitExceeded
    // fires; 0 or less means no limit.
    int LineLimit() const { return FLineLimit; }
    void SetLineLimit(int value) { FLineLimit = value; }
    // An empty LineEnd switches line handling off.
    const std::string &LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string &value) { FLineEnd = value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool value) { FLineEcho = value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool value) { FLineEdit = value; }

    // The handler may set ClearData to false to keep the unfinished line.
    TLineLimitEvent OnLineLimitExceeded;

protected:
    LRESULT WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    int GetRcvdCount() override;
    int DoRecv(void *Buffer, int BufferSize, int Flags) override;
    bool HasBufferedData() override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    virtual void FireLineLimitExceeded(int RcvdLength, bool &ClearData);
    // Applies backspace and tab to the Len new bytes behind the held ones;
    // may rewrite held bytes too (a backspace erases back into them), so it
    // lowers FRecvCount to the first changed byte and sets Len to what follows.
    virtual void EditLine(int &Len);

    bool FLineMode = false;
    int FLineLimit = 65536;
    std::string FLineEnd = "\r\n";
    bool FLineEcho = false;
    bool FLineEdit = false;
    bool FLineClearData = false;

    // Held bytes are FRecvBuffer[FRecvHead, FRecvHead + FRecvCount); the
    // first FLineLength of them are the line being delivered.
    std::vector<char> FRecvBuffer;
    int FRecvHead = 0;
    int FRecvCount = 0;
    int FLineLength = 0;

private:
    void HandleLinePending();
    int FindLineEnd(int From) const;
    void EnsureRecvRoom(int Bytes);
    void ReleaseRecvBuffer();
    int TakeHeld(void *Buffer, int BufferSize);
    // Bumped whenever the buffer is released, so code that fired an event
    // can tell that the session ended underneath it.
    unsigned FRecvGeneration = 0;
};
