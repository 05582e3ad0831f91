#include "platform/ui/ListClick.h"

#include "platform/ui/Guard.h"

#include <QEvent>
#include <QMouseEvent>

namespace {
// Remembers which row was current when the mouse went down, so a click that
// did not move the selection can be told from one that did (and was already
// reported by the selection change).
class PressWatcher : public QObject {
public:
    PressWatcher(QListWidget *list, std::function<void()> handler)
        : QObject(list), list_(list), handler_(std::move(handler))
    {
        list->viewport()->installEventFilter(this);
        list->installEventFilter(this);
        // Only a change the user made counts: the program moving the selection
        // itself (clearing or refilling the list) runs no handler.
        QObject::connect(list, &QListWidget::currentRowChanged, this, Guarded([this](int row) {
                             if (row >= 0 && byUser_)
                                 handler_();
                         }));
        QObject::connect(list, &QListWidget::itemClicked, this, Guarded([this](QListWidgetItem *item) {
                             if (list_->row(item) == rowAtPress_)
                                 handler_();
                         }));
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress) {
            if (event->type() == QEvent::MouseButtonPress)
                rowAtPress_ = list_->currentRow();
            byUser_ = true;
            // The selection change follows synchronously while this event is
            // handled; by the next pass of the loop it is over.
            QMetaObject::invokeMethod(
                this, [this] { byUser_ = false; }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    QListWidget *list_;
    std::function<void()> handler_;
    int rowAtPress_ = -1;
    bool byUser_ = false;
};
} // namespace

void OnListClick(QListWidget *list, std::function<void()> handler)
{
    new PressWatcher(list, std::move(handler));
}
