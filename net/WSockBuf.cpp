#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int size)
{
    SetBufSize(size);
}

void TBuffer::SetBufSize(int size)
{
    if (size <= 0)
        size = 1514;
    if (size == bufSize_)
        return;
    if (wrCount_ == rdCount_) {
        buf_ = std::make_unique<char[]>(static_cast<std::size_t>(size));
        wrCount_ = rdCount_ = 0;
        bufSize_ = size;
        return;
    }
    size = std::max(size, wrCount_);
    auto grown = std::make_unique<char[]>(static_cast<std::size_t>(size));
    std::memcpy(grown.get(), buf_.get(), static_cast<std::size_t>(wrCount_));
    buf_ = std::move(grown);
    bufSize_ = size;
}

int TBuffer::Write(const void *data, int len)
{
    const int n = std::clamp(len, 0, bufSize_ - wrCount_);
    if (n > 0) {
        std::memcpy(buf_.get() + wrCount_, data, static_cast<std::size_t>(n));
        wrCount_ += n;
    }
    return n;
}

const char *TBuffer::Peek(int &len) const
{
    len = wrCount_ - rdCount_;
    return len > 0 ? buf_.get() + rdCount_ : nullptr;
}

int TBuffer::Remove(int len)
{
    const int n = std::clamp(len, 0, wrCount_ - rdCount_);
    rdCount_ += n;
    if (rdCount_ == wrCount_)
        rdCount_ = wrCount_ = 0;
    return n;
}
