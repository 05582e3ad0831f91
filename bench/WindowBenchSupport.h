#pragma once

#include "platform/Files.h"
#include "platform/ui/MessageBox.h"

#include <QTemporaryDir>
#include <cstdio>
#include <stdexcept>

// The window benchmarks' program: a throw-away folder of its own, and message
// boxes answered without a screen. Only the end-of-run report question may
// come (declined); any other box is counted and named.
class QuietProgram {
public:
    QuietProgram()
    {
        if (!folder_.isValid())
            throw std::runtime_error("no temporary folder");
        SetProgramFolderForTesting(folder_.path());
        SetMessageBoxResponder([this](const MessageBoxCall &call) {
            if (!call.text.startsWith("Vuoi visualizzare"))
                ++unexpected_, std::fprintf(stderr, "box: %s\n", qPrintable(call.text));
            return call.buttons == BoxButtons::YesNo ? IDNO : IDOK;
        });
    }
    ~QuietProgram()
    {
        SetMessageBoxResponder({});
        SetProgramFolderForTesting(QString());
    }
    QuietProgram(const QuietProgram &) = delete;
    QuietProgram &operator=(const QuietProgram &) = delete;

    QString Folder() const { return folder_.path(); }
    // Raises when a box other than the report question came.
    void CheckNoUnexpectedBox() const
    {
        if (unexpected_)
            throw std::runtime_error("unexpected message boxes");
    }

private:
    QTemporaryDir folder_;
    int unexpected_ = 0;
};
