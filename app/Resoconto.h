#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The last line of the run's log: "Multi accesso eseguito in data " + the
// locale's short date + " concluso alle ore " + its long time without a time
// zone. The log file is Windows-1252, so whatever of the date and time that
// code page cannot hold is replaced here (a digit of another script by its
// ASCII digit, anything else by "?", as the system's own conversion does)
// instead of making the whole report impossible to write.
QString RigaConclusione(const QLocale &locale, const QDateTime &quando);

// The locale of that line: Italian, as the sentence around the date is,
// whatever the environment's locale (an English date inside an Italian
// sentence reads as a mistake).
QLocale LocaleDelLog();

// A locale's time format without its time zone, and without the brackets or
// blanks that stood around it ("H:mm:ss (t)" becomes "H:mm:ss").
QString FormatoOraSenzaFuso(const QString &formato);

// Text made writable in Windows-1252 by the replacement above.
QString SostituisciNonAnsi(const QString &testo);
