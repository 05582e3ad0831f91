#include "platform/TextCodec.h"
#include "platform/Exception.h"

#include <gtest/gtest.h>

TEST(TextCodec, EveryByteRoundTrips)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString text = DecodeAnsi(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(EncodeAnsi(text), all);
}

TEST(TextCodec, HighHalfFollowsTheCodePage)
{
    EXPECT_EQ(DecodeAnsi(QByteArray("\x80", 1)), QString(QChar(0x20AC)));
    EXPECT_EQ(DecodeAnsi(QByteArray("\xE8", 1)), QStringLiteral("è"));
    EXPECT_EQ(DecodeAnsi(QByteArray("\x9F", 1)), QString(QChar(0x0178)));
    EXPECT_EQ(EncodeAnsi(QStringLiteral("perché €")), QByteArray("perch\xE9 \x80"));
}

TEST(TextCodec, UnwritableCharacterIsRefusedNotDropped)
{
    EXPECT_FALSE(IsAnsiEncodable(QStringLiteral("Łódź")));
    EXPECT_THROW(EncodeAnsi(QStringLiteral("Łódź")), EFileError);
    EXPECT_TRUE(IsAnsiEncodable(QStringLiteral("àèìòù €")));
}

TEST(TextCodec, LineSplitting)
{
    struct Row {
        const char *name;
        QString text;
        QStringList lines;
    };
    const Row rows[] = {
        {"crlf", QStringLiteral("a\r\nb\r\n"), {"a", "b"}},
        {"lone cr", QStringLiteral("a\rb\r"), {"a", "b"}},
        {"lone lf", QStringLiteral("a\nb\n"), {"a", "b"}},
        {"mixed", QStringLiteral("a\r\nb\rc\nd"), {"a", "b", "c", "d"}},
        {"no final end", QStringLiteral("a\r\nb"), {"a", "b"}},
        {"blank line kept", QStringLiteral("a\r\n\r\nb\r\n"), {"a", "", "b"}},
        {"two ends at the end", QStringLiteral("a\r\n\r\n"), {"a", ""}},
        {"lf cr is two ends", QStringLiteral("a\n\rb"), {"a", "", "b"}},
        {"nul ends the text", QString::fromLatin1("a\r\nb\0c\r\nd", 10), {"a", "b"}},
        {"empty", QString(), {}},
        {"blanks kept", QStringLiteral("  a \r\n"), {"  a "}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(SplitLines(row.text), row.lines);
    }
}

TEST(TextCodec, ByteLinesKeepNul)
{
    const QList<QByteArray> lines = SplitByteLines(QByteArray("a\0b\r\nc", 6));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QByteArray("a\0b", 3));
    EXPECT_EQ(lines[1], QByteArray("c"));
}

TEST(TextCodec, JoinEndsEveryLineWithCrLf)
{
    EXPECT_EQ(JoinLines({"a", "", "b"}), QStringLiteral("a\r\n\r\nb\r\n"));
    EXPECT_EQ(JoinLines({}), QString());
}

TEST(StrToIntTest, AcceptsWhatTheOldRuntimeAccepted)
{
    EXPECT_EQ(StrToInt(" 12"), 12);
    EXPECT_EQ(StrToInt("-3"), -3);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("-2147483648"), INT_MIN);
    for (const char *bad : {"", " ", "1,5", "12 ", "abc", "2147483648", "-", "1e3"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(StrToInt(QString::fromLatin1(bad)), EConvertError);
    }
}
