#pragma once

#include "app/CommandLine.h"

#include <QStringList>
#include <cstdio>
#include <vector>

struct RigaVisita;

// The summary at the end of a run without a window, siege's and ab's way.
class Riepilogo {
public:
    void Visita(const RigaVisita &riga);
    void Saltate(qint64 n) { saltate_ += n; }
    // asked: the list's visits; elapsedMs: the run's own time.
    QStringList Righe(qint64 richieste, qint64 trascorsoMs) const;
    int Falliti() const { return falliti_; }
    int Fatti() const { return fatti_; }

private:
    int fatti_ = 0;
    int falliti_ = 0;
    qint64 saltate_ = 0;
    qint64 byte_ = 0;
    std::vector<qint64> durate_;
    QStringList cause_; // in order of first appearance
    std::vector<int> perCausa_;
};

// "12,3 s", "1 min 05 s", "2 h 03 min": how long, in the program's words.
QString DurataLeggibile(qint64 ms);

// Before the application object: a run from cron mails its standard error
// to the user, so the notes Qt and the browser engine write at every start
// in a bare environment (no runtime folder, no OpenGL) are kept out of it.
// Any other message of theirs still gets there.
void PreparaMessaggiSenzaFinestra();

// Runs a list with no window: the log's lines on out, a progress line on
// err when err is a terminal, the summary at the end. The application object
// exists already. Returns the exit status (CodiciUscita.h).
int EseguiSenzaFinestra(const OpzioniEsecuzione &opzioni, std::FILE *out, std::FILE *err);
