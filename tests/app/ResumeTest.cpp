#include "tests/app/AppFixture.h"

#include "app/BloccoLista.h"
#include "app/RegistroCorse.h"
#include "app/RegistroVisite.h"
#include "app/SenzaFinestra.h"

#include <QDir>

namespace {
const QString kReport = QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?");

QString Resume(const QString &lista, int done, int total)
{
    return QStringLiteral("Il multi accesso della lista %1 non è stato completato (eseguiti %2 accessi su %3). Vuoi "
                          "riprenderlo da dove si era interrotto? Rispondendo No ricomincia da capo.")
        .arg(lista)
        .arg(done)
        .arg(total);
}

RigaVisita Row(const QString &lista, const QString &url, int accesso, int di, const QString &corsa,
               const QString &esito = QStringLiteral("fatto"))
{
    RigaVisita r;
    r.inizio = QDateTime::currentDateTime();
    r.lista = lista;
    r.indirizzo = url;
    r.accesso = accesso;
    r.di = di;
    r.esito = esito;
    r.corsa = corsa;
    return r;
}
} // namespace

using WindowResume = AppFixture;

TEST_F(WindowResume, ARunCutShortByClosingTheWindowIsOfferedAtTheNextStart)
{
    GraphicMode();
    LoadList("mia.tvx", "Sito=alfa Num=3\r\nSito=beta Num=2\r\n");
    fake->onNavigate = [&](const QString &) {
        if (fake->navigated.size() == 2)
            main->close();
    };
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 2);

    // The next start of the program, the same list: only the rest is made.
    w = Finestre();
    auto browser = std::make_unique<FakeBrowser>();
    fake = browser.get();
    w = CreaFinestre(std::move(browser));
    main = w.main.get();
    main->DurataAttesa = [](std::uint32_t) { return 0u; };
    GraphicMode();
    LoadList("mia.tvx", "Sito=alfa Num=3\r\nSito=beta Num=2\r\n");
    QStringList logAtEnd;
    boxes.ExpectQuestion(Resume("mia.tvx", 2, 5), true);
    boxes.ExpectQuestion(kReport, false, [&] { logAtEnd = main->RigheLog(); });
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated, (QStringList{"http://alfa", "http://beta", "http://beta"}));
    // The numbers are the visits' own, as in an uninterrupted run.
    EXPECT_EQ(logAtEnd.mid(2),
              (QStringList{"alfa", "Multi accesso numero 3", "alfa...fatto.", "beta", "Multi accesso numero 1",
                           "beta...fatto.", "Multi accesso numero 2", "beta...fatto."}));

    // Finished now: the next start asks nothing, and No starts again from the top.
    LoadList("mia.tvx", "Sito=alfa Num=3\r\nSito=beta Num=2\r\n");
    fake->navigated.clear();
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 5);
}

TEST_F(WindowResume, NoStartsTheListAgainAndARunOfAnotherListIsNoneOfItsBusiness)
{
    GraphicMode();
    LoadList("mia.tvx", "Sito=alfa Num=4\r\n");
    fake->onNavigate = [&](const QString &) {
        if (fake->navigated.size() == 1)
            main->sbInterrompiClick();
    };
    main->btIniziaClick();
    fake->onNavigate = {};
    LoadList("altra.tvx", "Sito=alfa Num=4\r\n");
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();

    fake->navigated.clear();
    LoadList("mia.tvx", "Sito=alfa Num=4\r\n");
    boxes.ExpectQuestion(Resume("mia.tvx", 1, 4), false);
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 4);
}

TEST_F(WindowResume, AListInUseElsewhereIsNotStarted)
{
    GraphicMode();
    LoadList("mia.tvx", "Sito=alfa Num=1\r\n");
    {
        const std::unique_ptr<BloccoLista> elsewhere = BloccoLista::Prendi("mia.tvx");
        ASSERT_TRUE(elsewhere);
        EXPECT_FALSE(BloccoLista::Prendi("mia.tvx"));
        boxes.ExpectWarning(QStringLiteral("Impossibile iniziare la procedura, la lista mia.tvx è già in esecuzione."));
        main->btIniziaClick();
        EXPECT_TRUE(fake->navigated.isEmpty());
        EXPECT_FALSE(main->InEsecuzione());
        EXPECT_TRUE(main->btInizia->isEnabled());
    }
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 1);
    // The window's run let go of the list when it ended.
    EXPECT_TRUE(BloccoLista::Prendi("mia.tvx"));
}

TEST(RecordReading, TornRowsAndQuotes)
{
    struct Case {
        const char *name;
        QByteArray bytes;
        std::vector<QStringList> rows;
    };
    const Case cases[] = {
        {"byte-order mark and two rows",
         "\xEF\xBB\xBF"
         "a,b\r\nc,d\r\n",
         {{"a", "b"}, {"c", "d"}}},
        {"quoted comma, quote and line end", "\"x,\"\"y\"\"\r\nz\",w\r\n", {{"x,\"y\"\r\nz", "w"}}},
        {"last row without its line end", "a,b\r\nc,d", {{"a", "b"}}},
        {"last row inside a quote", "a,b\r\n\"c,d\r\n", {{"a", "b"}}},
        {"empty fields", ",,\r\n", {{"", "", ""}}},
        {"a lone LF is text", "a\nb,c\r\n", {{"a\nb", "c"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LeggiCsv(c.bytes), c.rows);
    }
}

class RecordResume : public ::testing::Test {
protected:
    QString Path() const { return folder.File(kNomeRegistroVisite); }
    void Append(const RigaVisita &r)
    {
        RegistroVisite registro(Path());
        registro.Aggiungi(r);
    }
    TempProgramFolder folder;
};

TEST_F(RecordResume, TheLastRunOfTheListTellsWhatIsLeft)
{
    const QStringList voci{"Sito=alfa Num=2", "Sito=beta Num=1", "storta", "Sito=alfa Num=1"};
    struct Case {
        const char *name;
        std::vector<RigaVisita> rows;
        std::optional<int> done; // none: nothing to resume
        QString id;
    };
    const Case cases[] = {
        {"no record", {}, std::nullopt, {}},
        {"two visits of four", {Row("l", "http://alfa", 1, 2, "A"), Row("l", "http://alfa", 2, 2, "A")}, 2, "A"},
        {"a failed visit was made", {Row("l", "http://alfa", 1, 2, "A", "errore")}, 1, "A"},
        {"an interrupted one was not", {Row("l", "http://alfa", 1, 2, "A", "interrotto")}, 0, "A"},
        {"every visit made",
         {Row("l", "http://alfa", 1, 2, "A"), Row("l", "http://alfa", 2, 2, "A"), Row("l", "http://beta", 1, 1, "A"),
          Row("l", "http://alfa", 1, 1, "A")},
         std::nullopt,
         {}},
        {"the last run counts, not an earlier one",
         {Row("l", "http://alfa", 1, 2, "A"), Row("l", "http://alfa", 2, 2, "A"), Row("l", "http://beta", 1, 1, "B")},
         1,
         "B"},
        {"other lists are passed over",
         {Row("l", "http://alfa", 1, 2, "A"), Row("altra", "http://alfa", 2, 2, "C")},
         1,
         "A"},
        {"a run of the list before it was edited", {Row("l", "http://alfa", 1, 3, "A")}, std::nullopt, {}},
        {"a row of an older program has no run", {Row("l", "http://alfa", 1, 2, "")}, std::nullopt, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(Path());
        for (const RigaVisita &r : c.rows)
            Append(r);
        const std::optional<CorsaSospesa> sospesa = CorsaDaRiprendere(Path(), "l", voci);
        ASSERT_EQ(sospesa.has_value(), c.done.has_value());
        if (!sospesa)
            continue;
        EXPECT_EQ(sospesa->id, c.id);
        EXPECT_EQ(sospesa->accessiFatti, *c.done);
        EXPECT_EQ(sospesa->accessiTotali, 4);
    }
}

TEST_F(RecordResume, ATornLastRowIsCutOffAndTheRestReadsWhole)
{
    Append(Row("l", "http://alfa", 1, 2, "A"));
    QFile f(Path());
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("2026-12-07T10:00:00.000+00:00,l,\"http://alfa,");
    f.close();
    Append(Row("l", "http://alfa", 2, 2, "A"));
    const std::optional<CorsaSospesa> sospesa = CorsaDaRiprendere(Path(), "l", {"Sito=alfa Num=2", "Sito=beta Num=1"});
    ASSERT_TRUE(sospesa);
    EXPECT_EQ(sospesa->accessiFatti, 2);
    const std::vector<QStringList> rows = LeggiCsv(folder.Read(kNomeRegistroVisite));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2][2], "http://alfa");
    EXPECT_EQ(rows[2][3], "2");
    EXPECT_EQ(rows[2].last(), "A");
}

// A list whose name a spreadsheet would take for a formula is written with a
// ' in front, and still found again.
TEST_F(RecordResume, AListNamedLikeAFormulaIsFoundAgain)
{
    Append(Row("-l.tvx", "http://alfa", 1, 2, "A"));
    const std::optional<CorsaSospesa> sospesa = CorsaDaRiprendere(Path(), "-l.tvx", {"Sito=alfa Num=2"});
    ASSERT_TRUE(sospesa);
    EXPECT_EQ(sospesa->accessiFatti, 1);
}

TEST_F(RecordResume, ARecordOfTheOldShapeIsKeptWholeAndANewOneStarted)
{
    const QByteArray old = "\xEF\xBB\xBF"
                           "inizio,lista,indirizzo,accesso,di,modalita,esito,stato,byte,durata_ms,motivo\r\n"
                           "2026-01-01T00:00:00.000+00:00,l,http://alfa,1,1,testo,fatto,200,5,3,\r\n";
    folder.Write(kNomeRegistroVisite, old);
    folder.Write("LogQuorvi-precedente.csv", "another");
    Append(Row("l", "http://alfa", 1, 1, "A"));
    EXPECT_EQ(folder.Read("LogQuorvi-precedente.csv"), QByteArray("another"));
    EXPECT_EQ(folder.Read("LogQuorvi-precedente-2.csv"), old);
    const std::vector<QStringList> rows = LeggiCsv(folder.Read(kNomeRegistroVisite));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], ColonneRegistro());
    EXPECT_EQ(rows[1].last(), "A");
    // A record of the present shape stays where it is.
    Append(Row("l", "http://alfa", 1, 1, "B"));
    EXPECT_EQ(LeggiCsv(folder.Read(kNomeRegistroVisite)).size(), 3u);
    EXPECT_FALSE(QFile::exists(folder.File("LogQuorvi-precedente-3.csv")));
}

TEST(Summary, CountsCausesAndDurations)
{
    Riepilogo r;
    const struct {
        const char *esito;
        int stato;
        const char *motivo;
        qint64 ms;
        qint64 bytes;
    } visits[] = {
        {"fatto", 200, "", 40, 100},
        {"errore", 404, "Not Found", 10, 50},
        {"errore", 429, "Too Many Requests; attesa di 10 s chiesta dal server", 30, 0},
        {"errore", 0, "timeout", 30000, 0},
        {"errore", 404, "Not Found", 20, 50},
        {"interrotto", 0, "interrotto", 5, 0},
        {"errore", 404, "Risposta HTTP 404", 7, 0},
    };
    for (const auto &v : visits) {
        RigaVisita riga;
        riga.esito = v.esito;
        riga.stato = v.stato;
        riga.motivo = v.motivo;
        riga.durataMs = v.ms;
        riga.byte = v.bytes;
        r.Visita(riga);
    }
    r.GiaFatte(3);
    ContestoRiepilogo c;
    c.richieste = 12;
    c.trascorsoMs = 83000;
    EXPECT_EQ(
        r.Righe(c),
        (QStringList{"Riepilogo: completato, 6 accessi non riusciti su 7.", "  non riusciti: 6", "    404 Not Found: 2",
                     "    429 Too Many Requests: 1", "    timeout: 1", "    interrotto: 1", "    Risposta HTTP 404: 1",
                     "  accessi richiesti: 12", "  già fatti prima della ripresa: 3", "  fatti: 1", "  non eseguiti: 2",
                     "  byte ricevuti: 200", "  durata (ms): minima 5, mediana 20, 95° percentile 30000, massima 30000",
                     "  tempo trascorso: 1 min 23 s"}));
    EXPECT_EQ(DurataLeggibile(1250), "1,3 s");
    EXPECT_EQ(DurataLeggibile(7384000), "2 h 03 min");
}
