// A run without a window against one real nginx:
//   bench_headless [visits]
// 6. the text-mode run that `quorvi --esegui` performs (the run object, its
//    log, its record written through at every visit, the terminal's lines)
//    against the bare client loop doing the same requests, and against that
//    loop committing each visit to a store as the run does (what the commit
//    costs by itself); and the whole program started as a process, for what
//    its start costs besides.
// 7. the start of a resume with 2 million visits in the store of runs: the
//    decision for a one-visit list, and for the list those visits are of.

#include "app/ArchivioCorse.h"
#include "app/CommandLine.h"
#include "app/RegistroCorse.h"
#include "app/SenzaFinestra.h"
#include "bench/BenchSupport.h"
#include "bench/WindowBenchSupport.h"
#include "net/HttpProt.h"
#include "platform/Paths.h"
#include "platform/ui/Guard.h"
#include "tests/support/NginxFixture.h"

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace {

void WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

void HeadlessRun(NginxServer &nginx, const QString &folder, int visits)
{
    constexpr int kRounds = 5;
    std::printf("\n6. A run without a window, its record and store of runs written at every visit: %d text "
                "visits of a 1 KiB page (best of %d, in turns)\n",
                visits, kRounds);
    const QString site = "127.0.0.1:" + nginx.PortText() + "/page1k.html";
    WriteFile(folder + "/run.tvx", ("Sito=" + site + " Num=" + QString::number(visits) + "\r\n").toLatin1());

    THttpCli cli;
    TMemoryStream page;
    cli.SetURL(("http://" + site).toStdString());
    for (int i = 0; i < 50; ++i) {
        page.Clear();
        cli.SetRcvdStream(&page);
        cli.Get();
    }
    std::FILE *nowhere = std::fopen("/dev/null", "w");
    if (!nowhere)
        throw std::runtime_error("no /dev/null");
    OpzioniEsecuzione opzioni;
    opzioni.lista = QStringLiteral("run");
    opzioni.banda = 2;

    // What a visit's commit costs by itself: the bare loop, each visit also
    // committed to a store of its own, as the run commits it.
    ArchivioCorse store(folder + "/sola.sqlite");
    if (!store.NuovaCorsa("sola", IdentificaLista(folder + "/run.tvx", {}), "testo", qint64(kRounds) * visits))
        throw std::runtime_error("cannot write the store: " + store.Errore().toStdString());
    qint64 committed = 0;

    double bareWall = 1e9, bareCpu = 1e9, storeWall = 1e9, storeCpu = 1e9, runWall = 1e9, runCpu = 1e9,
           programWall = 1e9;
    // Laid out as an installation, so that its files go to the data folder
    // of the HOME it is given, not beside the benchmark's build.
    QDir().mkpath(folder + "/inst/bin");
    QDir().mkpath(folder + "/inst/share/quorvi");
    QString program = folder + "/inst/bin/quorvi";
    if (!QFile::copy(QStringLiteral(QUORVI_BINARY), program))
        program.clear();
    for (int round = 0; round < kRounds; ++round) {
        Stopwatch bare;
        for (int i = 0; i < visits; ++i) {
            page.Clear();
            cli.SetRcvdStream(&page);
            cli.Get();
        }
        bareWall = std::min(bareWall, bare.WallSeconds());
        bareCpu = std::min(bareCpu, bare.CpuSecondsUsed());

        Stopwatch withStore;
        for (int i = 0; i < visits; ++i) {
            page.Clear();
            cli.SetRcvdStream(&page);
            cli.Get();
            if (!store.Visita("sola", 0, ++committed, 0))
                throw std::runtime_error("cannot write the store: " + store.Errore().toStdString());
        }
        storeWall = std::min(storeWall, withStore.WallSeconds());
        storeCpu = std::min(storeCpu, withStore.CpuSecondsUsed());

        // The record grows by a run each round, as it would on a user's machine.
        Stopwatch run;
        const int status = EseguiSenzaFinestra(opzioni, nowhere, nowhere);
        runWall = std::min(runWall, run.WallSeconds());
        runCpu = std::min(runCpu, run.CpuSecondsUsed());
        if (status != 0)
            throw std::runtime_error("the run ended with status " + std::to_string(status));

        if (!program.isEmpty()) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("HOME", folder + "/home");
            env.remove("XDG_DATA_HOME");
            p.setProcessEnvironment(env);
            p.setStandardOutputFile(QProcess::nullDevice());
            Stopwatch whole;
            p.start(program, {"--esegui", folder + "/run.tvx"});
            if (!p.waitForFinished(600000) || p.exitCode() != 0)
                throw std::runtime_error("the program's run failed: " + p.readAllStandardError().toStdString());
            programWall = std::min(programWall, whole.WallSeconds());
        }
    }
    std::fclose(nowhere);

    std::printf("  %-32s %9s %12s %14s\n", "", "wall s", "visits/s", "CPU us/visit");
    std::printf("  %-32s %9.2f %12.0f %14.1f\n", "bare THttpCli::Get loop", bareWall, visits / bareWall,
                bareCpu * 1e6 / visits);
    std::printf("  %-32s %9.2f %12.0f %14.1f\n", "bare loop + a store commit each", storeWall, visits / storeWall,
                storeCpu * 1e6 / visits);
    std::printf("  %-32s %9.2f %12.0f %14.1f\n", "run without a window (Corsa)", runWall, visits / runWall,
                runCpu * 1e6 / visits);
    if (!program.isEmpty())
        std::printf("  %-32s %9.2f %12.0f\n", "quorvi --esegui, start to end", programWall, visits / programWall);
    const double ratio = runWall / bareWall;
    std::printf("  the commit alone takes the loop to %.2f x; the run takes %.2f x the bare loop\n",
                storeWall / bareWall, ratio);
    Verdict("a run without a window within 1.15 x the bare loop", ratio <= 1.15);
}

void ResumeStart(NginxServer &nginx, const QString &folder)
{
    constexpr int kEntries = 20;
    constexpr qint64 kCount = 99999; // the list editor's largest count
    std::printf("\n7. The start of a resume with %lld visits in the store of runs\n", kEntries * kCount - 1);
    const QString site = "127.0.0.1:" + nginx.PortText() + "/page1k.html";
    QByteArray big;
    QStringList bigLines;
    for (int k = 0; k < kEntries; ++k) {
        bigLines << "Sito=" + site + "?" + QString::number(k) + " Num=" + QString::number(kCount);
        big += bigLines.last().toLatin1() + "\r\n";
    }
    WriteFile(folder + "/grande.tvx", big);
    const QStringList oneLine{"Sito=" + site + " Num=1"};
    WriteFile(folder + "/una.tvx", oneLine.first().toLatin1() + "\r\n");

    // Every visit of the big list but its last one made, by a run that was
    // killed; and a run of the one-visit list that never made its visit.
    const QString storePath = DataFilePath(kNomeArchivioCorse);
    {
        ArchivioCorse store(storePath);
        if (!store.NuovaCorsa("grande", IdentificaLista(folder + "/grande.tvx", bigLines), "testo",
                              kEntries * kCount) ||
            !store.NuovaCorsa("una", IdentificaLista(folder + "/una.tvx", oneLine), "testo", 1))
            throw std::runtime_error("cannot write the store: " + store.Errore().toStdString());
    }
    Stopwatch filling;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "riempimento");
        db.setDatabaseName(storePath);
        if (!db.open())
            throw std::runtime_error("cannot open the store");
        QSqlQuery q(db);
        q.exec("select n from corse where id = 'grande'");
        q.next();
        const qint64 n = q.value(0).toLongLong();
        db.transaction();
        q.prepare("insert into visite(corsa, voce, accesso, esito) values (?, ?, ?, 0)");
        for (int k = 0; k < kEntries; ++k)
            for (qint64 i = 1; i <= kCount && !(k == kEntries - 1 && i == kCount); ++i) {
                q.addBindValue(n);
                q.addBindValue(k);
                q.addBindValue(i);
                q.exec();
            }
        db.commit();
    }
    QSqlDatabase::removeDatabase("riempimento");
    std::printf("  (the store filled in %.1f s, %.0f MB)\n", filling.WallSeconds(), QFileInfo(storePath).size() / 1e6);

    std::FILE *nowhere = std::fopen("/dev/null", "w");
    if (!nowhere)
        throw std::runtime_error("no /dev/null");
    std::printf("  %-44s %12s %12s\n", "", "decision s", "whole run s");
    double oneDecision = 0;
    for (const auto &[name, lines] :
         {std::pair{QStringLiteral("una"), oneLine}, std::pair{QStringLiteral("grande"), bigLines}}) {
        Stopwatch decision;
        PreparazioneCorsa p = PreparaCorsa(folder + "/" + name + ".tvx", name, lines);
        const double decided = decision.WallSeconds();
        if (!p.ripresa || p.ripresa->id != name)
            throw std::runtime_error("the run of " + name.toStdString() + " is not offered for resuming");
        p = PreparazioneCorsa();
        OpzioniEsecuzione opzioni;
        opzioni.lista = folder + "/" + name + ".tvx";
        opzioni.banda = 2;
        opzioni.riprendi = true;
        Stopwatch whole;
        const int status = EseguiSenzaFinestra(opzioni, nowhere, nowhere);
        const double ran = whole.WallSeconds();
        if (status != 0)
            throw std::runtime_error("the resumed run ended with status " + std::to_string(status));
        std::printf("  %-44s %12.3f %12.3f\n",
                    name == "una" ? "resume of a one-visit list" : "resume of the list of those visits (1 left)",
                    decided, ran);
        if (name == "una")
            oneDecision = ran;
    }
    std::fclose(nowhere);
    Verdict("resuming a one-visit list starts and ends in under 0.2 s", oneDecision < 0.2);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    SetApplicationTitle(QStringLiteral("T4V_Quorvi"));
    const int visits = argc > 1 ? std::atoi(argv[1]) : 2000;
    try {
        QuietProgram program;
        NginxServer nginx;
        nginx.Serve("page1k.html", QByteArray(1023, 'x') + "\n");
        HeadlessRun(nginx, program.Folder(), visits);
        ResumeStart(nginx, program.Folder());
        program.CheckNoUnexpectedBox();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_headless: %s\n", e.what());
        return 1;
    }
    return 0;
}
