#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// What the terminal gets before any window opens. The program takes no other
// options: its configuration is the options window.
struct CommandLineAnswer {
    std::optional<int> exitCode; // set when the program ends without its windows
    QString out;                 // for standard output
    QString err;                 // for standard error
};

// arguments as the process got them, the program's own name first.
CommandLineAnswer AnswerCommandLine(const QStringList &arguments);

// "T4V_Quorvi 04.2003-10": the identity the about window shows.
QString VersionLine();
