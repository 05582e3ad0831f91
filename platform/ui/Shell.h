#pragma once

#include <QString>
#include <functional>

// Hands a file path or an address (web or "mailto:") to the desktop's default
// application. Returns at once and reports nothing, like the shell call it
// stands in for.
void ShellOpen(const QString &target);

// Tests record the targets instead of starting programs.
void SetShellRecorder(std::function<void(const QString &)> recorder);
