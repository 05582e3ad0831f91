#pragma once

#include <QString>
#include <memory>

// One run per list at a time, across every window, terminal and timer of the
// user: a lock on a small file of the data folder, held while the run goes
// on. The system drops it with the process, however the process ends, so a
// killed run never leaves its list locked.
class BloccoLista {
public:
    // The hold on the list, or nullptr when another run has it.
    static std::unique_ptr<BloccoLista> Prendi(const QString &lista);
    ~BloccoLista();
    BloccoLista(const BloccoLista &) = delete;
    BloccoLista &operator=(const BloccoLista &) = delete;

private:
    explicit BloccoLista(int fd) : fd_(fd) {}
    int fd_;
};

// "Impossibile iniziare la procedura, la lista <lista> è già in esecuzione."
QString AvvisoListaInEsecuzione(const QString &lista);
