#include "platform/ui/MessageBox.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>

namespace {
MessageBoxResponder &Responder()
{
    static MessageBoxResponder responder;
    return responder;
}

// Notes a close (the box's ✕, or a close() call) or an Esc before the box
// turns either into its escape button.
class PutAwayWatch : public QObject {
public:
    explicit PutAwayWatch(std::function<void()> putAway) : putAway_(std::move(putAway)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Close ||
            (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape))
            putAway_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> putAway_;
};

BoxIcon IconOf(unsigned style)
{
    switch (style & 0xF0) {
    case MB_ICONERROR:
        return BoxIcon::Error;
    case MB_ICONQUESTION:
        return BoxIcon::Question;
    case MB_ICONWARNING:
        return BoxIcon::Warning;
    case MB_ICONINFORMATION:
        return BoxIcon::Information;
    default:
        return BoxIcon::None;
    }
}
} // namespace

void SetMessageBoxResponder(MessageBoxResponder responder)
{
    Responder() = std::move(responder);
}

int MessageBox(const QString &text, const QString &title, unsigned style)
{
    const MessageBoxCall call{title, text, IconOf(style),
                              (style & 0x0F) == MB_YESNO ? BoxButtons::YesNo : BoxButtons::Ok};
    if (Responder())
        return Responder()(call);

    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (call.icon) {
    case BoxIcon::Information:
        icon = QMessageBox::Information;
        break;
    case BoxIcon::Warning:
        icon = QMessageBox::Warning;
        break;
    case BoxIcon::Error:
        icon = QMessageBox::Critical;
        break;
    case BoxIcon::Question:
        icon = QMessageBox::Question;
        break;
    case BoxIcon::None:
        break;
    }
    const bool yesNo = call.buttons == BoxButtons::YesNo;
    QPointer<QMessageBox> box =
        new QMessageBox(icon, title, text, yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose, false);
    // No owner and no modality: the rest of the program stays usable. While a
    // modal window is up, though, Qt blocks every other window, this box too;
    // it then takes the same modality so that it can be answered at all.
    box->setWindowModality(QApplication::activeModalWidget() ? Qt::ApplicationModal : Qt::NonModal);
    box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Esc and the close box would count as No, the button Qt takes for
    // "escape" in a Yes/No box: they are caught on their way to the box, so
    // that a box put away unanswered is told from a No.
    bool putAway = false;
    PutAwayWatch watch([&] { putAway = true; });
    if (yesNo)
        box->installEventFilter(&watch);
    int answer = yesNo ? IDCANCEL : IDOK;
    QEventLoop loop;
    QObject::connect(box, &QMessageBox::finished, &loop, [&](int result) {
        if (yesNo)
            answer = putAway                      ? IDCANCEL
                     : result == QMessageBox::Yes ? IDYES
                     : result == QMessageBox::No  ? IDNO
                                                  : IDCANCEL;
        loop.quit();
    });
    box->show();
    box->raise();
    box->activateWindow();
    loop.exec();
    delete box;
    return answer;
}
