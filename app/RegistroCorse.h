#pragma once

#include "app/ArchivioCorse.h"
#include "app/BloccoLista.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

// What a run of a list starts from: its lock, the store, and the run it may
// resume. The main window and the run without a window both ask here.

// A fresh run's id: when it started, and a random tail so that two runs
// started in the same millisecond differ.
QString NuovoIdCorsa();

// The unfinished run of a list as it is now: its last run did not complete,
// and the list's path and lines are those that run was started with.
struct Ripresa {
    QString id;
    FatteDellaCorsa fatte;
    qint64 accessiFatti = 0; // of the list's visits, those the run made
    qint64 accessiTotali = 0;
};

struct PreparazioneCorsa {
    // Set when the list cannot run now (already running, or no lock can be
    // had); nothing else is then filled in.
    std::optional<BloccoLista::Esito> rifiutata;
    QString rifiuto;
    std::unique_ptr<BloccoLista> blocco;
    std::shared_ptr<ArchivioCorse> archivio;
    IdentitaLista identita;
    std::optional<Ripresa> ripresa;
    // Why the list's last unfinished run cannot be resumed (the list was
    // edited since), in one line; empty when there is none.
    QString nonRiprendibile;
};

// percorso: the list file; nome: the list as the user knows it (for messages);
// voci: its lines as the run will take them. The lock first: two front ends
// must not both offer the same rest.
PreparazioneCorsa PreparaCorsa(const QString &percorso, const QString &nome, const QStringList &voci);

// Before the visit record is opened to append: a file whose first row is
// not this header (an older program's, without the run column) is set aside
// whole under a name of its own, and a new file is started. The same header
// saved again by a spreadsheet or a script (other line ends, no byte-order
// mark) is the same record. Returns the new name, or an empty string when
// nothing was set aside.
QString MettiDaParteRegistroDiverso(const QString &percorso, const QStringList &intestazione);
