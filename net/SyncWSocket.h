#pragma once

#include "net/LineWSocket.h"

#include <functional>

// Synchronous waits on top of the asynchronous socket.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    // Clears DoneFlag, runs Proc when given, then waits: 0 when DoneFlag became
    // true, 12001 when the wait gave up (timeout, application end, quit).
    virtual int Synchronize(const std::function<void()> &Proc, bool &DoneFlag);
    virtual int WaitUntilReady(bool &DoneFlag);
    // Milliseconds; 0 waits without limit.
    int WaitTimeout() const { return FWaitTimeout; }
    void SetWaitTimeout(int value) { FWaitTimeout = value; }

protected:
    int FWaitTimeout = 0;
};

class TWSocket : public TCustomSyncWSocket {
public:
    TWSocket() = default;
};
