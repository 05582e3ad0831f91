#pragma once

// The exit statuses of a run without a window, one per cause, so that a script
// or a timer can tell a harmless overlap from something that needs a person.
namespace uscita {
inline constexpr int Fatto = 0;            // every visit made
inline constexpr int Falliti = 1;          // some visit failed (or an entry was skipped)
inline constexpr int Uso = 2;              // wrong use; the list or the settings unreadable
inline constexpr int GiaInCorso = 3;       // the list is already running
inline constexpr int NonScritto = 4;       // the record, the log, the store or standard output could not be written
inline constexpr int FermatoDopo = 5;      // ended by --ferma-dopo
inline constexpr int Sighup = 129;         // SIGHUP: the terminal went away
inline constexpr int Interrotto = 130;     // SIGINT or SIGTERM
inline constexpr int UscitaChiusa = 141;   // standard output's reader went away, as a death by SIGPIPE would say
} // namespace uscita
