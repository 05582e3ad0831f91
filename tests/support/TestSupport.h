#pragma once

#include "platform/ui/MessageBox.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

// Readable failures for Qt texts.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray &b, std::ostream *os)
{
    *os << '"' << b.toStdString() << '"';
}

// One expected message box: its title and text (an empty expectation matches
// anything), the answer to give, and an optional action run while it is "up".
struct ExpectedBox {
    QString title;
    QString text;
    int answer = IDOK;
    std::function<void()> whileShown = {};
};

// Answers message boxes from a script. A box nobody expected fails the test
// (and is answered No/OK so the program goes on). Install one per test.
class BoxScript {
public:
    BoxScript();
    ~BoxScript();
    void Expect(ExpectedBox box) { expected_.push_back(std::move(box)); }
    void ExpectInfo(const QString &text, std::function<void()> whileShown = {});
    void ExpectWarning(const QString &text, std::function<void()> whileShown = {});
    void ExpectError(const QString &text, std::function<void()> whileShown = {});
    void ExpectQuestion(const QString &text, bool yes, std::function<void()> whileShown = {});
    // Every box shown so far, in order.
    const std::vector<MessageBoxCall> &Shown() const { return shown_; }
    bool AllShown() const { return expected_.empty(); }
    // Fails the test when expected boxes never came.
    void Verify();

private:
    std::deque<ExpectedBox> expected_;
    std::vector<MessageBoxCall> shown_;
};

// Records what the program hands to the shell.
class ShellLog {
public:
    ShellLog();
    ~ShellLog();
    const QStringList &Targets() const { return targets_; }
    // As on a desktop without any opener: every target is recorded, none opens.
    void NothingOpens() { opens_ = false; }

private:
    QStringList targets_;
    bool opens_ = true;
};

// A fresh program folder for one test, removed afterwards.
class TempProgramFolder {
public:
    TempProgramFolder();
    ~TempProgramFolder();
    QString Path() const; // with trailing separator
    QString File(const QString &name) const { return Path() + name; }
    void Write(const QString &name, const QByteArray &bytes) const;
    QByteArray Read(const QString &name) const;

private:
    QTemporaryDir dir_;
};

// size bytes of xorshift noise: a body no server or client could mistake
// for text, the same on every run.
QByteArray NoiseBytes(int size, std::uint32_t seed = 88172645u);

// Pumps events until cond holds or timeoutMs passes; returns cond().
bool PumpUntil(const std::function<bool()> &cond, int timeoutMs = 5000);

// Reads a CSV file back with Python's csv module, strictly: a field quoted
// wrongly fails the read (and the test) instead of being guessed at.
std::vector<QStringList> ReadCsvWithPython(const QString &path);
