#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

struct RigaVisita;

// How a run without a window ended, as its summary and its exit status say.
enum class FineCorsa {
    Completata, // every entry taken
    Interrotta, // SIGINT or SIGTERM
    Fermata,    // --ferma-dopo N failures
    // Standard output could not be written: printing stopped, and the run
    // with it, as if interrupted.
    UscitaChiusa,     // its reader went away (| head -1)
    UscitaNonScritta, // any other failure (a full disk)
};

// An entry the run passed over: its line in the list file and why.
struct VoceSaltata {
    int riga = 0;
    QString motivo;
};

// What the summary says besides the visits it counted.
struct ContestoRiepilogo {
    QString lista;
    QString corsa; // the run's id
    bool grafica = false;
    qint64 richieste = 0; // the list's visits
    qint64 trascorsoMs = 0;
    FineCorsa fine = FineCorsa::Completata;
    QString segnale; // Interrotta: "SIGINT" or "SIGTERM"
    int fermaDopo = 0;
    int statoUscita = 0;
};

// Durations of the visits made: by nearest rank, the median of an even number
// of them the mean of the two in the middle.
struct Durate {
    qint64 minima = 0, mediana = 0, p95 = 0, massima = 0;
};
Durate CalcolaDurate(std::vector<qint64> ms);

// The summary at the end of a run without a window, siege's and ab's way:
// what went wrong first, then the counts.
class Riepilogo {
public:
    void Visita(const RigaVisita &riga);
    // Visits of a resumed run that the record held as made.
    void GiaFatte(qint64 n) { giaFatte_ += n; }
    void VociSaltate(std::vector<VoceSaltata> voci) { saltate_ = std::move(voci); }
    QStringList Righe(const ContestoRiepilogo &c) const;
    // One line of JSON.
    QByteArray Json(const ContestoRiepilogo &c) const;
    int Falliti() const { return falliti_; }
    int Fatti() const { return fatti_; }
    int Saltate() const { return int(saltate_.size()); }

private:
    qint64 NonEseguiti(qint64 richieste) const;

    int fatti_ = 0;
    int falliti_ = 0;
    qint64 giaFatte_ = 0;
    qint64 byte_ = 0;
    std::vector<qint64> durate_;
    QStringList cause_; // in order of first appearance
    std::vector<int> perCausa_;
    std::vector<VoceSaltata> saltate_;
};

// "12,3 s", "1 min 05 s", "2 h 03 min": how long, in the program's words.
QString DurataLeggibile(qint64 ms);

// What a failed visit is counted under: its status with the server's words,
// else the cause.
QString CausaFallimento(const RigaVisita &riga);

// One visit on a line, wget -nv's way, short enough for 80 columns: time,
// address (as the list writes it, padded to larghezzaIndirizzo), n/of
// (numbers padded to cifre), outcome, status, bytes, milliseconds, and the
// reason of a failure.
QString RigaTerminale(const RigaVisita &riga, int larghezzaIndirizzo, int cifre);

// An address as the list writes it: without the "http://" the run puts in front.
QString IndirizzoInBreve(const QString &indirizzo);

// One visit as one line of JSON, with the record's column names.
QByteArray JsonVisita(const RigaVisita &riga);

// The progress line, no wider than colonne - 1 (the last column would make
// some terminals wrap): visits done of all, percentage, time elapsed and
// left, then the address in hand, shortened in its middle to fit.
QString RigaAvanzamento(qint64 fatte, qint64 richieste, qint64 trascorsoMs, qint64 restaMs, const QString &indirizzo,
                        int colonne);

// The exit status of a run that took place (see CodiciUscita.h).
int StatoUscita(FineCorsa fine, int falliti, int vociSaltate, int avvisi);
