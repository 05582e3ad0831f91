#include "platform/Files.h"

#include "platform/Exception.h"
#include "platform/TextCodec.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <algorithm>

namespace {
QString &FolderOverride()
{
    static QString folder;
    return folder;
}
} // namespace

QString ProgramFolder()
{
    QString folder = FolderOverride().isEmpty() ? QCoreApplication::applicationDirPath() : FolderOverride();
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

void SetProgramFolderForTesting(const QString &folder)
{
    FolderOverride() = folder;
}

QStringList ListFiles(const QString &folder, const QString &mask)
{
    // QDir matches masks case-sensitively on this platform; the program expects
    // the file system's case-blind matching, so filter again here.
    const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(mask),
                                QRegularExpression::CaseInsensitiveOption);
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort).filter(re);
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

bool FileExists(const QString &path)
{
    QFileInfo info(path);
    return info.exists() && info.isFile();
}

QByteArray ReadWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Impossibile aprire il file \"%1\": %2").arg(path, file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EFileError(QStringLiteral("Impossibile leggere il file \"%1\": %2").arg(path, file.errorString()));
    return bytes;
}

void WriteWholeFile(const QString &path, const QByteArray &bytes)
{
    // Written beside and renamed into place, so a failed write leaves the old
    // file whole instead of half-overwritten.
    const QFileInfo info(path);
    if (info.exists() && (!info.isFile() || !info.isWritable()))
        throw EFileError(QStringLiteral("Impossibile scrivere il file \"%1\": accesso negato").arg(path));
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw EFileError(QStringLiteral("Impossibile scrivere il file \"%1\": %2").arg(path, file.errorString()));
}

bool DeleteFile(const QString &path)
{
    return QFile::remove(path);
}

QStringList ReadTextLines(const QString &path)
{
    return SplitLines(DecodeAnsi(ReadWholeFile(path)));
}

void WriteTextLines(const QString &path, const QStringList &lines)
{
    WriteWholeFile(path, EncodeAnsi(JoinLines(lines)));
}
