#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

// One run per list at a time, across every window, terminal and timer of the
// user: a lock held while the run goes on, on a small file named after the
// list's full path in one folder of the data folder, removed as the run lets
// go of it. The system drops the lock with the process, however the process
// ends, so a killed run never leaves its list locked (only its empty file).
class BloccoLista {
public:
    enum class Esito {
        Preso,
        Occupato,   // another run has the list
        Impossibile // no lock can be had: the list is not run unlocked
    };
    // percorsoLista: the list's canonical path. perche: for Impossibile, the
    // lock file and the system's reason.
    static std::unique_ptr<BloccoLista> Prendi(const QString &percorsoLista, Esito *esito = nullptr,
                                               QString *perche = nullptr);
    ~BloccoLista();
    BloccoLista(const BloccoLista &) = delete;
    BloccoLista &operator=(const BloccoLista &) = delete;

    // The lock file of a list.
    static QString FileBlocco(const QString &percorsoLista);

    // A hook for tests: called between opening the lock file and locking it.
    static inline std::function<void()> DopoApertura;

private:
    BloccoLista(int fd, QByteArray percorso) : fd_(fd), percorso_(std::move(percorso)) {}
    int fd_;
    QByteArray percorso_;
};

// "Impossibile iniziare la procedura, la lista <lista> è già in esecuzione."
QString AvvisoListaInEsecuzione(const QString &lista);
// "Impossibile iniziare la procedura, la lista <lista> non può essere bloccata: <perche>"
QString AvvisoListaNonBloccabile(const QString &lista, const QString &perche);
