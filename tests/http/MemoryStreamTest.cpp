#include "net/HttpProt.h"

#include <gtest/gtest.h>
#include <string>

TEST(MemoryStream, WritesReadsAndOverwritesLikeAFile)
{
    struct Row {
        const char *name;
        std::int64_t writeAt;
        std::string expected;
    };
    // Each row writes "XY" at a position into a stream holding "abcdef".
    const Row rows[] = {
        {"at the end it appends", 6, "abcdefXY"},
        {"inside it overwrites", 2, "abXYef"},
        {"across the end it overwrites and grows", 5, "abcdeXY"},
        {"beyond the end the gap is zeros", 8, std::string("abcdef\0\0XY", 10)},
        {"at the start", 0, "XYcdef"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TMemoryStream s;
        ASSERT_EQ(s.Write("abcdef", 6), 6);
        s.SetPosition(row.writeAt);
        EXPECT_EQ(s.Write("XY", 2), 2);
        EXPECT_EQ(s.Bytes(), row.expected);
        EXPECT_EQ(s.Size(), static_cast<std::int64_t>(row.expected.size()));
        EXPECT_EQ(s.Position(), row.writeAt + 2);

        s.SetPosition(1);
        char back[16] = {};
        EXPECT_EQ(s.Read(back, sizeof back), static_cast<int>(row.expected.size()) - 1);
        EXPECT_EQ(std::string(back, row.expected.size() - 1), row.expected.substr(1));
        EXPECT_EQ(s.Read(back, 4), 0);
    }
}

TEST(MemoryStream, GrowsInManyWritesWithoutLosingBytes)
{
    TMemoryStream s;
    std::string expected;
    // Blocks of odd sizes across many doublings of the buffer.
    for (int i = 0; i < 3000; ++i) {
        const std::string block(static_cast<std::size_t>(1 + i % 997), static_cast<char>('a' + i % 26));
        ASSERT_EQ(s.Write(block.data(), static_cast<int>(block.size())), static_cast<int>(block.size()));
        expected += block;
    }
    ASSERT_EQ(s.Size(), static_cast<std::int64_t>(expected.size()));
    EXPECT_TRUE(s.Bytes() == expected);

    s.Clear();
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(s.Position(), 0);
    EXPECT_TRUE(s.Bytes().empty());
    EXPECT_EQ(s.Write("z", 1), 1);
    EXPECT_EQ(s.Bytes(), "z");
}

TEST(MemoryStream, NothingMovesForEmptyOrNegativeCounts)
{
    TMemoryStream s;
    EXPECT_EQ(s.Write("x", 0), 0);
    EXPECT_EQ(s.Write("x", -3), 0);
    EXPECT_EQ(s.Size(), 0);
    char c = 0;
    EXPECT_EQ(s.Read(&c, 1), 0);
    s.SetPosition(-5);
    EXPECT_EQ(s.Position(), 0);
}
