#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The folder of the running program, ending with its separator. Whether the
// user's files live there too is for platform/Paths to say.
QString ProgramFolder();
// Tests point the program at a temporary folder; an empty text restores the real one.
void SetProgramFolderForTesting(const QString &folder);

// File names (with extension) in folder matching a mask such as "*.tvx",
// compared without regard to case and sorted the same way.
QStringList ListFiles(const QString &folder, const QString &mask);

bool FileExists(const QString &path);

// Whole-file access; failures raise EFileError with a message naming the file.
QByteArray ReadWholeFile(const QString &path);
void WriteWholeFile(const QString &path, const QByteArray &bytes);
// Returns false when the file system refused.
bool DeleteFile(const QString &path);

// Text files: Windows-1252, lines split as SplitLines does, written with CR LF.
QStringList ReadTextLines(const QString &path);
void WriteTextLines(const QString &path, const QStringList &lines);
