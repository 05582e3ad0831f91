#pragma once

#include "net/MemoryStream.h"

#include <QByteArray>
#include <QFile>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/resource.h>

// Wall clock and CPU time of a stretch of work. CPU is the whole process's
// (every thread: the lookup workers count too) unless thread-only is asked.
class Stopwatch {
public:
    explicit Stopwatch(bool threadOnly = false) : who_(threadOnly ? RUSAGE_THREAD : RUSAGE_SELF) { Restart(); }
    void Restart()
    {
        wall_ = std::chrono::steady_clock::now();
        cpu_ = CpuSeconds();
    }
    double WallSeconds() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count();
    }
    double CpuSecondsUsed() const { return CpuSeconds() - cpu_; }

private:
    double CpuSeconds() const
    {
        rusage u{};
        getrusage(who_, &u);
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    int who_;
    std::chrono::steady_clock::time_point wall_;
    double cpu_ = 0;
};

// Peak resident memory of this process so far, in MiB.
inline double PeakRssMiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

inline void Verdict(const char *what, bool met)
{
    std::printf("  target %-58s %s\n", what, met ? "MET" : "MISSED");
}

// Counts and forgets: what a caller that only wants the page fetched uses.
class DiscardStream : public TStream {
public:
    int Read(void *, int) override { return 0; }
    int Write(const void *, int Count) override
    {
        size_ += Count;
        return Count;
    }
    std::int64_t Size() const override { return size_; }
    std::int64_t Position() const override { return size_; }
    void SetPosition(std::int64_t) override {}

private:
    std::int64_t size_ = 0;
};

// The body of the throughput tests: 256 MiB written to path, a mebibyte at a time.
constexpr qint64 kBigBody = 256ll * 1024 * 1024;
inline void WriteBigBody(const QString &path)
{
    QFile big(path);
    if (!big.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write the big file");
    const QByteArray block(1 << 20, 'b');
    for (qint64 i = 0; i < kBigBody / block.size(); ++i) {
        if (big.write(block) != block.size())
            throw std::runtime_error("cannot write the big file");
    }
}
