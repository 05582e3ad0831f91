// Plain POSIX sockets: this file must not see the sockets shim, whose names
// are the same as the system's macros.
#include "tests/net/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

std::string Hex(const std::string &bytes)
{
    std::string out;
    char cell[4];
    for (unsigned char c : bytes) {
        std::snprintf(cell, sizeof cell, out.empty() ? "%02x" : " %02x", c);
        out += cell;
    }
    return out;
}

ScriptedPeer::ScriptedPeer()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    ::listen(listener_, 4);
    socklen_t len = sizeof sin;
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&sin), &len);
    port_ = ntohs(sin.sin_port);
}

ScriptedPeer::~ScriptedPeer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (conn_ >= 0)
        ::close(conn_);
    ::close(listener_);
}

void ScriptedPeer::Start()
{
    thread_ = std::thread([this] { Run(); });
}

std::vector<std::string> ScriptedPeer::Problems() const
{
    std::lock_guard lock(mutex_);
    return problems_;
}

void ScriptedPeer::Problem(const std::string &text)
{
    std::lock_guard lock(mutex_);
    problems_.push_back(text);
}

// Waits for readability in short slices so the destructor can stop it.
bool ScriptedPeer::Readable(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
        pollfd p{conn_, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0)
            return true;
    }
    return false;
}

void ScriptedPeer::Run()
{
    pollfd p{listener_, POLLIN, 0};
    for (int waited = 0; !stop_ && waited < 5000; waited += 20) {
        if (::poll(&p, 1, 20) > 0)
            break;
    }
    if (!(p.revents & POLLIN)) {
        if (!steps_.empty())
            Problem("no connection came");
        done_ = true;
        return;
    }
    conn_ = ::accept(listener_, nullptr, nullptr);
    accepted_ = true;
    for (std::size_t i = 0; i < steps_.size() && !stop_; ++i) {
        const Step &step = steps_[i];
        const std::string where = "step " + std::to_string(i) + ": ";
        switch (step.kind) {
        case Step::Expect: {
            std::string got;
            while (got.size() < step.bytes.size() && Readable(5000)) {
                char buf[512];
                const ssize_t n = ::recv(conn_, buf, std::min(sizeof buf, step.bytes.size() - got.size()), 0);
                if (n <= 0)
                    break;
                got.append(buf, static_cast<std::size_t>(n));
            }
            if (got != step.bytes) {
                Problem(where + "expected [" + Hex(step.bytes) + "] got [" + Hex(got) + "]");
                done_ = true;
                return;
            }
            break;
        }
        case Step::Send:
            if (::send(conn_, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(step.bytes.size()))
                Problem(where + "send failed");
            break;
        case Step::Pause:
            std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            break;
        case Step::Silence:
            if (Readable(step.ms)) {
                char buf[512];
                const ssize_t n = ::recv(conn_, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0)
                    Problem(where + "unexpected [" + Hex(std::string(buf, static_cast<std::size_t>(n))) + "]");
            }
            break;
        case Step::HangUp:
            ::shutdown(conn_, SHUT_RDWR);
            break;
        }
    }
    done_ = true;
}

bool WaitForListener(int port, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool ok = ::connect(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0;
        ::close(s);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}
