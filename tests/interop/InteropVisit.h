#pragma once

#include "tests/http/HttpTestHelpers.h"

#include <QByteArray>
#include <chrono>
#include <functional>
#include <string>

// One Get as a user's visit sees it: what it raised, the answer's status and
// reason, the final address, the body, and how long Get took by the steady
// clock.
struct Visit {
    GetOutcome outcome;
    int status = 0;
    std::string reason;
    std::string location;
    QByteArray body;
    int relocations = 0;
    std::chrono::milliseconds took{0};
    bool doneCame = false;
    std::uint16_t doneError = 0;
};

using VisitSetup = std::function<void(THttpCli &cli)>;

// The client has no time limit of its own: a visit still running after
// guardMs is aborted, and the test fails.
Visit VisitUrl(const std::string &url, const VisitSetup &setup = {}, int guardMs = 8000);

// Visits on loopback to a server of the system: each one a fresh connection
// and at most 10 MiB, as a bound for interoperation, not a benchmark.
inline constexpr std::chrono::milliseconds kVisitBound{1000};
