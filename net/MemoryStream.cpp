// The memory stream the HTTP client writes a body into by default: one block
// grown with realloc.

#include "net/MemoryStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------
// Memory stream
// ---------------------------------------------------------------------------

TMemoryStream::~TMemoryStream()
{
    std::free(FData);
}

void TMemoryStream::Reserve(std::size_t Needed)
{
    if (Needed <= FCapacity)
        return;
    // Doubling keeps the number of moves small; the pages of a big block
    // that are never written take no memory.
    const std::size_t capacity = std::max<std::size_t>({Needed, FCapacity * 2, 4096});
    char *grown = static_cast<char *>(std::realloc(FData, capacity));
    if (grown == nullptr)
        throw std::bad_alloc();
    FData = grown;
    FCapacity = capacity;
}

int TMemoryStream::Read(void *Buffer, int Count)
{
    if (Count <= 0 || FPosition >= Size())
        return 0;
    const auto n = static_cast<int>(std::min<std::int64_t>(Count, Size() - FPosition));
    std::memcpy(Buffer, FData + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
}

int TMemoryStream::Write(const void *Buffer, int Count)
{
    if (Count <= 0)
        return 0;
    const auto at = static_cast<std::size_t>(FPosition);
    const std::size_t end = at + static_cast<std::size_t>(Count);
    Reserve(end);
    // Writing beyond the end fills the gap with zeros.
    if (at > FSize)
        std::memset(FData + FSize, 0, at - FSize);
    std::memcpy(FData + at, Buffer, static_cast<std::size_t>(Count));
    FSize = std::max(FSize, end);
    FPosition += Count;
    return Count;
}

void TMemoryStream::SetPosition(std::int64_t Position)
{
    FPosition = std::max<std::int64_t>(0, Position);
}

void TMemoryStream::Clear()
{
    std::free(FData);
    FData = nullptr;
    FSize = 0;
    FCapacity = 0;
    FPosition = 0;
}
