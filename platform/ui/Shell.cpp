#include "platform/ui/Shell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {
std::function<void(const QString &)> &Recorder()
{
    static std::function<void(const QString &)> recorder;
    return recorder;
}
} // namespace

void SetShellRecorder(std::function<void(const QString &)> recorder)
{
    Recorder() = std::move(recorder);
}

void ShellOpen(const QString &target)
{
    if (Recorder()) {
        Recorder()(target);
        return;
    }
    QUrl url;
    if (target.startsWith(u'/') || QFileInfo::exists(target))
        url = QUrl::fromLocalFile(target);
    else if (target.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
        url = QUrl(target, QUrl::TolerantMode);
    else if (target.contains(QLatin1String("://")))
        url = QUrl(target, QUrl::TolerantMode);
    else
        url = QUrl(QStringLiteral("http://") + target, QUrl::TolerantMode);
    QDesktopServices::openUrl(url);
}
