#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// How a value is found in the lines of a reply: a start marker opens a search;
// from there the second marker, then the third marker after which the value
// begins, and the end marker before which it ends.
struct CriterioEstrazione {
    QString inizio;
    QString secondo;
    QString terzo;
    QString fine;
    QString caratteriDaTogliere; // removed from the end of the value
    bool includiTerzo = false;
    bool includiFine = false;
    int saltaTrovati = 0;  // hits of the second marker passed over
    bool indietro = false; // search from the end (not used by the version check)
};

// Appends to target the value each start marker yields (forward direction).
void EstraiURLConCriterio(const QStringList &righe, const CriterioEstrazione &criterio, QStringList &target);

// The text with its characters in reverse order.
QString invertiTesto(const QString &testo);

// A version number as the check reads it: leading blanks allowed, digits,
// nothing after; anything else (or a negative number) gives no value.
std::optional<int> LeggiNumeroVersione(const QString &testo);
