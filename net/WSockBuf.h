#pragma once

#include <cstdint>
#include <memory>

// One block of a socket's send queue. Bytes are appended behind what was
// written and taken from the front; space freed at the front is not reused
// until everything is taken, then the block starts over empty.
class TBuffer {
public:
    explicit TBuffer(int size);
    TBuffer(const TBuffer &) = delete;
    TBuffer &operator=(const TBuffer &) = delete;

    int BufSize() const { return bufSize_; }
    int WrCount() const { return wrCount_; }
    int RdCount() const { return rdCount_; }

    // A size of 0 or less means the Ethernet frame size, 1514. Growing keeps
    // what was written; a size smaller than what was written is raised to it,
    // since bytes waiting to be sent must never be cut off.
    void SetBufSize(int size);

    // Copies as much as fits behind the written part; returns the count taken.
    int Write(const void *data, int len);
    // The unsent part: its address, and its length in len (0 when none).
    const char *Peek(int &len) const;
    // Marks up to len bytes as sent; returns the count removed.
    int Remove(int len);

private:
    std::unique_ptr<char[]> buf_;
    int bufSize_ = 0;
    int wrCount_ = 0;
    int rdCount_ = 0;
};
