#pragma once

#include <QString>

class THttpCli;

// Why the client's last request failed, in the user's words (those of
// platform/SocketCauses.h, the same the browser engine's failures are told
// in): what a visit records as its reason. The client's own reason and its
// exception keep their English texts for callers of the library.
QString FailureCause(THttpCli &Client);
