#pragma once

#include "app/ArchivioCorse.h"
#include "app/RegistroVisite.h"
#include "platform/ui/BrowserControl.h"
#include "settings/SettingsFile.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class QTimer;
class THttpCli;
class TMemoryStream;

// What becomes of the log at the end of a run.
enum class Resoconto {
    Nessuno,    // not written
    Scrivi,     // LogQuorvi.txt written
    ScriviEApri // written, then opened with its default application
};

struct EsitoCorsa {
    bool interrotto = false;
    qint64 saltati = 0; // visits of a resumed run found in the store and not made again
};

// Whoever shows a run: the main window, the terminal, a test. The run tells it
// what happens and asks it what only a person can answer; it never looks at
// how any of it is shown. Calls come on the run's thread, in the run's order.
class OsservatoreCorsa {
public:
    virtual ~OsservatoreCorsa() = default;
    // A line added to the run's log.
    virtual void RigaLog(const QString &riga) = 0;
    // The log was emptied: at the start of a run and before its last words.
    virtual void LogSvuotato() {}
    virtual void Stato(const QString &testo) = 0;
    // An entry starts: its site, its count as written, its number of visits.
    virtual void InizioVoce(const QString & /*sito*/, const QString & /*volte*/, qint64 /*accessi*/) {}
    // Visits of the current entry behind us (those a resumed run skips count too).
    virtual void Avanzamento(qint64 /*fatti*/) {}
    // The entry in hand is over.
    virtual void FineVoce() {}
    // A text visit's page: nullptr as the visit starts (the last page is no
    // longer the last), the body when the visit went well.
    virtual void PaginaRicevuta(const TMemoryStream * /*pagina*/) {}
    // A visit ended; its row, as the record got it.
    virtual void VisitaFatta(const RigaVisita & /*riga*/) {}
    virtual void Avviso(const QString &testo) = 0;
    virtual void Errore(const QString &testo) = 0;
    // A failure nobody expected, from a handler of the run's own timer.
    virtual void ErroreImprevisto(std::exception_ptr errore) = 0;
    // The question after ten failures; true ends the run after the visit in hand.
    virtual bool TroppiFallimenti(const QString &domanda) = 0;
    // The pause message; the run goes on when it returns.
    virtual void Pausa(const QString &messaggio) = 0;
    // Every visit is behind us; the run's last words and questions follow.
    virtual void VisiteFinite() {}
    virtual Resoconto ChiediResoconto(bool interrotto) = 0;
    virtual void ApriLog(const QString & /*percorso*/) {}
    // The run has ended; nothing of it is under way any more.
    virtual void Fine(const EsitoCorsa & /*esito*/) {}
};

// One run as it is started.
struct PartenzaCorsa {
    QString lista;    // the list file's name, as the record and the lock know it
    QStringList voci; // its lines
    // What the log's first line quotes: the count of the entry last clicked.
    QString volteIniziali = QStringLiteral("1");
    // The store of runs, and the list as it knows it; without a store the
    // run keeps no memory (tests of the run alone).
    std::shared_ptr<ArchivioCorse> archivio;
    IdentitaLista identita;
    // The run this one continues, and the visits of it the store holds;
    // empty for a fresh run.
    QString id;
    FatteDellaCorsa giaFatte;
};

// The multi-access run: the visits of a list one after the other, the
// bandwidth pause and the server's own, the time-out, the failure count and
// its question, the log and the visit record. It lives as long as its front
// end, so a pause asked for during one run is honoured in the next.
class Corsa {
public:
    // impostazioni is read afresh before every visit: a change made meanwhile
    // counts from the next visit.
    Corsa(std::unique_ptr<BrowserControl> browser, std::function<Impostazioni()> impostazioni);
    ~Corsa();
    Corsa(const Corsa &) = delete;
    Corsa &operator=(const Corsa &) = delete;

    void ImpostaOsservatore(OsservatoreCorsa *osservatore) { osservatore_ = osservatore; }

    // Performs a whole run; returns when it has ended.
    void Esegui(const PartenzaCorsa &partenza);
    // Ends the run: the visit in hand stops, no other starts.
    void Interrompi();
    // The files the last run could not write (the visit record, the log,
    // the store), each named once.
    const QStringList &NonScritti() const { return nonScritti_; }
    void ChiediPausa() { PausaRichiesta = true; }
    void TimerOutTimer();
    void DocumentoCompleto(const QString &url);

    bool InCorso() const { return inCorso_; }
    // The run in hand, or the last one.
    QString Id() const { return id_; }
    const QStringList &RigheLog() const { return righeLog_; }
    BrowserControl *Browser() const { return browser_.get(); }

    bool Interrotto = false;
    bool PausaRichiesta = false;
    bool PaginaCaricata = false;
    std::int32_t AccessiFalliti = 0;
    QTimer *TimerOut = nullptr;
    std::unique_ptr<THttpCli> HttpCli1;

    // A hook for tests: called right before each visit, with the address.
    std::function<void(const QString &url)> PrimaDellaVisita;
    // A hook for tests: how long a wait of the run really lasts, given the
    // milliseconds it was asked for (the 10 s and 5 s bandwidth pauses).
    std::function<std::uint32_t(std::uint32_t ms)> DurataAttesa;

private:
    void Accesso(qint64 i);
    // The visits of the entry in hand, less those the resumed run made.
    void AccessiVoce(int voce, qint64 volte);
    void NonScritto(const QString &percorso);
    void AccessoGrafico(const QString &url);
    // Ends the stay of the last graphic visit's page and waits until it has
    // closed. False when Interrompi came meanwhile.
    bool ChiudiPagina();
    void AccessoTesto(const QString &url);
    void FineMultiAccesso();
    void AggiungiLog(const QString &riga);
    void PulisciLog();
    void MostraStato(const QString &testo);
    void MostraPausa();
    // Waits ms milliseconds with the program alive: Pausa showing its message
    // at once, Interrompi ending the wait. ogniSecondo gets the milliseconds
    // still to wait, about once a second. False when interrupted.
    bool AttesaViva(std::uint32_t ms, const std::function<void(std::uint32_t restano)> &ogniSecondo = {});
    // The wait a server asked for (429 or 503), counting down in the status. False when interrupted.
    bool AttesaServer(qint64 ms);
    // After a text visit: how long the server asked us to wait, noted in the
    // visit's reason and kept for the next visit.
    void CortesiaVersoServer();
    void RegistraVisita();

    std::unique_ptr<BrowserControl> browser_;
    std::function<Impostazioni()> impostazioni_;
    std::unique_ptr<QTimer> timerOut_;
    OsservatoreCorsa *osservatore_ = nullptr;
    QStringList righeLog_;
    QString stato_;
    bool inCorso_ = false;
    bool attesaPagina_ = false;
    bool chiusuraPagina_ = false;
    QDeadlineTimer fineSoggiorno_{QDeadlineTimer::Forever}; // where the last visit's time-out would fall
    bool timeoutScattato_ = false;
    QString id_;
    QString lista_;
    QString sito_;
    QString volte_; // the current entry's count, as written
    qint64 volteVoce_ = 0;
    qint64 fatti_ = 0; // visits of the current entry behind us
    int voce_ = 0;     // the entry in hand, by its line
    FatteDellaCorsa giaFatte_;
    qint64 saltati_ = 0;
    std::shared_ptr<ArchivioCorse> archivio_;
    QStringList nonScritti_;
    // The visit record of the run in hand, and what goes into its next row.
    std::unique_ptr<RegistroVisite> registro_;
    RigaVisita visita_;
    QString erroreRegistro_; // the first row that could not be written, reported at the end
    int righeNonScritte_ = 0;
    std::optional<QDeadlineTimer> attesaServer_; // the moment a server let us come back
};
