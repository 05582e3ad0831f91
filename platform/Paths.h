#pragma once

#include <QString>

// The one place that decides where the program's files live; every file the
// program reads or writes is named through it.
//
// Portable use: the program sits in a folder of its own that it may write, and
// keeps lists, settings and logs beside itself, next to help.html.
// Installed use: the program's folder belongs to the system (a bin folder with
// the program's share folder beside it, or a folder it cannot write); the
// user's files live in their data folder and help.html where it was installed.

// True when the user's files live in the program's own folder.
bool IsPortable();

// The folder of the user's files (lists, settings, run log, visit record, the
// store of runs), with its trailing separator. In installed use it is the
// user's data folder, created the first time it is asked for; empty when
// DataFolderProblem() has something to say.
QString DataFolder();
// Why the user's files have nowhere to go, or an empty string: installed
// use needs a home (HOME absolute, and not the root of the file system) or
// an absolute XDG_DATA_HOME. Asked once at start, before anything is written.
QString DataFolderProblem();
QString DataFilePath(const QString &name);

// A read-only file that comes with the program, such as "help.html": beside
// the program when it is there, else in the installed share folder. When it is
// in neither, the path beside the program, so the caller's "not found" holds.
QString InstalledFilePath(const QString &name);
