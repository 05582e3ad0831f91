#include "tests/net/SocketTestSupport.h"

#include "platform/Clock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <gtest/gtest.h>

#include <ctime>

namespace {

using Lines = std::vector<std::string>;

// A client in line mode connected to a loopback peer; every line it is
// handed is read whole and kept, with the RcvdCount seen before the read.
struct LinePair {
    LoopbackServer server;
    TWSocket client;
    Lines lines;
    std::vector<int> counts;
    std::string echoed; // what the peer got back
    bool closed = false;

    LinePair()
        : server([this](TWSocket &peer) {
              peer.OnDataAvailable = [this](TCustomWSocket *s, std::uint16_t) { echoed += s->ReceiveString(); };
          })
    {
        client.SetLineMode(true);
        client.OnDataAvailable = [this](TCustomWSocket *s, std::uint16_t) {
            const int n = s->RcvdCount();
            counts.push_back(n);
            std::string line(static_cast<std::size_t>(std::max(n, 1)), '\0');
            const int r = s->Receive(line.data(), n);
            if (r > 0)
                lines.push_back(line.substr(0, static_cast<std::size_t>(r)));
        };
        client.OnSessionClosed = [this](TCustomWSocket *, std::uint16_t) { closed = true; };
        Aim(client, server.Port());
        client.Connect();
        EXPECT_TRUE(PumpUntil([&] { return client.State() == wsConnected && server.Peer(0); }));
    }

    TWSocket &Peer() { return *server.Peer(0); }

    // Sends each chunk and gives the client time to take it before the next,
    // so that each arrives in a read of its own.
    void Feed(const std::vector<std::string> &chunks)
    {
        for (const std::string &chunk : chunks) {
            Peer().SendString(chunk);
            PumpUntil([] { return false; }, 60);
        }
    }
};

void Settle(int ms = 60)
{
    PumpUntil([] { return false; }, ms);
}

} // namespace

TEST(LineMode, LinesAreCutAtTheLineEnd)
{
    std::string many, manyLast;
    Lines manyLines;
    for (int i = 0; i < 2000; ++i) {
        const std::string line = std::string(static_cast<std::size_t>(i % 37), 'a' + i % 26) + "\r\n";
        many += line;
        manyLines.push_back(line);
    }
    struct Row {
        const char *name;
        std::string lineEnd;
        std::vector<std::string> chunks;
        Lines lines;
    };
    const Row rows[] = {
        {"two lines, the second unfinished", "\r\n", {"AB\r\nCD"}, {"AB\r\n"}},
        {"terminator split across reads", "\r\n", {"AB\r", "\nCD\r\n"}, {"AB\r\n", "CD\r\n"}},
        {"three-byte terminator split twice", "END", {"xE", "N", "Dy", "yEND"}, {"xEND", "yyEND"}},
        {"a terminator's first byte inside the line", "\r\n", {"a\rb\r\n"}, {"a\rb\r\n"}},
        {"line end of one byte", "\n", {"one\ntwo\n\nthree"}, {"one\n", "two\n", "\n"}},
        {"empty line end passes the bytes through", "", {"AB\r\nCD"}, {"AB\r\nCD"}},
        {"two thousand lines in one go", "\r\n", {many}, manyLines},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LinePair pair;
        pair.client.SetLineEnd(row.lineEnd);
        if (row.lineEnd.empty()) {
            pair.client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
                pair.lines.push_back(s->ReceiveString());
            };
        }
        pair.Feed(row.chunks);
        ASSERT_TRUE(PumpUntil([&] { return pair.lines.size() >= row.lines.size(); }));
        Settle();
        EXPECT_EQ(pair.lines, row.lines);
    }
}

TEST(LineMode, OneCallPerLineWithItsLengthAndTheRestWaits)
{
    LinePair pair;
    pair.Feed({"AB\r\nCD"});
    ASSERT_TRUE(PumpUntil([&] { return !pair.lines.empty(); }));
    Settle(100);
    EXPECT_EQ(pair.counts, std::vector<int>{4});
    EXPECT_EQ(pair.lines, Lines{"AB\r\n"});
    pair.Feed({"\r\n"});
    ASSERT_TRUE(PumpUntil([&] { return pair.lines.size() == 2; }));
    EXPECT_EQ(pair.lines[1], "CD\r\n");
    EXPECT_EQ(pair.client.ReadCount(), 8) << "bytes count once, when the owner reads them";
}

TEST(LineMode, ALineReadInTwoParts)
{
    LinePair pair;
    std::vector<std::pair<int, std::string>> reads;
    pair.client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        const int n = s->RcvdCount();
        char buf[2];
        const int r = s->Receive(buf, 2);
        reads.emplace_back(n, std::string(buf, static_cast<std::size_t>(std::max(r, 0))));
    };
    pair.Feed({"AB\r\nXY\r\n"});
    ASSERT_TRUE(PumpUntil([&] { return reads.size() >= 4; }));
    Settle();
    EXPECT_EQ(reads, (std::vector<std::pair<int, std::string>>{{4, "AB"}, {2, "\r\n"}, {4, "XY"}, {2, "\r\n"}}));
}

TEST(LineMode, HandlerThatReadsNothingIsNotCalledWithoutEnd)
{
    LinePair pair;
    int calls = 0;
    pair.client.OnDataAvailable = [&](TCustomWSocket *, std::uint16_t) { ++calls; };
    pair.Feed({"stuck\r\n"});
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
    Settle(100);
    EXPECT_EQ(calls, 1);
    // The line is still there for a later read.
    EXPECT_EQ(pair.client.RcvdCount(), 7);
    EXPECT_EQ(pair.client.ReceiveString(), "stuck\r\n");
}

TEST(LineMode, LimitOnAnUnfinishedLine)
{
    struct Row {
        const char *name;
        bool clear;
        std::string then;
        std::string line;
    };
    const Row rows[] = {
        {"bytes discarded", true, "Z\r\n", "Z\r\n"},
        {"bytes kept", false, "Z\r\n", "0123456789AZ\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LinePair pair;
        pair.client.SetLineLimit(10);
        std::vector<int> exceeded;
        pair.client.OnLineLimitExceeded = [&](TCustomWSocket *, int length, bool &clear) {
            exceeded.push_back(length);
            EXPECT_TRUE(clear) << "offered as true";
            clear = row.clear;
        };
        pair.Feed({"0123456789"});
        EXPECT_TRUE(exceeded.empty()) << "10 bytes are within the limit";
        pair.Feed({"A"});
        ASSERT_TRUE(PumpUntil([&] { return !exceeded.empty(); }));
        EXPECT_EQ(exceeded, std::vector<int>{11});
        pair.Feed({row.then});
        ASSERT_TRUE(PumpUntil([&] { return !pair.lines.empty(); }));
        EXPECT_EQ(pair.lines, Lines{row.line});
    }
}

TEST(LineMode, ALimitHandlerThatClosesLeavesTheNextSessionWhole)
{
    LinePair pair;
    pair.client.SetLineLimit(4);
    pair.client.OnLineLimitExceeded = [&](TCustomWSocket *s, int, bool &) { s->Close(); };
    pair.Feed({"0123456789"});
    ASSERT_TRUE(PumpUntil([&] { return pair.client.State() == wsClosed; }));

    // Same object, next session: its last line comes as usual.
    pair.closed = false;
    Aim(pair.client, pair.server.Port());
    pair.client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return pair.client.State() == wsConnected && pair.server.Peer(1); }));
    pair.server.Peer(1)->SetLingerOnOff(wsLingerNoSet);
    pair.server.Peer(1)->SendString("L1\r\nEND");
    Settle();
    pair.server.Peer(1)->Close();
    ASSERT_TRUE(PumpUntil([&] { return pair.closed; }));
    EXPECT_EQ(pair.lines, (Lines{"L1\r\n", "END"}));
}

TEST(LineMode, EditingWithBackspaceAndTab)
{
    struct Row {
        const char *name;
        std::vector<std::string> chunks;
        bool echo;
        Lines lines;
        std::string echoed;
    };
    const Row rows[] = {
        {"backspace", {"ab\bc\r\n"}, false, {"ac\r\n"}, ""},
        {"backspace echoed", {"ab\bc\r\n"}, true, {"ac\r\n"}, "ab\b \bc\r\n"},
        {"tab at column 3", {"abc\tx\r\n"}, false, {"abc     x\r\n"}, ""},
        {"tab at column 8 is a full stop",
         {"abcdefgh\tx\r\n"},
         true,
         {"abcdefgh        x\r\n"},
         "abcdefgh        x\r\n"},
        {"backspace into bytes of an earlier read", {"abc", "\b\bX\r\n"}, false, {"aX\r\n"}, ""},
        {"backspace at the start of a line does nothing", {"\bq\r\n"}, true, {"q\r\n"}, "q\r\n"},
        {"columns and backspaces stay within their line",
         {"ab\r\n\b\bcd\tz\r\n"},
         false,
         {"ab\r\n", "cd      z\r\n"},
         ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LinePair pair;
        pair.client.SetLineEdit(true);
        pair.client.SetLineEcho(row.echo);
        pair.Feed(row.chunks);
        ASSERT_TRUE(PumpUntil([&] { return pair.lines.size() >= row.lines.size(); }));
        Settle();
        EXPECT_EQ(pair.lines, row.lines);
        if (row.echo) {
            ASSERT_TRUE(PumpUntil([&] { return pair.echoed.size() >= row.echoed.size(); }));
        }
        EXPECT_EQ(pair.echoed, row.echoed);
    }
}

TEST(LineMode, EchoWithoutEditingSendsBackWhatCame)
{
    LinePair pair;
    pair.client.SetLineEcho(true);
    const std::string sent = std::string("tab\there, bs\b too\r\nand half");
    pair.Feed({sent});
    ASSERT_TRUE(PumpUntil([&] { return pair.echoed.size() >= sent.size(); }));
    EXPECT_EQ(pair.echoed, sent);
    EXPECT_EQ(pair.lines, Lines{"tab\there, bs\b too\r\n"});
}

TEST(LineMode, WhatIsLeftComesAsALastLineBeforeTheClose)
{
    LinePair pair;
    Lines log;
    pair.client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        log.push_back("line " + s->ReceiveString());
    };
    pair.client.OnSessionClosed = [&](TCustomWSocket *, std::uint16_t e) {
        log.push_back("closed " + std::to_string(e));
    };
    pair.Peer().SetLingerOnOff(wsLingerNoSet);
    pair.Feed({"L1\r\nXYZ"});
    pair.Peer().Close();
    ASSERT_TRUE(PumpUntil([&] { return pair.client.State() == wsClosed; }));
    EXPECT_EQ(log, (Lines{"line L1\r\n", "line XYZ", "closed 0"}));
}

TEST(LineMode, SwitchingOffDeliversTheHeldBytesBeforeNewData)
{
    LinePair pair;
    std::vector<std::string> reads;
    pair.client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        char buf[100];
        const int r = s->Receive(buf, sizeof buf);
        if (r > 0)
            reads.emplace_back(buf, static_cast<std::size_t>(r));
    };
    pair.Feed({"PART"});
    EXPECT_TRUE(reads.empty());
    pair.client.SetLineMode(false);
    EXPECT_TRUE(reads.empty()) << "delivered from the message loop, not inside the setter";
    pair.Peer().SendString("NEW");
    ASSERT_TRUE(PumpUntil([&] { return reads.size() >= 2; }));
    EXPECT_EQ(reads, (std::vector<std::string>{"PART", "NEW"}));
}

TEST(LineMode, HandlerSwitchingOffInTheMiddleOfALine)
{
    LinePair pair;
    std::string raw;
    pair.client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) {
        char buf[100];
        if (pair.client.LineMode()) {
            const int r = s->Receive(buf, 1);
            raw += "[" + std::string(buf, static_cast<std::size_t>(std::max(r, 0))) + "]";
            pair.client.SetLineMode(false);
            return;
        }
        const int r = s->Receive(buf, sizeof buf);
        if (r > 0)
            raw.append(buf, static_cast<std::size_t>(r));
    };
    pair.Feed({"AB\r\nCD\r\n"});
    ASSERT_TRUE(PumpUntil([&] { return raw.size() >= 10; }));
    Settle();
    EXPECT_EQ(raw, "[A]B\r\nCD\r\n") << "the rest of the line first, then what followed it";
}

TEST(LineMode, PendingBytesWithoutAHandlerOrALineEnd)
{
    LinePair pair;
    pair.client.OnDataAvailable = nullptr;
    pair.Feed({"partial"});
    // Switched back and forth before the loop runs: two posted messages,
    // neither of which may loop without end.
    pair.client.SetLineMode(false);
    pair.client.SetLineMode(true);
    Settle();
    pair.client.SetLineMode(false);
    Settle();
    EXPECT_EQ(pair.client.RcvdCount(), 7) << "nothing lost";
    EXPECT_EQ(pair.client.ReceiveString(), "partial");

    // With a handler and line mode on, the held bytes wait for their line end.
    pair.client.SetLineMode(true);
    pair.client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) { pair.lines.push_back(s->ReceiveString()); };
    pair.Feed({"more"});
    pair.client.SetLineMode(false);
    pair.client.SetLineMode(true);
    Settle();
    EXPECT_TRUE(pair.lines.empty());
    pair.Feed({"\r\n"});
    ASSERT_TRUE(PumpUntil([&] { return !pair.lines.empty(); }));
    EXPECT_EQ(pair.lines, Lines{"more\r\n"});
}

TEST(LineMode, LinesWithoutAHandlerAreDroppedAndTheSocketGoesOn)
{
    LinePair pair;
    pair.client.OnDataAvailable = nullptr;
    pair.Feed({"dropped\r\nkept"});
    pair.client.OnDataAvailable = [&](TCustomWSocket *s, std::uint16_t) { pair.lines.push_back(s->ReceiveString()); };
    pair.Feed({"\r\n"});
    ASSERT_TRUE(PumpUntil([&] { return !pair.lines.empty(); }));
    EXPECT_EQ(pair.lines, Lines{"kept\r\n"});
}

TEST(SyncWaits, ConnectAwaitedThroughSynchronize)
{
    bool done = false;
    std::uint16_t error = 1;
    LoopbackServer server;
    TWSocket client;
    client.OnSessionConnected = [&](TCustomWSocket *, std::uint16_t e) {
        error = e;
        done = true;
    };
    Aim(client, server.Port());
    EXPECT_EQ(client.Synchronize([&] { client.Connect(); }, done), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(client.State(), wsConnected);
}

TEST(SyncWaits, WaitingCostsNoProcessorTime)
{
    bool done = false;
    TWSocket s;
    QObject scope;
    QTimer::singleShot(400, &scope, [&] { done = true; });
    const std::clock_t cpuBefore = std::clock();
    const std::uint32_t before = TickCount();
    EXPECT_EQ(s.WaitUntilReady(done), 0);
    const std::uint32_t took = TickCount() - before;
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    EXPECT_GE(took, 380u);
    EXPECT_LT(cpuMs, 150.0) << "the wait spun";
}

TEST(SyncWaits, TimeOutGivesUp)
{
    TWSocket s;
    s.SetWaitTimeout(80);
    bool done = false;
    const std::uint32_t before = TickCount();
    EXPECT_EQ(s.Synchronize({}, done), 12001);
    const std::uint32_t took = TickCount() - before;
    EXPECT_GE(took, 80u);
    EXPECT_LT(took, 1000u);
    // A flag already set wins over the time-out.
    done = true;
    EXPECT_EQ(s.WaitUntilReady(done), 0);
}

TEST(SyncWaits, AQuitRequestEndsTheWait)
{
    bool done = false;
    TWSocket s;
    QObject scope;
    QTimer::singleShot(50, &scope, [] {
        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
    });
    // Ends a wait that would otherwise never end, so a failure cannot hang.
    QTimer::singleShot(3000, &scope, [&] { done = true; });
    EXPECT_EQ(s.WaitUntilReady(done), 12001);
    EXPECT_TRUE(s.QuitSeen());
    PumpUntil([&] { return done; }, 4000);
}
