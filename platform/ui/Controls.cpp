#include "platform/ui/Controls.h"

#include "platform/ui/Guard.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QToolButton>

QLabel *MakeLabel(QWidget *parent, const char *name, const QString &text, int x, int y, bool bold)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    if (bold) {
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
    }
    label->adjustSize();
    label->move(x, y);
    return label;
}

QToolButton *MakeToolButton(QWidget *parent, const char *name, const QString &caption, QStyle::StandardPixmap picture,
                            const QRect &geometry)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(caption);
    button->setIcon(parent->style()->standardIcon(picture));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setGeometry(geometry);
    return button;
}

namespace {
class ClickWatcher : public QObject {
public:
    ClickWatcher(QLabel *label, std::function<void()> handler) : QObject(label), handler_(std::move(handler))
    {
        label->setCursor(Qt::PointingHandCursor);
        label->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            RunGuarded(handler_);
        return false;
    }

private:
    std::function<void()> handler_;
};
} // namespace

void OnLabelClick(QLabel *label, std::function<void()> handler)
{
    new ClickWatcher(label, std::move(handler));
}
