#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Bytes as "05 01 00" for failure messages.
std::string Hex(const std::string &bytes);

// The bytes of a text with embedded zero bytes, written as a list.
inline std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

// A peer on 127.0.0.1 that plays a fixed script against the first connection
// it accepts: expect these exact bytes, send those, stay silent for a while,
// hang up. It runs on a thread of its own with plain blocking sockets, so the
// socket under test sees a real peer whose timing the test controls; every
// wait is bounded, so a script that goes wrong ends by itself.
class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    ScriptedPeer &Expect(std::string bytes) { return Add({Step::Expect, std::move(bytes), 0}); }
    ScriptedPeer &Send(std::string bytes) { return Add({Step::Send, std::move(bytes), 0}); }
    // One byte per send, with a pause after each, so that every byte arrives
    // in a read notification of its own.
    ScriptedPeer &SendBytewise(const std::string &bytes, int gapMs = 25)
    {
        for (char c : bytes) {
            Send(std::string(1, c));
            Pause(gapMs);
        }
        return *this;
    }
    ScriptedPeer &Pause(int ms) { return Add({Step::Pause, {}, ms}); }
    // Nothing may arrive for this long (the end of the stream is fine).
    ScriptedPeer &Silence(int ms) { return Add({Step::Silence, {}, ms}); }
    ScriptedPeer &HangUp() { return Add({Step::HangUp, {}, 0}); }

    // Starts playing once the script is written.
    void Start();

    std::string Port() const { return std::to_string(port_); }
    bool Done() const { return done_; }
    bool Accepted() const { return accepted_; }
    std::vector<std::string> Problems() const;

private:
    struct Step {
        enum Kind { Expect, Send, Pause, Silence, HangUp } kind;
        std::string bytes;
        int ms;
    };

    ScriptedPeer &Add(Step step)
    {
        steps_.push_back(std::move(step));
        return *this;
    }
    void Problem(const std::string &text);
    bool Readable(int ms);
    void Run();

    int listener_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
    std::vector<Step> steps_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false}, accepted_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> problems_;
};

// Tries to connect to 127.0.0.1:port until it works or timeoutMs passes; for
// servers the tests start as separate programs.
bool WaitForListener(int port, int timeoutMs);
