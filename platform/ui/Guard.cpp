#include "platform/ui/Guard.h"

#include "platform/Exception.h"
#include "platform/ui/MessageBox.h"

namespace {
QString &Title()
{
    static QString title = QStringLiteral("T4V_Quorvi");
    return title;
}
} // namespace

QString ApplicationTitle()
{
    return Title();
}

void SetApplicationTitle(const QString &title)
{
    Title() = title;
    QCoreApplication::setApplicationName(title);
}

void ShowGeneralError(std::exception_ptr failure)
{
    QString text;
    try {
        std::rethrow_exception(failure);
    } catch (const Exception &e) {
        text = e.Message();
    } catch (const std::exception &e) {
        text = QString::fromUtf8(e.what());
    } catch (...) {
        text = QStringLiteral("Errore sconosciuto.");
    }
    try {
        MessageBox(text, ApplicationTitle(), MB_OK | MB_ICONERROR);
    } catch (...) {
    }
}

void RunGuarded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (...) {
        ShowGeneralError(std::current_exception());
    }
}

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowGeneralError(std::current_exception());
        return false;
    }
}
