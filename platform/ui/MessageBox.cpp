#include "platform/ui/MessageBox.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace {
MessageBoxResponder &Responder()
{
    static MessageBoxResponder responder;
    return responder;
}

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
    // "escape" in a Yes/No box; an unseen Cancel takes that part, so that a
    // box put away unanswered is told from a No.
    if (yesNo) {
        box->addButton(QMessageBox::Cancel)->hide();
        box->setEscapeButton(QMessageBox::Cancel);
    }
    int answer = yesNo ? IDCANCEL : IDOK;
    QEventLoop loop;
    QObject::connect(box, &QMessageBox::finished, &loop, [&](int result) {
        if (yesNo)
            answer = result == QMessageBox::Yes ? IDYES : result == QMessageBox::No ? IDNO : IDCANCEL;
        loop.quit();
    });
    box->show();
    box->raise();
    box->activateWindow();
    loop.exec();
    delete box;
    return answer;
}
