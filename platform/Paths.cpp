#include "platform/Paths.h"

#include "platform/Files.h"

#include <QDir>
#include <QFileInfo>

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

namespace {
// The base of the user's data folders, as the XDG rules give it, or empty.
// Qt would take a missing HOME for "/" and put the user's files at the root
// of the file system; a service started without a user gets a refusal instead.
QString DataHome()
{
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    // The rules ignore a relative value: it would depend on the current folder.
    if (QDir::isAbsolutePath(xdg) && QDir::cleanPath(xdg) != QStringLiteral("/"))
        return QDir::cleanPath(xdg);
    const QString home = qEnvironmentVariable("HOME");
    if (!QDir::isAbsolutePath(home) || QDir::cleanPath(home) == QStringLiteral("/"))
        return QString();
    return QDir::cleanPath(home) + QStringLiteral("/.local/share");
}
} // namespace

QString DataFolderProblem()
{
    if (IsPortable() || !DataHome().isEmpty())
        return QString();
    return QStringLiteral("nessuna cartella per i dati dell'utente: HOME non è impostata o non è un percorso "
                          "assoluto (o è la radice), e XDG_DATA_HOME non indica una cartella");
}

QString DataFolder()
{
    if (IsPortable())
        return ProgramFolder();
    const QString base = DataHome();
    if (base.isEmpty())
        return QString();
    // The program's name, as the application's title gives it to Qt's own paths.
    const QString folder = base + QStringLiteral("/T4V_Quorvi");
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
