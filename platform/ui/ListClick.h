#pragma once

#include <QListWidget>
#include <functional>

// A list box's click handler as the old controls had it: it runs when the
// selection moves, by mouse or keyboard, and also when the user clicks the
// entry that is already selected.
void OnListClick(QListWidget *list, std::function<void()> handler);
