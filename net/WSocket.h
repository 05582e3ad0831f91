#pragma once

// The socket chain. Each layer derives from the one below and overrides the
// hooks it needs:
//   SocketLibrary.h   library record, conversions, error texts
//   CustomWSocket.h   TCustomWSocket, the base socket over the shim
//   SocksWSocket.h    TCustomSocksWSocket, the SOCKS 4/4A/5 client
//   LineWSocket.h     TCustomLineWSocket, line mode
//   SyncWSocket.h     TCustomSyncWSocket and TWSocket, the synchronous waits
// The top includes the rest.
#include "net/SyncWSocket.h"
#include "net/TlsWSocket.h"
