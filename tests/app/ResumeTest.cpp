#include "tests/app/AppFixture.h"

#include "app/ArchivioCorse.h"
#include "app/BloccoLista.h"
#include "app/RegistroCorse.h"
#include "app/RegistroVisite.h"
#include "app/SenzaFinestra.h"

#include <QDir>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString Canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

// For the length of a scope, files are opened as a user other than root
// would open them (the filesystem uid alone, on this thread): a root-owned
// file of mode 0444 is then truly read-only.
class AsAnotherUser {
public:
    AsAnotherUser()
    {
        if (::geteuid() == 0)
            ::setfsuid(65534);
    }
    ~AsAnotherUser()
    {
        if (::geteuid() == 0)
            ::setfsuid(0);
    }
};

// A visit as the store keeps it: the entry's line, the visit's number, 0
// done, 1 failed, 2 interrupted.
struct StoredVisit {
    int voce;
    qint64 accesso;
    int esito;
};
struct StoredRun {
    QString id;
    QString list; // relative to the data folder
    QStringList voci;
    std::vector<StoredVisit> visits;
    QString end; // empty: the program was killed
};
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
    const QString list = Canonical(folder.File("mia.tvx"));
    {
        const std::unique_ptr<BloccoLista> elsewhere = BloccoLista::Prendi(list);
        ASSERT_TRUE(elsewhere);
        BloccoLista::Esito esito = BloccoLista::Esito::Preso;
        EXPECT_FALSE(BloccoLista::Prendi(list, &esito));
        EXPECT_EQ(esito, BloccoLista::Esito::Occupato);
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
    EXPECT_TRUE(BloccoLista::Prendi(list));
}

// The same entry twice is two entries: the visits of one copy are not the
// other's.
TEST_F(WindowResume, AnEntryListedTwiceIsResumedCopyByCopy)
{
    GraphicMode();
    LoadList("doppia.tvx", "Sito=alfa Num=2\r\nSito=alfa Num=2\r\n");
    fake->onNavigate = [&](const QString &) {
        if (fake->navigated.size() == 2)
            main->sbInterrompiClick();
    };
    main->btIniziaClick();
    fake->onNavigate = {};
    fake->navigated.clear();
    LoadList("doppia.tvx", "Sito=alfa Num=2\r\nSito=alfa Num=2\r\n");
    boxes.ExpectQuestion(Resume("doppia.tvx", 2, 4), true);
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 2);
}

// A run killed after its last visit, before its end was written, has
// nothing left: the window asks nothing and the list starts again.
TEST_F(WindowResume, ARunWithNothingLeftIsNotOffered)
{
    GraphicMode();
    LoadList("mia.tvx", "Sito=alfa Num=2\r\n");
    {
        ArchivioCorse store(folder.File(kNomeArchivioCorse));
        ASSERT_TRUE(store.NuovaCorsa("A", IdentificaLista(folder.File("mia.tvx"), {"Sito=alfa Num=2"}), "grafica", 2));
        ASSERT_TRUE(store.Visita("A", 0, 1, 0));
        ASSERT_TRUE(store.Visita("A", 0, 2, 0));
    }
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 2);
}

// Under the real event loop, with the real box: a question put away
// unanswered, or a window closed under it, starts nothing, and the run is
// still there to be resumed.
TEST_F(WindowResume, TheQuestionPutAwayOrTheWindowClosedStartsNothing)
{
    GraphicMode();
    LoadList("mia.tvx", "Sito=alfa Num=3\r\n");
    fake->onNavigate = [&](const QString &) { main->sbInterrompiClick(); };
    main->btIniziaClick();
    fake->onNavigate = {};
    ASSERT_EQ(fake->navigated.size(), 1);

    enum class Act { Escape, CloseBox, CloseWindow };
    const struct {
        const char *name;
        Act act;
    } rows[] = {{"Esc", Act::Escape}, {"its close box", Act::CloseBox}, {"the main window closed", Act::CloseWindow}};
    SetMessageBoxResponder({});
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        main->show();
        LoadList("mia.tvx", "Sito=alfa Num=3\r\n");
        QString asked;
        QStringList others; // any other box is put away, so that the test ends
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (!box || !box->isVisible())
                    continue;
                if (!asked.isEmpty()) {
                    others << box->text();
                    box->close();
                    continue;
                }
                asked = box->text();
                if (row.act == Act::Escape)
                    QTest::keyClick(box, Qt::Key_Escape);
                else if (row.act == Act::CloseBox)
                    box->close();
                else
                    main->close();
            }
        });
        poll.start(5);
        main->btIniziaClick();
        poll.stop();
        EXPECT_EQ(asked, Resume("mia.tvx", 1, 3));
        EXPECT_EQ(others, QStringList());
        EXPECT_EQ(fake->navigated.size(), 1);
        EXPECT_FALSE(main->InEsecuzione());
        EXPECT_EQ(main->isVisible(), row.act != Act::CloseWindow);
    }
    BoxScript after;
    after.ExpectQuestion(Resume("mia.tvx", 1, 3), true);
    after.ExpectQuestion(kReport, false);
    main->show();
    LoadList("mia.tvx", "Sito=alfa Num=3\r\n");
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated.size(), 3);
    after.Verify();
}

// What a list's start is told by the store, whatever front end asks.
class RunDecision : public ::testing::Test {
protected:
    void Store(const StoredRun &run) const
    {
        ArchivioCorse store(folder.File(kNomeArchivioCorse));
        ASSERT_TRUE(store.Aperto()) << store.Errore().toStdString();
        ASSERT_TRUE(store.NuovaCorsa(run.id, IdentificaLista(folder.File(run.list), run.voci), "testo", 4));
        for (const StoredVisit &v : run.visits)
            ASSERT_TRUE(store.Visita(run.id, v.voce, v.accesso, v.esito));
        if (!run.end.isEmpty()) {
            ASSERT_TRUE(store.Fine(run.id, run.end));
        }
    }
    TempProgramFolder folder;
};

TEST_F(RunDecision, TheLastRunOfTheListAsItIsNow)
{
    const QStringList voci{"Sito=alfa Num=2", "Sito=beta Num=1", "storta", "Sito=alfa Num=1"};
    const QStringList added = voci + QStringList{"Sito=gamma Num=1"};
    QStringList recounted = voci;
    recounted[1] = "Sito=beta Num=2";
    const std::vector<StoredVisit> all{{0, 1, 0}, {0, 2, 0}, {1, 1, 1}, {3, 1, 0}};
    struct Case {
        const char *name;
        std::vector<StoredRun> runs;
        std::optional<int> done; // none: nothing to resume
        QString id;
        bool edited = false;
    };
    QDir().mkpath(folder.File("altrove"));
    const Case cases[] = {
        {"no run", {}, std::nullopt, {}},
        {"two visits of four", {{"A", "l.tvx", voci, {{0, 1, 0}, {0, 2, 0}}, {}}}, 2, "A"},
        {"a failed visit was made, an interrupted one was not",
         {{"A", "l.tvx", voci, {{0, 1, 1}, {0, 2, 2}}, {}}},
         1,
         "A"},
        {"interrupted by the user", {{"A", "l.tvx", voci, {{1, 1, 0}}, "interrotto"}}, 1, "A"},
        {"completed", {{"A", "l.tvx", voci, all, "completato"}}, std::nullopt, {}},
        {"killed after its last visit", {{"A", "l.tvx", voci, all, {}}}, 4, "A"},
        {"an entry listed twice keeps its copies apart", {{"A", "l.tvx", voci, {{3, 1, 0}}, {}}}, 1, "A"},
        {"a visit stored twice counts once", {{"A", "l.tvx", voci, {{0, 1, 0}, {0, 1, 0}, {0, 2, 1}}, {}}}, 2, "A"},
        {"a line added since", {{"A", "l.tvx", added, {{0, 1, 0}}, {}}}, std::nullopt, {}, true},
        {"a count changed since", {{"A", "l.tvx", recounted, {{0, 1, 0}}, {}}}, std::nullopt, {}, true},
        {"a list of the same name elsewhere", {{"A", "altrove/l.tvx", voci, {{0, 1, 0}}, {}}}, std::nullopt, {}},
        {"the last run counts, not an earlier one",
         {{"A", "l.tvx", voci, {{0, 1, 0}}, {}}, {"B", "l.tvx", voci, all, "completato"}},
         std::nullopt,
         {}},
        {"a fresh run killed at once takes the place of the one before",
         {{"A", "l.tvx", voci, {{0, 1, 0}, {0, 2, 0}}, {}}, {"B", "l.tvx", voci, {}, {}}},
         0,
         "B"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(folder.File(kNomeArchivioCorse + suffix));
        for (const StoredRun &run : c.runs)
            Store(run);
        folder.Write("l.tvx", voci.join("\r\n").toUtf8());
        const PreparazioneCorsa p = PreparaCorsa(folder.File("l.tvx"), "l.tvx", voci);
        ASSERT_TRUE(p.blocco);
        ASSERT_EQ(p.ripresa.has_value(), c.done.has_value());
        EXPECT_EQ(p.nonRiprendibile.contains("è cambiata"), c.edited) << p.nonRiprendibile.toStdString();
        if (!p.ripresa)
            continue;
        EXPECT_EQ(p.ripresa->id, c.id);
        EXPECT_EQ(p.ripresa->accessiFatti, *c.done);
        EXPECT_EQ(p.ripresa->accessiTotali, 4);
    }
}

TEST_F(RunDecision, AStoreThatIsNoStoreOrIsNewerIsSetAsideAndANewOneBegun)
{
    struct Case {
        const char *name;
        std::function<void()> make;
        const char *asideAs;
        const char *says;
    };
    const QString path = folder.File(kNomeArchivioCorse);
    const Case cases[] = {
        {"not a database", [&] { folder.Write(kNomeArchivioCorse, QByteArray(4096, 'x')); },
         "QuorviCorse-danneggiato.sqlite", "non è leggibile"},
        {"a newer program's",
         [&] {
             ArchivioCorse old(path);
             QSqlQuery(QSqlDatabase::database(QSqlDatabase::connectionNames().constFirst()))
                 .exec("pragma user_version = 7");
         },
         "QuorviCorse-versione-futura.sqlite", "versione più recente"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        const QByteArray before = folder.Read(kNomeArchivioCorse);
        ArchivioCorse store(path);
        EXPECT_TRUE(store.Aperto()) << store.Errore().toStdString();
        EXPECT_TRUE(store.Avviso().contains(c.says)) << store.Avviso().toStdString();
        EXPECT_TRUE(store.Avviso().contains(folder.File(c.asideAs))) << store.Avviso().toStdString();
        EXPECT_EQ(folder.Read(c.asideAs).left(16), before.left(16));
        EXPECT_TRUE(store.NuovaCorsa("A", IdentificaLista(folder.File("l.tvx"), {}), "testo", 1));
        EXPECT_TRUE(store.Errore().isEmpty()) << store.Errore().toStdString();
        // Begun with small pages: a visit's commit writes a page or two.
        QSqlQuery size(QSqlDatabase::database(QSqlDatabase::connectionNames().constFirst()));
        ASSERT_TRUE(size.exec("pragma page_size") && size.next());
        EXPECT_EQ(size.value(0).toInt(), 1024);
    }
}

TEST(ListLock, AReadOnlyLockFileStillLocksAndNoLockRefusesTheList)
{
    TempProgramFolder folder;
    ASSERT_EQ(0, ::chmod(QFile::encodeName(folder.Path()).constData(), 0755));
    const QString list = folder.File("mia.tvx");
    const QString lockFile = BloccoLista::FileBlocco(list);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(lockFile).path()));
    folder.Write(QFileInfo(lockFile).dir().dirName() + "/" + QFileInfo(lockFile).fileName(), {});
    ASSERT_EQ(0, ::chmod(QFile::encodeName(lockFile).constData(), 0444));
    {
        AsAnotherUser user;
        BloccoLista::Esito esito = BloccoLista::Esito::Impossibile;
        const std::unique_ptr<BloccoLista> first = BloccoLista::Prendi(list, &esito);
        EXPECT_TRUE(first);
        EXPECT_EQ(esito, BloccoLista::Esito::Preso);
        EXPECT_FALSE(BloccoLista::Prendi(list, &esito));
        EXPECT_EQ(esito, BloccoLista::Esito::Occupato);
    }
    // A folder that takes no lock file: the list is refused, never run unlocked.
    ASSERT_EQ(0, ::chmod(QFile::encodeName(QFileInfo(lockFile).path()).constData(), 0555));
    {
        AsAnotherUser user;
        BloccoLista::Esito esito = BloccoLista::Esito::Preso;
        QString why;
        EXPECT_FALSE(BloccoLista::Prendi(folder.File("altra.tvx"), &esito, &why));
        EXPECT_EQ(esito, BloccoLista::Esito::Impossibile);
        EXPECT_TRUE(why.startsWith(BloccoLista::FileBlocco(folder.File("altra.tvx")))) << why.toStdString();
    }
    ::chmod(QFile::encodeName(QFileInfo(lockFile).path()).constData(), 0755);
}

TEST(ListLock, AFileRemovedByTheRunBeforeIsNotHeldAndTheLastRunLeavesNone)
{
    TempProgramFolder folder;
    const QString list = folder.File("mia.tvx");
    const QByteArray lockFile = QFile::encodeName(BloccoLista::FileBlocco(list));
    // The run before lets go just as this one has opened the file: its file
    // is removed before this one locks it.
    int removed = 0;
    BloccoLista::DopoApertura = [&] {
        if (removed++ == 0)
            ::unlink(lockFile.constData());
    };
    std::unique_ptr<BloccoLista> first = BloccoLista::Prendi(list);
    BloccoLista::DopoApertura = nullptr;
    ASSERT_TRUE(first);
    EXPECT_EQ(removed, 2);
    // What it holds is the file the name gives: another start is refused.
    BloccoLista::Esito esito = BloccoLista::Esito::Preso;
    EXPECT_FALSE(BloccoLista::Prendi(list, &esito));
    EXPECT_EQ(esito, BloccoLista::Esito::Occupato);
    first.reset();
    EXPECT_EQ(QDir(QFileInfo(QFile::decodeName(lockFile)).path()).entryList(QDir::Files), QStringList());
}

TEST(VisitRecordFile, AnotherShapeIsKeptWholeTheSameHeaderSavedAgainIsAppendedTo)
{
    struct Case {
        const char *name;
        QByteArray before;
        bool setAside;
    };
    const QByteArray row = "2026-01-01T00:00:00.000+00:00,l,http://alfa,1,1,testo,fatto,200,5,3,,A";
    const Case cases[] = {
        {"an older program's, without the run column",
         "\xEF\xBB\xBF"
         "inizio,lista,indirizzo,accesso,di,modalita,esito,stato,byte,durata_ms,motivo\r\n"
         "2026-01-01T00:00:00.000+00:00,l,http://alfa,1,1,testo,fatto,200,5,3,\r\n",
         true},
        {"saved again by a script: LF line ends, no byte-order mark",
         "inizio,lista,indirizzo,accesso,di,modalita,esito,stato,byte,durata_ms,motivo,corsa\n" + row + "\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempProgramFolder folder;
        folder.Write(kNomeRegistroVisite, c.before);
        folder.Write("LogQuorvi-precedente.csv", "another");
        RigaVisita r;
        r.inizio = QDateTime::currentDateTime();
        r.lista = "l";
        r.indirizzo = "http://alfa";
        r.accesso = r.di = 1;
        r.esito = "fatto";
        r.corsa = "B";
        RegistroVisite(folder.File(kNomeRegistroVisite)).Aggiungi(r);
        EXPECT_EQ(folder.Read("LogQuorvi-precedente.csv"), QByteArray("another"));
        EXPECT_EQ(QFile::exists(folder.File("LogQuorvi-precedente-2.csv")), c.setAside);
        const std::vector<QStringList> rows = ReadCsvWithPython(folder.File(kNomeRegistroVisite));
        ASSERT_EQ(rows.size(), c.setAside ? 2u : 3u);
        EXPECT_EQ(rows[0], ColonneRegistro());
        EXPECT_EQ(rows.back().last(), "B");
        if (c.setAside)
            EXPECT_EQ(folder.Read("LogQuorvi-precedente-2.csv"), c.before);
        else
            EXPECT_EQ(rows[1].last(), "A");
    }
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
