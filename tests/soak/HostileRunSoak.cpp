#include "tests/app/AppFixture.h"
#include "tests/soak/HostileServer.h"

#include "lists/SiteList.h"
#include <QLabel>
#include <QProgressBar>
#include <QTextBlock>
#include <QTextDocument>
#include <random>

#if defined(__SANITIZE_ADDRESS__)
// Freed blocks are held back for a while to catch late uses; a few megabytes
// of them still do that, where the default quarter of a gigabyte would stand
// for most of the memory bound below.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=16";
}
#endif

namespace {
const QString kReport = QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?");
const QString kWarning = QStringLiteral("Si sono verificati più di accessi 10 non riusciti, interrompo l'operazione?");
constexpr int kVisits = 1000;
constexpr std::uint32_t kSeed = 20031010;
// The silent server is given up on after this long instead of 30 s.
constexpr int kShortTimeOutMs = 200;

// A client that returns from Get without raising logs "...fatto.". A reset
// in the middle of the body cuts the page short of its Content-Length: that
// visit failed, and its memo stays empty.
bool Succeeds(Answer answer)
{
    return answer == Answer::Page || answer == Answer::HugeBody || answer == Answer::Drip;
}

// How often each answer comes: the 50 MiB body is rarer, so the soak stays
// within minutes under the sanitizers; the seed still meets it eight times.
int Weight(Answer answer)
{
    return answer == Answer::HugeBody ? 1 : 8;
}

struct Entry {
    Answer answer;
    QString site;
    int count;
};

// Entries of 1 to 3 visits each, answers drawn from the seed, 1,000 visits in all.
std::vector<Entry> Plan(const std::string &hostPort)
{
    std::mt19937 random(kSeed);
    std::vector<int> weights;
    for (Answer a : kAllAnswers)
        weights.push_back(Weight(a));
    std::discrete_distribution<int> pick(weights.begin(), weights.end());
    std::uniform_int_distribution<int> count(1, 3);
    std::vector<Entry> plan;
    int visits = 0;
    while (visits < kVisits) {
        const Answer answer = kAllAnswers[pick(random)];
        const int n = std::min(count(random), kVisits - visits);
        const QString site =
            QString::fromStdString(hostPort) + "/" + AnswerWord(answer) + "/" + QString::number(plan.size());
        plan.push_back({answer, site, n});
        visits += n;
    }
    return plan;
}

// The page-source memo after a visit of this kind to this site.
QStringList ExpectedSource(const Entry &entry)
{
    const auto lines = [](const std::string &body) { return SplitLines(QString::fromStdString(body)); };
    switch (entry.answer) {
    case Answer::Page:
        return lines(PageBody(entry.site.mid(entry.site.indexOf('/')).toStdString()));
    case Answer::Drip:
        return lines(DripBody());
    default:
        return {};
    }
}
} // namespace

class HostileRun : public AppFixture {};

TEST_F(HostileRun, ThousandVisitsAgainstAServerThatMisbehavesInEveryWay)
{
    HostileServer server;
    const std::vector<Entry> plan = Plan(server.HostPort());

    QByteArray list;
    std::vector<const Entry *> visits;
    for (const Entry &e : plan) {
        list += "Sito=" + EncodeAnsi(e.site) + " Num=" + QByteArray::number(e.count) + "\r\n";
        for (int i = 0; i < e.count; ++i)
            visits.push_back(&e);
    }
    ASSERT_EQ(visits.size(), std::size_t(kVisits));
    LoadList("ostile.tvx", list);

    // The log as it must read, the failure warnings as they must come, and
    // the failure count left at the end.
    QStringList expectedLog{QString(), QStringLiteral("Inizio di 1 multi accessi in:")};
    std::map<Answer, int> expectedRequests;
    int failures = 0, warnings = 0;
    for (const Entry &e : plan) {
        expectedLog << e.site;
        for (int i = 1; i <= e.count; ++i) {
            if (failures > 9) {
                ++warnings;
                failures = 0;
                boxes.ExpectQuestion(kWarning, false);
            }
            expectedLog << QStringLiteral("Multi accesso numero %1").arg(i)
                        << e.site + (Succeeds(e.answer) ? "...fatto." : "...errore.");
            failures += !Succeeds(e.answer);
            expectedRequests[e.answer] += e.answer == Answer::EndlessRelocation ? 1 + THttpCli::kMaxRelocations : 1;
        }
    }
    ASSERT_GT(warnings, 5) << "the seed should give the warning a workout";
    std::map<Answer, int> visitsOf;
    for (const Entry *e : visits)
        ++visitsOf[e->answer];
    for (Answer a : kAllAnswers)
        ASSERT_GE(visitsOf[a], 5) << AnswerWord(a) << ": the seed should meet every answer";

    const int descriptorsBefore = OpenDescriptors();
    const MemoryUse before = CurrentMemoryUse();
    std::vector<long> rss;
    std::size_t next = 0;
    int wrongSource = 0;
    const auto checkSource = [&](std::size_t visit) {
        const Entry &e = *visits[visit];
        if (e.answer == Answer::HugeBody) {
            // Looked at in place: a copy of half a million lines would weigh
            // more than the page itself.
            const QTextDocument *doc = main->DisplayMemo->document();
            const std::size_t lines = kHugeBodyBytes / kHugeLineBytes;
            const bool ok = std::size_t(doc->blockCount()) == lines && doc->firstBlock().text().startsWith("riga 0 ") &&
                            doc->lastBlock().text().startsWith(QStringLiteral("riga %1 ").arg(lines - 1)) &&
                            doc->lastBlock().text().size() == int(kHugeLineBytes - 2);
            wrongSource += !ok;
            EXPECT_TRUE(ok) << "visit " << visit << " " << e.site.toStdString();
        } else if (main->RigheCodice() != ExpectedSource(e)) {
            ++wrongSource;
            EXPECT_EQ(main->RigheCodice(), ExpectedSource(e)) << "visit " << visit << " " << e.site.toStdString();
        }
    };
    main->PrimaDellaVisita = [&](const QString &url) {
        ASSERT_LT(next, visits.size());
        ASSERT_EQ(url, "http://" + visits[next]->site);
        if (next > 0 && wrongSource < 5)
            checkSource(next - 1);
        rss.push_back(CurrentMemoryUse().rssKiB);
        // Only the silent server is waited out; the real 30 s stand for the rest.
        main->TimerOut->setInterval(visits[next]->answer == Answer::Silence ? kShortTimeOutMs : 30000);
        ++next;
    };

    // The page source is looked at in the memo itself, as the user who revealed
    // it sees it (a hidden memo only keeps the last page's bytes).
    main->DisplayMemo->setVisible(true);
    QStringList log;
    boxes.ExpectQuestion(kReport, true, [&] {
        log = main->RigheLog();
        checkSource(visits.size() - 1);
    });
    main->btIniziaClick();

    EXPECT_EQ(next, visits.size());
    EXPECT_EQ(wrongSource, 0);
    ASSERT_EQ(log.size(), expectedLog.size());
    for (qsizetype i = 0; i < expectedLog.size(); ++i)
        ASSERT_EQ(log[i], expectedLog[i]) << "log line " << i;
    const QStringList file = SplitLines(DecodeAnsi(folder.Read("LogQuorvi.txt")));
    ASSERT_EQ(file.size(), log.size() + 2);
    EXPECT_EQ(file.mid(0, log.size()), log);
    EXPECT_TRUE(file.last().startsWith("Multi accesso eseguito in data "));
    EXPECT_EQ(shell.Targets(), QStringList{folder.File("LogQuorvi.txt")});
    EXPECT_EQ(main->AccessiFalliti, failures);

    // Every visit reached the server as planned, and nothing else did.
    EXPECT_EQ(server.Served(), expectedRequests);
    EXPECT_EQ(server.Unknown(), 0);

    // Idle again, with nothing left open behind the run.
    EXPECT_FALSE(main->InEsecuzione());
    EXPECT_TRUE(main->btInizia->isEnabled());
    EXPECT_TRUE(main->BtEsci->isEnabled());
    EXPECT_FALSE(main->sbInterrompi->isEnabled());
    EXPECT_FALSE(main->sbPausa->isEnabled());
    EXPECT_FALSE(main->TimerOut->isActive());
    EXPECT_EQ(main->HttpCli1->State(), hsReady);
    EXPECT_EQ(main->StatusBar->currentMessage(), QStringLiteral("Pronto per nuovo quorvi."));
    EXPECT_EQ(Preview(), QStringList{kVuota});
    EXPECT_EQ(main->RigheLog(), QStringList{"Multi accesso completato."});
    EXPECT_TRUE(PumpUntil([&] { return server.Open() == 0; }, 5000)) << server.Open() << " still open";
    EXPECT_LE(OpenDescriptors(), descriptorsBefore + 2);

    // Memory: the peak is a few copies of the largest page, and what the run
    // holds does not creep up visit after visit.
    const MemoryUse after = CurrentMemoryUse();
    const long hugeKiB = long(kHugeBodyBytes / 1024);
    std::cout << "memory KiB: before " << before.rssKiB << " peak " << after.peakKiB << " after " << after.rssKiB
              << std::endl;
    // What the run must hold for the largest page: its bytes in the stream,
    // the memo's copy of its text (two bytes a character) and the memo's
    // bookkeeping for each of its lines, about one page more. Six pages
    // leave room for the rest of the run and for the sanitizer's shadow, in
    // every build alike.
    EXPECT_LT(after.peakKiB - before.rssKiB, 6 * hugeKiB);
    ASSERT_EQ(rss.size(), visits.size());
    const long early = *std::max_element(rss.begin(), rss.begin() + kVisits / 2);
    const long late = *std::max_element(rss.begin() + kVisits / 2, rss.end());
    EXPECT_LT(late, early + 2 * hugeKiB) << "resident memory grows with the visits";
}
