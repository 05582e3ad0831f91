#pragma once

#include "app/CommandLine.h"
#include "app/UscitaTerminale.h"

#include <cstdio>

// Before the application object: a run from cron mails its standard error
// to the user, so the notes Qt and the browser engine write at every start
// in a bare environment (no runtime folder, no OpenGL) are kept out of it.
// Any other message of theirs still gets there.
void PreparaMessaggiSenzaFinestra();

// Runs a list with no window: a line per visit on out (or a JSON object, or
// only the failures), a progress line on err when err is a terminal that out
// does not reach through a pipe, the summary at the end; warnings and errors
// on err. The application object exists already. Returns the exit status of
// CodiciUscita.h.
int EseguiSenzaFinestra(const OpzioniEsecuzione &opzioni, std::FILE *out, std::FILE *err);
