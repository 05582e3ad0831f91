#pragma once

#include <QString>
#include <functional>

// Styles and answers of the platform message box the program was written for.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2; // a Yes/No box closed unanswered (its ✕, Esc, or the program ending)
constexpr int IDYES = 6;
constexpr int IDNO = 7;

enum class BoxIcon { None, Information, Warning, Error, Question };
enum class BoxButtons { Ok, YesNo };

struct MessageBoxCall {
    QString title;
    QString text;
    BoxIcon icon;
    BoxButtons buttons;
};

// Shows a box without owner and returns IDOK, IDYES, IDNO or IDCANCEL. The box does not
// disable the program's windows: its own loop keeps dispatching their events,
// so a button such as "Interrompi" works while a box is up.
int MessageBox(const QString &text, const QString &title, unsigned style);

// With a responder installed no box is shown: the responder gets the call, may
// act on the program as a user would while the box is up, and gives the answer.
using MessageBoxResponder = std::function<int(const MessageBoxCall &)>;
void SetMessageBoxResponder(MessageBoxResponder responder);
