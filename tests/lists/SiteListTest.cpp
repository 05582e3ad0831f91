#include "lists/SiteList.h"
#include "platform/Exception.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(SiteListFile, ReadingAcceptsEveryLineEndAndStopsAtNul)
{
    TempProgramFolder folder;
    struct Row {
        const char *name;
        QByteArray bytes;
        QStringList lines;
    };
    const QStringList ab{"Sito=a Num=1", "Sito=b Num=2"};
    const Row rows[] = {
        {"crlf", "Sito=a Num=1\r\nSito=b Num=2\r\n", ab},
        {"lf", "Sito=a Num=1\nSito=b Num=2\n", ab},
        {"cr", "Sito=a Num=1\rSito=b Num=2\r", ab},
        {"last line without end", "Sito=a Num=1\r\nSito=b Num=2", ab},
        {"nul ends the text", QByteArray("Sito=a Num=1\r\nSito=b Num=2\r\n\0garbage\r\n", 39), ab},
        {"zero bytes", "", {}},
        {"windows-1252 byte", "Sito=citt\xE0.it Num=1\r\n", {QStringLiteral("Sito=città.it Num=1")}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        folder.Write("l.tvx", row.bytes);
        EXPECT_EQ(LeggiLista("l.tvx"), row.lines);
    }
}

TEST(SiteListFile, ReadingAMissingFileRaises)
{
    TempProgramFolder folder;
    EXPECT_THROW(LeggiLista("assente.tvx"), EFileError);
}

TEST(SiteListFile, Validity)
{
    struct Row {
        const char *name;
        QStringList lines;
        bool valid;
    };
    const Row rows[] = {
        {"entries", {"Sito=a Num=1", "Sito=b Num=2"}, true},
        {"no lines", {}, true},
        {"blank line", {"Sito=a Num=1", "", "Sito=b Num=2"}, false},
        {"blank last line", {"Sito=a Num=1", ""}, false},
        {"short line", {"Sito"}, false},
        {"lower-case marker", {"sito=a Num=1"}, false},
        {"leading blank", {" Sito=a Num=1"}, false},
        {"marker alone", {"Sito="}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ListaValida(row.lines), row.valid);
    }
}

TEST(SiteListFile, EnumerationIsCaseBlindAndSorted)
{
    TempProgramFolder folder;
    for (const char *name : {"beta.tvx", "Alfa.TVX", "gamma.txt", "alfa2.tvx", "impquorvi.imptvx"})
        folder.Write(name, "");
    EXPECT_EQ(EnumeraListe(), (QStringList{"Alfa.TVX", "alfa2.tvx", "beta.tvx"}));
}

TEST(SiteListFile, WriteEndsEveryLineWithCrLfInWindows1252)
{
    TempProgramFolder folder;
    ScriviLista("prova", {QStringLiteral("Sito=città.it Num=007"), "Sito=b Num=1"});
    EXPECT_EQ(folder.Read("prova.tvx"), QByteArray("Sito=citt\xE0.it Num=007\r\nSito=b Num=1\r\n"));
    ScriviLista("vuota", {});
    EXPECT_TRUE(QFile::exists(folder.File("vuota.tvx")));
    EXPECT_EQ(folder.Read("vuota.tvx").size(), 0);
    // A character the code page cannot hold is refused, not dropped.
    EXPECT_THROW(ScriviLista("polacco", {QStringLiteral("Sito=łódź.pl Num=1")}), EFileError);
    EXPECT_TRUE(EliminaLista("prova.tvx"));
    EXPECT_FALSE(QFile::exists(folder.File("prova.tvx")));
    EXPECT_FALSE(EliminaLista("prova.tvx"));
}

TEST(SiteListFile, NamesAndMessages)
{
    EXPECT_EQ(NomeLista("mia.tvx"), "mia");
    EXPECT_EQ(NomeLista(".tvx"), "");
    EXPECT_EQ(AvvisoListaNonValida("mia"), QStringLiteral("La lista mia non è stata riconosciuta valida."));
}

TEST(SiteEntry, ComposeChecksInOrder)
{
    struct Row {
        const char *name;
        QString sito;
        QString volte;
        EsitoVoce esito;
    };
    const Row rows[] = {
        {"plain", "www.alfa.it/p", "1", EsitoVoce::Ok},
        {"largest count", "a", "99999", EsitoVoce::Ok},
        {"leading zeros", "a", "007", EsitoVoce::Ok},
        {"https accepted", "https://a.it", "1", EsitoVoce::Ok},
        {"IPv6 address and port", "[::1]:8080/x", "1", EsitoVoce::Ok},
        {"https to an IPv6 address", "https://[2001:db8::1]/", "1", EsitoVoce::Ok},
        {"http prefix", "http://a.it", "1", EsitoVoce::PrefissoPresente},
        {"http in the middle", "a.it/?u=http://b.it", "1", EsitoVoce::PrefissoPresente},
        {"prefix beats empty count", "http://a.it", "", EsitoVoce::PrefissoPresente},
        {"no address", "", "1", EsitoVoce::IndirizzoMancante},
        {"no address beats bad count", "", "0", EsitoVoce::IndirizzoMancante},
        {"empty count", "a", "", EsitoVoce::NumeroNonValido},
        {"zero", "a", "0", EsitoVoce::NumeroNonValido},
        {"five zeros", "a", "00000", EsitoVoce::NumeroNonValido},
        // Counts the conversion takes but the run would never visit.
        {"pasted leading blank", "a", " 5", EsitoVoce::NumeroNonValido},
        {"plus sign", "a", "+5", EsitoVoce::NumeroNonValido},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ControllaVoce(row.sito, row.volte), row.esito);
    }
    EXPECT_EQ(ComponiVoce("a.it", "007"), "Sito=a.it Num=007");
    EXPECT_EQ(
        AvvisoVoce(EsitoVoce::PrefissoPresente),
        QStringLiteral("Impossibile aggiungere il sito alla lista, il prefisso \"http://\" non deve essere presente!"));
}

TEST(SiteEntry, CommaInCountIsAConversionFailure)
{
    EXPECT_THROW(ControllaVoce("a", "1,5"), EConvertError);
}

TEST(SiteEntry, Splitting)
{
    struct Row {
        const char *name;
        QString line;
        QString sito;
        QString volte;
        std::optional<int> usable;
    };
    const Row rows[] = {
        {"plain", "Sito=alfa Num=7", "alfa", "7", 7},
        {"path and query", "Sito=a.it/p?x=1 Num=12", "a.it/p?x=1", "12", 12},
        {"leading zeros", "Sito=a Num=007", "a", "007", 7},
        {"count zero", "Sito=a Num=0", "a", "0", 0},
        {"a nine", "Sito=a Num=9", "a", "9", 9},
        {"every digit", "Sito=a Num=1234567890", "a", "1234567890", 1234567890},
        {"no count marker", "Sito=alfa", "alfa", "", std::nullopt},
        {"site holds Num=", "Sito=a?Num=3 Num=2", "a?Num=3", "3 Num=2", std::nullopt},
        {"count not a number", "Sito=a Num=x1", "a", "x1", std::nullopt},
        {"count with blank", "Sito=a Num=1 ", "a", "1 ", std::nullopt},
        {"huge count", "Sito=a Num=12345678901", "a", "12345678901", std::nullopt},
        {"largest that fits", "Sito=a Num=2147483647", "a", "2147483647", 2147483647},
        {"one past it", "Sito=a Num=2147483648", "a", "2147483648", std::nullopt},
        {"many leading zeros", "Sito=a Num=000000000001", "a", "000000000001", 1},
        {"negative", "Sito=a Num=-1", "a", "-1", std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const VoceSito voce = DividiVoce(row.line);
        EXPECT_EQ(voce.sito, row.sito);
        EXPECT_EQ(voce.volte, row.volte);
        EXPECT_EQ(VolteVoce(row.line), row.usable);
    }
}

TEST(SiteEntry, CountFieldFilter)
{
    for (QChar c : QStringLiteral("0123456789,"))
        EXPECT_TRUE(SoloNumeri(c)) << c.toLatin1();
    EXPECT_TRUE(SoloNumeri(QChar(8)));
    EXPECT_TRUE(SoloNumeri(QChar(13)));
    for (QChar c : QStringLiteral("a.- +\t"))
        EXPECT_FALSE(SoloNumeri(c)) << c.toLatin1();
}

TEST(SiteEntry, AddressVisited)
{
    const struct {
        const char *sito;
        const char *url;
    } rows[] = {
        {"www.a.it/p", "http://www.a.it/p"},
        {"https://www.a.it/p", "https://www.a.it/p"},
        {"[::1]:8080/x", "http://[::1]:8080/x"},
        {"HTTPS://www.a.it/", "HTTPS://www.a.it/"},
        {"Https://a", "Https://a"},
        {"https:/a", "http://https:/a"},
        {"httpsx://a", "http://httpsx://a"},
        {"ftp://a", "http://ftp://a"},
        {" https://a", "http:// https://a"},
        {"", "http://"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.sito);
        EXPECT_EQ(IndirizzoVisita(QString::fromUtf8(row.sito)), QString::fromUtf8(row.url));
    }
}
