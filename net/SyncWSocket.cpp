#include "net/SyncWSocket.h"
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

// The synchronous layer: waits for a flag while the socket's messages keep
// flowing, ending on a time-out, a quit or the socket's destruction. It
// overrides no hook of the layers below; it only adds the waits. TWSocket,
// the top of the chain, is this layer as it stands.

using namespace wsdetail;

int TCustomSyncWSocket::Synchronize(const std::function<void()> &Proc, bool &DoneFlag)
{
    DoneFlag = false;
    if (Proc)
        Proc();
    return WaitUntilReady(DoneFlag);
}

int TCustomSyncWSocket::WaitUntilReady(bool &DoneFlag)
{
    WatchForQuit();
    const unsigned quits = gQuitCount.load();
    const std::uint32_t start = TickCount();
    auto alive = AliveToken();
    for (;;) {
        if (DoneFlag)
            return 0;
        if (FWaitTimeout > 0 && TickCount() - start >= static_cast<std::uint32_t>(FWaitTimeout))
            return 12001;
        if (gQuitCount.load() != quits)
            FQuitSeen = true;
        if (QCoreApplication::closingDown() || FQuitSeen)
            return 12001;
        // Blocks until something arrives (at most one slice), so the wait
        // costs no processor time while nothing happens.
        int slice = 50;
        if (FWaitTimeout > 0)
            slice = std::clamp(FWaitTimeout - static_cast<int>(TickCount() - start), 1, 50);
        WaitForMessages(slice);
        if (alive.expired())
            return 12001;
    }
}
