#include "tests/support/TestSupport.h"

#include "platform/Files.h"
#include "platform/ui/Shell.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

namespace {
const char *IconName(BoxIcon icon)
{
    switch (icon) {
    case BoxIcon::Information:
        return "information";
    case BoxIcon::Warning:
        return "warning";
    case BoxIcon::Error:
        return "error";
    case BoxIcon::Question:
        return "question";
    case BoxIcon::None:
        break;
    }
    return "none";
}
} // namespace

BoxScript::BoxScript()
{
    SetMessageBoxResponder([this](const MessageBoxCall &call) {
        shown_.push_back(call);
        if (expected_.empty()) {
            ADD_FAILURE() << "unexpected message box \"" << call.title.toStdString() << "\" (" << IconName(call.icon)
                          << "): " << call.text.toStdString();
            return call.buttons == BoxButtons::YesNo ? IDNO : IDOK;
        }
        ExpectedBox box = std::move(expected_.front());
        expected_.pop_front();
        if (!box.title.isEmpty()) {
            EXPECT_EQ(box.title.toStdString(), call.title.toStdString());
        }
        if (!box.text.isEmpty()) {
            EXPECT_EQ(box.text.toStdString(), call.text.toStdString());
        }
        if (box.whileShown)
            box.whileShown();
        return box.answer;
    });
}

BoxScript::~BoxScript()
{
    SetMessageBoxResponder({});
}

void BoxScript::ExpectInfo(const QString &text, std::function<void()> whileShown)
{
    Expect({QStringLiteral("Messaggio."), text, IDOK, std::move(whileShown)});
}

void BoxScript::ExpectWarning(const QString &text, std::function<void()> whileShown)
{
    Expect({QStringLiteral("Attenzione."), text, IDOK, std::move(whileShown)});
}

void BoxScript::ExpectError(const QString &text, std::function<void()> whileShown)
{
    Expect({QStringLiteral("Errore"), text, IDOK, std::move(whileShown)});
}

void BoxScript::ExpectQuestion(const QString &text, bool yes, std::function<void()> whileShown)
{
    Expect({QStringLiteral("Richiesta."), text, yes ? IDYES : IDNO, std::move(whileShown)});
}

void BoxScript::Verify()
{
    for (const ExpectedBox &box : expected_)
        ADD_FAILURE() << "expected message box never shown: \"" << box.title.toStdString()
                      << "\": " << box.text.toStdString();
    expected_.clear();
}

ShellLog::ShellLog()
{
    SetShellRecorder([this](const QString &target) {
        targets_.append(target);
        return opens_;
    });
}

ShellLog::~ShellLog()
{
    SetShellRecorder({});
}

TempProgramFolder::TempProgramFolder()
{
    SetProgramFolderForTesting(dir_.path());
}

TempProgramFolder::~TempProgramFolder()
{
    SetProgramFolderForTesting(QString());
}

QString TempProgramFolder::Path() const
{
    return dir_.path() + QLatin1Char('/');
}

void TempProgramFolder::Write(const QString &name, const QByteArray &bytes) const
{
    QFile f(File(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray TempProgramFolder::Read(const QString &name) const
{
    QFile f(File(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool PumpUntil(const std::function<bool()> &cond, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

QByteArray NoiseBytes(int size, std::uint32_t seed)
{
    QByteArray bytes(size, '\0');
    std::uint32_t x = seed;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::vector<QStringList> ReadCsvWithPython(const QString &path)
{
    QProcess python;
    python.start("python3", {"-c",
                             "import csv, json, sys\n"
                             "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
                             "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
                             path});
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        ADD_FAILURE() << "python3 could not read " << path.toStdString() << ": "
                      << python.readAllStandardError().toStdString();
        return {};
    }
    std::vector<QStringList> rows;
    for (const QJsonValue &row : QJsonDocument::fromJson(python.readAllStandardOutput()).array()) {
        QStringList fields;
        for (const QJsonValue &field : row.toArray())
            fields << field.toString();
        rows.push_back(fields);
    }
    return rows;
}
