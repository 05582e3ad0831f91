#include "platform/Paths.h"

#include "platform/Files.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

// The build names the share folder as seen from the installed bin folder, so
// an installation moved as a whole (a prefix chosen at install time, a package
// unpacked elsewhere) still finds its files.
#ifndef QUORVI_SHARE_FROM_BIN
#define QUORVI_SHARE_FROM_BIN "../share/quorvi"
#endif

namespace {
QString WithSeparator(QString folder)
{
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

QString InstalledShareFolder()
{
    return WithSeparator(QDir::cleanPath(ProgramFolder() + QStringLiteral(QUORVI_SHARE_FROM_BIN)));
}
} // namespace

bool IsPortable()
{
    // Write permission alone would send root's lists into /usr/bin: an
    // installed tree is never the home of the user's files, writable or not.
    const QFileInfo folder(ProgramFolder());
    return folder.isDir() && folder.isWritable() && !QFileInfo(InstalledShareFolder()).isDir();
}

QString DataFolder()
{
    if (IsPortable())
        return ProgramFolder();
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (folder.isEmpty())
        return ProgramFolder();
    // Should this fail, the read or write that follows names the file it
    // could not reach; nothing is lost by going on.
    QDir().mkpath(folder);
    return WithSeparator(folder);
}

QString DataFilePath(const QString &name)
{
    return DataFolder() + name;
}

QString InstalledFilePath(const QString &name)
{
    const QString beside = ProgramFolder() + name;
    if (FileExists(beside))
        return beside;
    const QString installed = InstalledShareFolder() + name;
    return FileExists(installed) ? installed : beside;
}
