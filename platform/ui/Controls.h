#pragma once

#include <QRect>
#include <QString>
#include <QStyle>
#include <functional>

class QLabel;
class QToolButton;
class QWidget;

// Small builders for the fixed-position windows: each control gets its
// program name as objectName, so code and tests find it by that name.
QLabel *MakeLabel(QWidget *parent, const char *name, const QString &text, int x, int y, bool bold = false);
QToolButton *MakeToolButton(QWidget *parent, const char *name, const QString &caption, QStyle::StandardPixmap picture,
                            const QRect &geometry);

// A label (or picture) that acts as a link: hand cursor, and the handler runs,
// guarded, on a left click.
void OnLabelClick(QLabel *label, std::function<void()> handler);
