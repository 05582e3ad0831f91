#include "app/Resoconto.h"
#include "platform/TextCodec.h"

#include <gtest/gtest.h>

TEST(Resoconto, LastLineIsWritableInEveryLocale)
{
    const QDateTime quando(QDate(2026, 12, 7), QTime(16, 49, 5));
    struct Row {
        const char *name;
        QLocale locale;
        QString hour; // the hour as the line must show it
    };
    const Row rows[] = {
        {"Italian", QLocale(QLocale::Italian, QLocale::Italy), "16"},
        {"Greek", QLocale(QLocale::Greek, QLocale::Greece), "4"},
        {"Japanese", QLocale(QLocale::Japanese, QLocale::Japan), "16"},
        {"Korean", QLocale(QLocale::Korean, QLocale::SouthKorea), "4"},
        {"Arabic digits", QLocale(QLocale::Arabic, QLocale::Egypt), "4"},
        {"Persian digits", QLocale(QLocale::Persian, QLocale::Iran), "16"},
        {"Chinese", QLocale(QLocale::Chinese, QLocale::China), "16"},
        {"Russian", QLocale(QLocale::Russian, QLocale::Russia), "16"},
        {"Spanish, zone in brackets", QLocale(QLocale::Spanish, QLocale::Spain), "16"},
        {"English", QLocale(QLocale::English, QLocale::UnitedStates), "4"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString riga = RigaConclusione(row.locale, quando);
        SCOPED_TRACE(riga.toStdString());
        EXPECT_TRUE(riga.startsWith("Multi accesso eseguito in data "));
        EXPECT_NO_THROW(EncodeAnsi(riga));
        EXPECT_FALSE(riga.contains("()")) << "empty brackets";
        EXPECT_FALSE(riga.contains("[]"));
        EXPECT_FALSE(riga.endsWith(' '));
        const QString ora = riga.mid(riga.indexOf(" concluso alle ore ") + 19);
        EXPECT_TRUE(ora.contains(row.hour)) << ora.toStdString();
        EXPECT_TRUE(ora.contains("49")) << ora.toStdString();
    }
    EXPECT_EQ(RigaConclusione(QLocale(QLocale::Italian, QLocale::Italy), quando),
              "Multi accesso eseguito in data 07/12/26 concluso alle ore 16:49:05");
}

TEST(Resoconto, TimeZoneAndItsBracketsLeaveTheFormat)
{
    const struct {
        QString in, out;
    } rows[] = {
        {"H:mm:ss (t)", "H:mm:ss"},   {"HH:mm:ss t", "HH:mm:ss"},       {"h:mm:ss AP tttt", "h:mm:ss AP"},
        {"HH:mm:ss [t]", "HH:mm:ss"}, {"HH 'text' mm", "HH 'text' mm"}, {"H:mm:ss", "H:mm:ss"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(FormatoOraSenzaFuso(row.in), row.out) << row.in.toStdString();
    EXPECT_EQ(SostituisciNonAnsi(QStringLiteral("\u0661\u0662:\u0663 \u03BC.\u03BC. caf\u00E9 \U0001F600")),
              QStringLiteral("12:3 ?.?. caf\u00E9 ?"));
}
