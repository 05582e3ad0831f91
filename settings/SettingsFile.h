#pragma once

#include "platform/Exception.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

// The five settings of a run. The defaults are the options window's start values.
struct Impostazioni {
    int banda = 2; // 0 "Min" (10 s pause before each visit), 1 (5 s), 2 "Max" (no pause)
    QString proxy; // empty: direct connection
    bool avvisaDopo10 = true;
    bool timerOut = true;
    bool modalitaGrafica = false;

    friend bool operator==(const Impostazioni &, const Impostazioni &) = default;
};

// A settings file that cannot be taken as settings; the message says why.
class ESettingsError : public Exception {
public:
    using Exception::Exception;
};

inline const QString kSettingsFileName = QStringLiteral("impquorvi.imptvx");
constexpr int kSettingsLineCount = 5;
constexpr int kBandaMin = 0;
constexpr int kBandaMax = 2;
// What the proxy field lets one type; a longer proxy loaded from the file is
// shown and kept whole.
constexpr int kProxyMaxLength = 16;
// What the window writes is a few dozen bytes. Anything this large is not a
// settings file, and reading or "repairing" it would only do harm.
constexpr qint64 kSettingsFileMaxBytes = 64 * 1024;

// The settings file in the program's folder.
QString SettingsFilePath();

// Line by line: bandwidth in decimal, proxy as typed, then "True"/"False" for
// the failure warning, the time-out and the graphic mode.
QStringList BuildSettingsLines(const Impostazioni &values);

// Reads lines back. Line 1 must be a whole number and is clamped into the
// bandwidth range; lines 3 to 5 count as checked only when exactly "True".
// Missing lines read as empty ones, lines after the fifth are ignored. Raises
// ESettingsError when line 1 is not a whole number.
Impostazioni ParseSettingsLines(const QStringList &lines);

// Cuts the file's bytes into lines. Raises ESettingsError for a file far too
// large to be settings.
QStringList SettingsLinesFromBytes(const QByteArray &bytes);

// Short files are completed with empty lines, one at a time, the whole list
// written back after each; onRepaired runs after every write so the caller can
// tell the user. Only a file that then loads is completed: on failure nothing
// changes, the file included. EFileError for a file that cannot be read or
// written, ESettingsError for one whose content is not settings.
Impostazioni LoadSettingsFile(const QString &path, const std::function<void()> &onRepaired);

// Creates or replaces the file. A value that cannot be written as it is
// (a proxy text outside the file's code page) raises instead, and the old file
// stays as it was.
void SaveSettingsFile(const QString &path, const Impostazioni &values);
