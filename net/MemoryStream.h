#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The byte streams the client writes a body into and reads a POST body from.
// They belong to the caller.
class TStream {
public:
    virtual ~TStream() = default;
    // Both return the number of bytes actually moved.
    virtual int Read(void *Buffer, int Count) = 0;
    virtual int Write(const void *Buffer, int Count) = 0;
    virtual std::int64_t Size() const = 0;
    virtual std::int64_t Position() const = 0;
    virtual void SetPosition(std::int64_t Position) = 0;
};

// Grows its one block with realloc: a big block is then moved by the system
// without copying, so a page of hundreds of megabytes needs its own size in
// memory, not twice that.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ~TMemoryStream() override;
    TMemoryStream(const TMemoryStream &) = delete;
    TMemoryStream &operator=(const TMemoryStream &) = delete;

    int Read(void *Buffer, int Count) override;
    int Write(const void *Buffer, int Count) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(FSize); }
    std::int64_t Position() const override { return FPosition; }
    void SetPosition(std::int64_t Position) override;
    // Valid until the next Write or Clear.
    std::string_view Bytes() const { return {FData ? FData : "", FSize}; }
    void Clear();

private:
    void Reserve(std::size_t Needed);

    char *FData = nullptr;
    std::size_t FSize = 0;
    std::size_t FCapacity = 0;
    std::int64_t FPosition = 0;
};
