#pragma once

#include "net/MemoryStream.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMap>
#include <QString>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

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

// A field of a /proc file that reads "Name:   123 kB".
inline double KiBField(const QString &path, const QByteArray &name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toDouble();
    return 0;
}

// A process of the tree a benchmark measures, as /proc/PID/stat has it.
struct TreeProcess {
    qint64 pid = 0;
    double cpuSeconds = 0; // user and system time, with the children it reaped
};

// This process and every descendant but the web server the benchmark started.
inline QList<TreeProcess> OwnProcessTree()
{
    QMap<qint64, qint64> parent;
    QMap<qint64, QByteArray> name;
    QMap<qint64, double> cpu;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype open = line.indexOf('('), close = line.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> f = line.mid(close + 2).split(' ');
        name[pid] = line.mid(open + 1, close - open - 1);
        parent[pid] = f.value(1).toLongLong();
        // utime stime cutime cstime: fields 14 to 17, counted here from the state (field 3).
        cpu[pid] =
            (f.value(11).toDouble() + f.value(12).toDouble() + f.value(13).toDouble() + f.value(14).toDouble()) / tick;
    }
    QList<TreeProcess> tree;
    QList<qint64> todo{getpid()};
    while (!todo.isEmpty()) {
        const qint64 pid = todo.takeFirst();
        if (name.value(pid).startsWith("nginx"))
            continue;
        tree.append({pid, cpu.value(pid)});
        for (auto it = parent.cbegin(); it != parent.cend(); ++it)
            if (it.value() == pid)
                todo.append(it.key());
    }
    return tree;
}
