#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// The runs' memory: which list each run was of, how it ended, and each visit
// it made. It decides what a run resumes; the visit record (a CSV for
// people) is written beside it and never read back.
//
// SQLite in WAL mode, one file of the data folder. A visit is committed as it
// ends, so a run killed at any instant leaves the store whole and saying
// exactly which visits were made.

inline const QString kNomeArchivioCorse = QStringLiteral("QuorviCorse.sqlite");

// A list as a run knows it: its file, and what the file held. A list edited
// in any way is another list.
struct IdentitaLista {
    QString percorso; // canonical, absolute
    QString impronta; // SHA-256 of the lines, hex
};
IdentitaLista IdentificaLista(const QString &percorso, const QStringList &voci);

// The visits of one entry that a run made, as ranges of visit numbers.
struct Intervallo {
    qint64 da = 0, a = 0; // both included
};
using FatteDellaCorsa = std::map<int, std::vector<Intervallo>>; // by the entry's line, from 0

struct CorsaArchiviata {
    QString id;
    QString lista;
    QString impronta;
    QString modalita;
    QDateTime inizio;
    QDateTime fine; // invalid: never ended (killed)
    QString esito;  // "completato", "interrotto", "abbandonato"; empty when never ended
    qint64 richiesti = 0, fatti = 0, falliti = 0;
};

class QSqlQuery;

class ArchivioCorse {
public:
    // Opens the store, making it when missing. A file that is not a store, is
    // damaged or was written by a newer program is set aside under a name of
    // its own (Avviso() says so) and a new one is begun. When even that
    // cannot be done, the store is closed (Aperto() false, Errore() says why)
    // and the run goes on without it.
    explicit ArchivioCorse(QString percorso);
    ~ArchivioCorse();
    ArchivioCorse(const ArchivioCorse &) = delete;
    ArchivioCorse &operator=(const ArchivioCorse &) = delete;

    bool Aperto() const { return aperto_; }
    QString Percorso() const { return percorso_; }
    QString Avviso() const { return avviso_; }
    // The first failure to read or write, naming the file; empty when none.
    QString Errore() const { return errore_; }

    // The list's last run, whatever its content, when it did not complete.
    std::optional<CorsaArchiviata> UltimaNonCompletata(const QString &percorsoLista);
    // The visits of a run made to their end (done or failed).
    FatteDellaCorsa Fatte(const QString &id);

    // A fresh run; the runs of the same list left unfinished are closed as
    // "abbandonato": this one takes their place.
    bool NuovaCorsa(const QString &id, const IdentitaLista &lista, const QString &modalita, qint64 richiesti);
    // esito: 0 done, 1 failed, 2 interrupted (not made).
    bool Visita(const QString &id, int voce, qint64 accesso, int esito);
    bool Fine(const QString &id, const QString &esito);

    // The last runs, oldest first; of one list when percorsoLista is given.
    std::vector<CorsaArchiviata> Ultime(int quante, const QString &percorsoLista = QString());

    static constexpr int kVersione = 1;

private:
    enum class Apertura { Fatta, DaMettereDaParte, Impossibile };
    Apertura Apri(QString *perche, bool *futura);
    void Chiudi();
    bool Esegui(QSqlQuery &query, const char *cosa);
    bool Riuscito(bool ok, const QSqlQuery &query, const char *cosa);
    std::optional<qint64> Numero(const QString &id);

    QString percorso_;
    QString connessione_;
    bool aperto_ = false;
    QString avviso_;
    QString errore_;
    std::map<QString, qint64> numeri_; // run id -> its row, for the visits
    struct Istruzioni;
    std::unique_ptr<Istruzioni> istruzioni_;
};
