#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

// Root of every failure the program raises on purpose. The message is what the
// general error box shows when no handler catches it.
class Exception : public std::exception {
public:
    explicit Exception(QString message);
    const QString &Message() const { return message_; }
    const char *what() const noexcept override { return utf8_.constData(); }

private:
    QString message_;
    QByteArray utf8_;
};

// A file that could not be read, written or deleted.
class EFileError : public Exception {
public:
    using Exception::Exception;
};

// A text that is not a whole number where one is required.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// StrToInt of the old runtime: optional blanks, optional sign, decimal digits,
// nothing after. Raises EConvertError with "'text' is not a valid integer value".
int StrToInt(const QString &text);
