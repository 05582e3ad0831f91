#pragma once

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

// The application title: the general error box carries it.
QString ApplicationTitle();
void SetApplicationTitle(const QString &title);

// The general error box: a failure no handler caught ends that handler; the
// user sees the failure's own text under the application title, and the
// program goes on.
void ShowGeneralError(std::exception_ptr failure);

// Runs a handler so that no exception reaches Qt.
void RunGuarded(const std::function<void()> &handler);

// Wraps a handler for connect(): the same guard. A handler that takes no
// arguments ignores what the signal carries (a button's checked flag, say).
template <typename F> auto Guarded(F handler)
{
    return [handler = std::move(handler)](auto &&...args) mutable {
        RunGuarded([&] {
            if constexpr (std::is_invocable_v<F &, decltype(args)...>)
                handler(std::forward<decltype(args)>(args)...);
            else
                handler();
        });
    };
}

// The application object. Its notify() is the last guard: an exception that a
// handler let through is shown in the general error box instead of ending the program.
class Application : public QApplication {
public:
    Application(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};
