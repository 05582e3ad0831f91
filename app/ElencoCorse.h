#pragma once

#include <QString>
#include <cstdio>

// quorvi --corse [LISTA]: the last runs the store knows, of one list or of
// all, as a table for a person at a terminal. Returns the exit status.
int MostraCorse(const QString &lista, std::FILE *out, std::FILE *err);
