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
        {"UTF-8 with its mark", "\xEF\xBB\xBFSito=citt\xC3\xA0.it Num=1\r\n", {QStringLiteral("Sito=città.it Num=1")}},
        {"UTF-8 without a mark",
         "Sito=a Num=1\nSito=citt\xC3\xA0.it Num=1\n",
         {"Sito=a Num=1", QStringLiteral("Sito=città.it Num=1")}},
        {"the mark alone before ASCII", "\xEF\xBB\xBFSito=a Num=1\r\n", {"Sito=a Num=1"}},
        {"a mark, then no UTF-8: the code page",
         "\xEF\xBB\xBFSito=citt\xE0 Num=1",
         {QStringLiteral("Sito=città Num=1")}},
        {"not UTF-8 after all: the code page", "Sito=\xC3\xA0\xE0 Num=1", {QStringLiteral("Sito=Ã\u00A0à Num=1")}},
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
        EXPECT_EQ(RigheNonValide(row.lines, 10).empty(), row.valid);
    }

    // The first bad lines, numbered from 1, each with why; and how many in all.
    int tutte = 0;
    const std::vector<RigaNonValida> righe = RigheNonValide(
        {"Sito=a Num=1", "", "sito=b Num=1", " Sito=c Num=1", "# commento", "Sito=d Num=1", "x"}, 4, &tutte);
    EXPECT_EQ(tutte, 5);
    ASSERT_EQ(righe.size(), 4u);
    const int numeri[] = {2, 3, 4, 5};
    const char *motivi[] = {"riga vuota", "S maiuscola", "spazi prima", "non inizia con \"Sito=\""};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(righe[k].numero, numeri[k]);
        EXPECT_TRUE(righe[k].motivo.contains(motivi[k])) << righe[k].motivo.toStdString();
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
        {"IPv6 address without brackets", "::1:8080/x", "1", EsitoVoce::IPv6SenzaParentesi},
        {"unbracketed IPv6 beats bad count", "https://2001:db8::1/", "0", EsitoVoce::IPv6SenzaParentesi},
        {"colons after the host are no IPv6", "a.it:80/x?t=1:2:3", "1", EsitoVoce::Ok},
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
        const char *difetto = nullptr; // what the reason says
    };
    const Row rows[] = {
        {"plain", "Sito=alfa Num=7", "alfa", "7", 7},
        {"path and query", "Sito=a.it/p?x=1 Num=12", "a.it/p?x=1", "12", 12},
        {"leading zeros", "Sito=a Num=007", "a", "007", 7},
        {"count zero", "Sito=a Num=0", "a", "0", 0},
        {"a nine", "Sito=a Num=9", "a", "9", 9},
        {"every digit", "Sito=a Num=1234567890", "a", "1234567890", std::nullopt, "oltre 99999"},
        {"no count marker", "Sito=alfa", "alfa", "", std::nullopt, "manca \" Num=\""},
        {"site holds Num=", "Sito=a?Num=3 Num=2", "a?Num=3", "3 Num=2", std::nullopt, "contiene \"Num=\""},
        {"count not a number", "Sito=a Num=x1", "a", "x1", std::nullopt, "non valido: \"x1\""},
        {"count with blank", "Sito=a Num=1 ", "a", "1 ", std::nullopt, "non valido"},
        {"no count", "Sito=a Num=", "a", "", std::nullopt, "mancante"},
        {"huge count", "Sito=a Num=12345678901", "a", "12345678901", std::nullopt, "oltre 99999"},
        {"the editor's largest", "Sito=a Num=99999", "a", "99999", 99999},
        {"one past it", "Sito=a Num=100000", "a", "100000", std::nullopt, "oltre 99999"},
        {"many leading zeros", "Sito=a Num=000000000001", "a", "000000000001", 1},
        {"negative", "Sito=a Num=-1", "a", "-1", std::nullopt, "non valido"},
        {"IPv6 without brackets", "Sito=::1/x Num=1", "::1/x", "1", std::nullopt, "IPv6 senza parentesi"},
        {"IPv6 without brackets, https", "Sito=https://fe80::1:8443/ Num=1", "https://fe80::1:8443/", "1", std::nullopt,
         "IPv6"},
        {"IPv6 in brackets", "Sito=[::1]:8080/x Num=2", "[::1]:8080/x", "2", 2},
        {"colons in the path and a port", "Sito=a.it:8080/x:y:z Num=1", "a.it:8080/x:y:z", "1", 1},
        {"credentials with a colon", "Sito=u:p@a.it:81/ Num=1", "u:p@a.it:81/", "1", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const VoceSito voce = DividiVoce(row.line);
        EXPECT_EQ(voce.sito, row.sito);
        EXPECT_EQ(voce.volte, row.volte);
        EXPECT_EQ(VolteVoce(row.line), row.usable);
        EXPECT_EQ(DifettoVoce(row.line).isEmpty(), row.usable.has_value()) << DifettoVoce(row.line).toStdString();
        if (row.difetto) {
            EXPECT_TRUE(DifettoVoce(row.line).contains(QString::fromUtf8(row.difetto)))
                << DifettoVoce(row.line).toStdString();
        }
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
