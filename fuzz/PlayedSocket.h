#pragma once

#include "net/WSocket.h"

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A socket without a network: every connection answers with the same bytes,
// cut into the given fragments, then ends (orderly or with a reset). Its
// notifications wait in a queue that the driver runs one by one between
// passes of the message loop, as the real socket's arrive from the loop.
class PlayedSocket : public TWSocket {
public:
    using Queue = std::deque<std::function<void()>>;

    PlayedSocket(Queue &queue, std::string answer, std::vector<std::size_t> fragments)
        : queue_(queue), answer_(std::move(answer)), fragments_(std::move(fragments))
    {
    }
    ~PlayedSocket() override { *alive_ = false; }

    bool failLookup = false;
    std::uint16_t closeError = 0; // 0: orderly end; else the error the end carries
    std::string sent;             // every byte the client wrote, all connections
    int connections = 0;

    void DnsLookup(const std::string &) override
    {
        const int generation = generation_;
        Later(generation, [this] {
            FDnsResult = "127.0.0.1";
            if (OnDnsLookupDone)
                OnDnsLookupDone(this, failLookup ? 11001 : 0);
        });
    }
    void CancelDnsLookup() override { ++generation_; }

    void Connect() override
    {
        ++connections;
        closeInvoked_ = false;
        pending_.clear();
        SetState(wsConnecting);
        const int generation = generation_;
        Later(generation, [this] {
            SetState(wsConnected);
            if (OnSessionConnected)
                OnSessionConnected(this, 0);
        });
        std::size_t at = 0;
        for (std::size_t size : fragments_) {
            if (at >= answer_.size())
                break;
            const std::string piece = answer_.substr(at, size);
            at += piece.size();
            Later(generation, [this, piece] {
                pending_ += piece;
                ReadLoop();
            });
        }
        if (at < answer_.size()) {
            const std::string rest = answer_.substr(at);
            Later(generation, [this, rest] {
                pending_ += rest;
                ReadLoop();
            });
        }
        Later(generation, [this] {
            const auto alive = alive_;
            ReadLoop();
            if (!*alive || closeInvoked_)
                return;
            closeInvoked_ = true;
            if (OnSessionClosed)
                OnSessionClosed(this, closeError);
            if (*alive && FState != wsClosed)
                SetState(wsClosed);
        });
    }

    int Send(const void *Data, int Len) override
    {
        if (Len > 0)
            sent.append(static_cast<const char *>(Data), static_cast<std::size_t>(Len));
        Later(generation_, [this] {
            if (OnDataSent)
                OnDataSent(this, 0);
        });
        return Len;
    }

    int Receive(void *Buffer, int BufferSize) override
    {
        ++reads_;
        if (pending_.empty() || BufferSize <= 0) {
            FLastError = 10035; // would block
            return -1;
        }
        const std::size_t n = std::min(pending_.size(), static_cast<std::size_t>(BufferSize));
        std::memcpy(Buffer, pending_.data(), n);
        pending_.erase(0, n);
        FReadCount += static_cast<int>(n);
        return static_cast<int>(n);
    }

    void Close() override
    {
        ++generation_;
        pending_.clear();
        if (FState == wsClosed)
            return;
        const auto alive = alive_;
        SetState(wsClosed);
        if (!*alive || closeInvoked_)
            return;
        closeInvoked_ = true;
        if (OnSessionClosed)
            OnSessionClosed(this, 0);
    }
    void Abort() override { Close(); }

private:
    void Later(int generation, std::function<void()> fn)
    {
        const auto alive = alive_;
        queue_.push_back([this, alive, generation, fn = std::move(fn)] {
            if (*alive && generation == generation_)
                fn();
        });
    }

    // As the real socket: the handler is called while data waits and it keeps
    // reading; one that reads nothing leaves the rest for the next event.
    void ReadLoop()
    {
        const auto alive = alive_;
        try {
            while (!pending_.empty() && OnDataAvailable) {
                const int before = reads_;
                OnDataAvailable(this, 0);
                if (!*alive || reads_ == before)
                    return;
            }
        } catch (...) {
            // The real receive loop absorbs a failure of the data handler too.
        }
    }

    Queue &queue_;
    std::string answer_;
    std::vector<std::size_t> fragments_;
    std::string pending_;
    int generation_ = 0;
    int reads_ = 0;
    bool closeInvoked_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
