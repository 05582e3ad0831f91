#include "support/Estrai.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {
CriterioEstrazione Versione()
{
    return {"Versione", "-", "-", "<", "", false, false, 0, false};
}
} // namespace

TEST(Estrazione, VersionReplies)
{
    struct Row {
        const char *name;
        QStringList lines;
        QStringList values;
    };
    const Row rows[] = {
        {"blank after the dash", {"<p>Versione - 11</p>"}, {" 11"}},
        {"no blanks", {"Versione-9<br>"}, {"9"}},
        {"number on the next line", {"<b>Versione</b>", "-12<br>"}, {"12"}},
        {"blank before the tag", {"Versione - 11 <br>"}, {" 11 "}},
        {"text before the marker dropped", {"x-1< Versione -7<"}, {"7"}},
        {"two start markers", {"Versione -3<", "altro", "Versione -4<"}, {"3", "4"}},
        {"marker without value", {"Versione", "niente"}, {}},
        {"case matters", {"versione -5<"}, {}},
        {"no end marker", {"Versione - 5"}, {}},
        {"no lines", {}, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QStringList values;
        EstraiURLConCriterio(row.lines, Versione(), values);
        EXPECT_EQ(values, row.values);
    }
}

TEST(Estrazione, SkipCountAndOptions)
{
    QStringList values;
    CriterioEstrazione c{"Start", "=", "=", ";", " ", false, false, 1, false};
    EstraiURLConCriterio({"Start a=1; b=2  ;"}, c, values);
    // The first "=" is passed over only when it is on another line: one hit per line.
    EXPECT_EQ(values, QStringList{});
    EstraiURLConCriterio({"Start a=1;", "b=2  ;"}, c, values);
    EXPECT_EQ(values, QStringList{"2"});
    values.clear();
    c.saltaTrovati = 0;
    c.includiTerzo = true;
    c.includiFine = true;
    EstraiURLConCriterio({"Start a=1;x"}, c, values);
    EXPECT_EQ(values, QStringList{"=1;"});
}

TEST(Estrazione, NewSearchResumesAfterTheHitLine)
{
    QStringList values;
    // The second start marker stands on the hit line of the first: it is not searched again.
    EstraiURLConCriterio({"Versione", "-1< Versione -2<", "Versione -3<"}, Versione(), values);
    EXPECT_EQ(values, (QStringList{"1", "3"}));
}

TEST(Estrazione, ReadingTheNumber)
{
    EXPECT_EQ(LeggiNumeroVersione(" 11"), 11);
    EXPECT_EQ(LeggiNumeroVersione("9"), 9);
    EXPECT_EQ(LeggiNumeroVersione("0"), 0);
    EXPECT_EQ(LeggiNumeroVersione(" 11 "), std::nullopt);
    EXPECT_EQ(LeggiNumeroVersione("11a"), std::nullopt);
    EXPECT_EQ(LeggiNumeroVersione("-3"), std::nullopt);
    EXPECT_EQ(LeggiNumeroVersione(""), std::nullopt);
    EXPECT_EQ(invertiTesto("abc"), "cba");
}

TEST(Estrazione, SkippedAndFailedHitsAcrossLines)
{
    struct Row {
        const char *name;
        QStringList lines;
        int salta;
        QStringList values;
    };
    const Row rows[] = {
        {"hit on the start line skipped, next fails, third yields", {"S a=1;", "x=2", "y=3;"}, 1, {"3"}},
        {"start lines without the second marker", {"S", "S", "a=1;", "b=2;"}, 1, {"2"}},
        {"skip more than there are hits", {"S a=1;", "b=2;"}, 5, {}},
        {"start marker on the hit line is not searched",
         {"S a=1;", "S b=2;", "c=3;", "S", "d=4;", "e=5;"},
         1,
         {"2", "5"}},
        {"start line without value, next line yields", {"S a=", "b=2;"}, 0, {"2"}},
        {"negative skip count skips nothing", {"S a=1;"}, -2, {"1"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        CriterioEstrazione c{"S", "=", "=", ";", "", false, false, row.salta, false};
        QStringList values;
        EstraiURLConCriterio(row.lines, c, values);
        EXPECT_EQ(values, row.values);
    }
}

// Every line opens a search and none yields a value: searched line by line
// this would take hours, and the version check would freeze the program.
TEST(Estrazione, LargeReplyWithoutValueEnds)
{
    QStringList lines(100000, QStringLiteral("Versione -x"));
    QStringList values;
    EstraiURLConCriterio(lines, Versione(), values);
    EXPECT_TRUE(values.isEmpty());
    lines.append(QStringLiteral("- 12<"));
    EstraiURLConCriterio(lines, Versione(), values);
    EXPECT_EQ(values, QStringList{" 12"});
}
