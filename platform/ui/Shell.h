#pragma once

#include <QString>
#include <functional>

// Hands a file path or an address (web or "mailto:") to the desktop's default
// application and returns at once. False when no application could be started
// for it (no opener installed, nothing registered for the kind of target), so
// the caller can tell the user instead of leaving a click without effect.
bool ShellOpen(const QString &target);

// Tests record the targets instead of starting programs; the recorder's answer
// stands for whether an application was started.
void SetShellRecorder(std::function<bool(const QString &)> recorder);
