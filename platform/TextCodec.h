#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Text files are single-byte Windows-1252. Every byte decodes to one character
// (the five bytes the code page leaves undefined map to the C1 controls of the
// same value), so any file survives a read and a write unchanged.
QString DecodeAnsi(const QByteArray &bytes);

// Encodes text; a character the code page cannot hold raises EFileError naming
// it, because dropping or replacing it would silently change the user's data.
QByteArray EncodeAnsi(const QString &text);

// True when every character of text can be written in Windows-1252.
bool IsAnsiEncodable(const QString &text);

// Cuts text into lines: CR LF, a lone CR or a lone LF ends a line; a line end at
// the very end adds no empty line; a NUL character ends the text.
QStringList SplitLines(const QString &text);

// Byte-level twin of SplitLines for page bodies: the same line ends, but a NUL
// byte is kept as data, since a body is not a text file.
QList<QByteArray> SplitByteLines(const QByteArray &bytes);

// Joins lines with CR LF after every line, the last one included.
QString JoinLines(const QStringList &lines);
