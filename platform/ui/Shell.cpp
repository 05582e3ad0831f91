#include "platform/ui/Shell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {
std::function<bool(const QString &)> &Recorder()
{
    static std::function<bool(const QString &)> recorder;
    return recorder;
}
} // namespace

void SetShellRecorder(std::function<bool(const QString &)> recorder)
{
    Recorder() = std::move(recorder);
}

bool ShellOpen(const QString &target)
{
    if (Recorder())
        return Recorder()(target);
    QUrl url;
    if (target.startsWith(u'/') || QFileInfo::exists(target))
        url = QUrl::fromLocalFile(target);
    else if (target.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
        url = QUrl(target, QUrl::TolerantMode);
    else if (target.contains(QLatin1String("://")))
        url = QUrl(target, QUrl::TolerantMode);
    else
        url = QUrl(QStringLiteral("http://") + target, QUrl::TolerantMode);
    return QDesktopServices::openUrl(url);
}
