#pragma once

#include "net/HttpProt.h"
#include "platform/ui/Guard.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <string>

inline const std::string kDefaultAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
inline const std::string kDefaultAgent = "Mozilla/3.0 (compatible)";

// The request the client writes with its defaults.
inline std::string DefaultRequest(const std::string &target, const std::string &host, const std::string &method = "GET")
{
    return method + " " + target + " HTTP/1.0\r\nAccept: " + kDefaultAccept + "\r\nUser-Agent: " + kDefaultAgent +
           "\r\nHost: " + host + "\r\n\r\n";
}

struct GetOutcome {
    bool raised = false;
    int code = 0;
    std::string message;
};

// Calls Get with a safety net: a request that does not end by itself is
// aborted after guardMs, and the test fails.
inline GetOutcome RunGet(THttpCli &cli, int guardMs = 5000)
{
    bool guardFired = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        RunGuarded([&] {
            guardFired = true;
            cli.Abort();
        });
    });
    guard.start(guardMs);
    GetOutcome outcome;
    try {
        cli.Get();
    } catch (const EHttpException &e) {
        outcome.raised = true;
        outcome.code = e.ErrorCode();
        outcome.message = e.Message().toStdString();
    }
    EXPECT_FALSE(guardFired) << "the request did not end by itself";
    return outcome;
}

// Calls fn once after ms milliseconds of the message loop, unless the
// returned timer is gone by then: keep it for as long as what fn uses lives.
[[nodiscard]] inline std::unique_ptr<QTimer> After(int ms, std::function<void()> fn)
{
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, [fn = std::move(fn)] { RunGuarded(fn); });
    timer->start(ms);
    return timer;
}

inline std::string Repeat(const std::string &piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}
