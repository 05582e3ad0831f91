#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the server does with one request. The request path names it:
// "/<word>/<anything>", the words below.
enum class Answer {
    Page,              // "page": 200 and a small page
    NotFound,          // "notfound": 404 and an error page
    ResetInHeader,     // "resethead": part of a header, then a reset
    ResetInBody,       // "resetbody": a header promising more than is sent, then a reset
    Silence,           // "silence": reads the request and never answers
    EndlessHeaderLine, // "longline": a header line that never ends
    GarbageStatus,     // "garbage": a status line that is not one
    EndlessRelocation, // "reloc": relocates to itself with the next number, for ever
    HugeBody,          // "huge": 200 and a body of kHugeBodyBytes
    Drip,              // "drip": a small page, one byte at a time
};

inline constexpr Answer kAllAnswers[] = {
    Answer::Page,          Answer::NotFound,          Answer::ResetInHeader,
    Answer::ResetInBody,   Answer::Silence,           Answer::EndlessHeaderLine,
    Answer::GarbageStatus, Answer::EndlessRelocation, Answer::HugeBody,
    Answer::Drip,
};

const char *AnswerWord(Answer answer);

// The bodies the client is meant to keep, so the test can compare.
std::string PageBody(const std::string &path);
// What arrives of a body cut by a reset.
std::string CutBody();
std::string DripBody();
inline constexpr std::size_t kHugeBodyBytes = 50u * 1024 * 1024;
// The huge body is lines of this many bytes, CR LF included.
inline constexpr std::size_t kHugeLineBytes = 100;

// A loopback server with one thread per connection, for a client that may
// misbehave as much as the server does: every endless answer ends when the
// client goes away or the server stops.
class HostileServer {
public:
    HostileServer();
    ~HostileServer();
    HostileServer(const HostileServer &) = delete;
    HostileServer &operator=(const HostileServer &) = delete;

    std::uint16_t Port() const { return port_; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

    // Requests answered so far, by kind.
    std::map<Answer, int> Served() const;
    // Requests whose path named no kind.
    int Unknown() const;
    // Connections still being served.
    int Open() const { return open_; }

    void Stop();

private:
    void Accept();
    void Serve(int fd);
    void Reap(bool all);

    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> open_{0};
    mutable std::mutex mutex_;
    std::map<Answer, int> served_;
    int unknown_ = 0;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> workers_;
    std::thread acceptor_;
};

// Resident and peak memory of this process, in KiB, from /proc/self/status.
struct MemoryUse {
    long rssKiB = 0;
    long peakKiB = 0;
};
MemoryUse CurrentMemoryUse();
// Open descriptors of this process.
int OpenDescriptors();
