#include "settings/SettingsFile.h"
#include "platform/TextCodec.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <optional>

namespace {
const QByteArray kDefaultFile("2\r\n\r\nTrue\r\nTrue\r\nFalse\r\n");

Impostazioni Values(int banda, const QString &proxy, bool avvisa, bool timer, bool grafica)
{
    return {banda, proxy, avvisa, timer, grafica};
}

struct LoadResult {
    std::optional<Impostazioni> values; // empty when the load failed
    int repairs = 0;
};

LoadResult Load(const TempProgramFolder &folder)
{
    LoadResult result;
    try {
        result.values = LoadSettingsFile(folder.File(kSettingsFileName), [&result] { ++result.repairs; });
    } catch (const Exception &) {
    }
    return result;
}
} // namespace

TEST(SettingsFile, StartValuesAreWrittenAsFiveCrLfLinesAndReadBack)
{
    TempProgramFolder folder;
    SaveSettingsFile(folder.File(kSettingsFileName), Impostazioni{});
    EXPECT_EQ(folder.Read(kSettingsFileName), kDefaultFile);
    const LoadResult loaded = Load(folder);
    ASSERT_TRUE(loaded.values.has_value());
    EXPECT_EQ(*loaded.values, Impostazioni{});
    EXPECT_EQ(loaded.repairs, 0);
}

TEST(SettingsFile, LinesAreReadWithTheirRules)
{
    struct Row {
        const char *name;
        QStringList lines;
        std::optional<Impostazioni> expected; // empty: the load must fail
    };
    const QString proxy16 = QStringLiteral(" 10.0.0.1:8080  ");
    const Row rows[] = {
        {"lower-case true unchecks", {"1", "p", "true", "true", "true"}, Values(1, "p", false, false, false)},
        {"1 unchecks", {"1", "", "1", "1", "1"}, Values(1, "", false, false, false)},
        {"empty unchecks", {"0", "", "", "", ""}, Values(0, "", false, false, false)},
        {"blanks around True uncheck", {"0", "", " True", "True ", "TRUE"}, Values(0, "", false, false, false)},
        {"exact True checks", {"0", "", "True", "True", "True"}, Values(0, "", true, true, true)},
        {"5 clamps to 2", {"5", "", "False", "False", "False"}, Values(2, "", false, false, false)},
        {"-3 clamps to 0", {"-3", "", "False", "False", "False"}, Values(0, "", false, false, false)},
        {"leading blanks in the number", {"  1", "", "", "", ""}, Values(1, "", false, false, false)},
        {"huge number clamps", {"2147483647", "", "", "", ""}, Values(2, "", false, false, false)},
        {"16-character proxy kept as is", {"2", proxy16, "", "", ""}, Values(2, proxy16, false, false, false)},
        {"lines after the fifth ignored", {"1", "", "True", "True", "True", "0", "x"}, Values(1, "", true, true, true)},
        {"missing lines read as empty", {"1"}, Values(1, "", false, false, false)},
        {"letters fail", {"abc", "", "True", "True", "False"}, std::nullopt},
        {"empty first line fails", {"", "", "True", "True", "False"}, std::nullopt},
        {"decimal point fails", {"1.5", "", "", "", ""}, std::nullopt},
        {"trailing blank fails", {"1 ", "", "", "", ""}, std::nullopt},
        {"overflowing number fails", {"99999999999", "", "", "", ""}, std::nullopt},
        {"hand-edited long proxy kept whole",
         {"2", "proxy.example.com:8080", "", "", ""},
         Values(2, "proxy.example.com:8080", false, false, false)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.expected) {
            EXPECT_EQ(ParseSettingsLines(row.lines), *row.expected);
        } else {
            EXPECT_THROW(ParseSettingsLines(row.lines), ESettingsError);
        }
    }
}

TEST(SettingsFile, EveryLineEndReadsTheSameAndLeavesTheFileAlone)
{
    const struct {
        const char *name;
        QByteArray bytes;
    } rows[] = {
        {"crlf", "0\r\nproxy:81\r\nFalse\r\nTrue\r\nTrue\r\n"},
        {"lone cr", "0\rproxy:81\rFalse\rTrue\rTrue\r"},
        {"lone lf", "0\nproxy:81\nFalse\nTrue\nTrue\n"},
        {"mixed, no final end", "0\r\nproxy:81\rFalse\nTrue\r\nTrue"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TempProgramFolder folder;
        folder.Write(kSettingsFileName, row.bytes);
        const LoadResult loaded = Load(folder);
        ASSERT_TRUE(loaded.values.has_value());
        EXPECT_EQ(*loaded.values, Values(0, "proxy:81", false, true, true));
        EXPECT_EQ(loaded.repairs, 0);
        EXPECT_EQ(folder.Read(kSettingsFileName), row.bytes);
    }
}

TEST(SettingsFile, ShortFilesAreCompletedOneLineAtATime)
{
    const struct {
        const char *name;
        QByteArray bytes;
        int repairs;
        QByteArray after;
        bool loads;
    } rows[] = {
        {"single line", "2", 4, "2\r\n\r\n\r\n\r\n\r\n", true},
        {"three lines, lone lf", "1\nx\nTrue\n", 2, "1\r\nx\r\nTrue\r\n\r\n\r\n", true},
        // A file that cannot load is not completed: nothing changes on failure.
        {"empty file", "", 0, "", false},
        {"letters, lone line ends", "abc\rx\n", 0, "abc\rx\n", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TempProgramFolder folder;
        folder.Write(kSettingsFileName, row.bytes);
        const LoadResult loaded = Load(folder);
        EXPECT_EQ(loaded.values.has_value(), row.loads);
        EXPECT_EQ(loaded.repairs, row.repairs);
        EXPECT_EQ(folder.Read(kSettingsFileName), row.after);
    }
}

TEST(SettingsFile, FilesThatAreNotSettingsFailWithoutBeingTouched)
{
    QByteArray hugeLine(kSettingsFileMaxBytes + 1, '7');
    hugeLine.append("\r\n");
    const struct {
        const char *name;
        QByteArray bytes;
    } rows[] = {
        {"a line larger than any settings file", hugeLine},
        {"10 MiB of one line", QByteArray(10 * 1024 * 1024, 'a')},
        {"NUL before the fifth line", QByteArray("2\r\n\0binary\r\ndata", 17)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TempProgramFolder folder;
        folder.Write(kSettingsFileName, row.bytes);
        int repairs = 0;
        EXPECT_THROW(LoadSettingsFile(folder.File(kSettingsFileName), [&] { ++repairs; }), ESettingsError);
        EXPECT_EQ(repairs, 0);
        EXPECT_EQ(folder.Read(kSettingsFileName), row.bytes);
    }
}

TEST(SettingsFile, MissingOrUnreadableFileIsAFailure)
{
    TempProgramFolder folder;
    EXPECT_THROW(LoadSettingsFile(folder.File(kSettingsFileName), {}), EFileError);
    ASSERT_TRUE(QDir(folder.Path()).mkdir(kSettingsFileName));
    EXPECT_THROW(LoadSettingsFile(folder.File(kSettingsFileName), {}), Exception);
}

// Random bytes must never crash the reader and never give values the window
// cannot hold.
TEST(SettingsFile, RandomBytesGiveValidValuesOrAFailure)
{
    QRandomGenerator random(20031003);
    const char alphabet[] = "0123456789-+ \r\n\0TrueFalse\x80\xFF";
    for (int round = 0; round < 5000; ++round) {
        QByteArray bytes;
        const int size = random.bounded(120);
        for (int i = 0; i < size; ++i)
            bytes.append(round % 2 ? static_cast<char>(random.bounded(256))
                                   : alphabet[random.bounded(int(sizeof alphabet) - 1)]);
        try {
            const Impostazioni values = ParseSettingsLines(SettingsLinesFromBytes(bytes));
            ASSERT_GE(values.banda, kBandaMin) << bytes.toHex().toStdString();
            ASSERT_LE(values.banda, kBandaMax) << bytes.toHex().toStdString();
            // What was read can always be written back.
            ASSERT_TRUE(IsAnsiEncodable(values.proxy)) << bytes.toHex().toStdString();
        } catch (const ESettingsError &) {
        }
    }
}
