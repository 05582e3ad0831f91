#pragma once

// The socket chain, bottom to top; TWSocket is what the rest of the program uses.
#include "net/CustomWSocket.h"
#include "net/LineWSocket.h"
#include "net/SocketLibrary.h"
#include "net/SocksWSocket.h"
#include "net/SyncWSocket.h"
