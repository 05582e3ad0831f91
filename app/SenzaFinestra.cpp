#include "app/SenzaFinestra.h"

#include "app/CodiciUscita.h"
#include "app/Corsa.h"
#include "app/RegistroCorse.h"
#include "lists/SiteList.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/web/WebBrowser.h"
#include "settings/SettingsFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Ctrl+C, SIGTERM and SIGHUP (the terminal went away) reach the run as
// Interrompi, through the event loop the run keeps turning; a handler may do
// no more than write a byte: the signal's number.
int gSegnale[2] = {-1, -1};
volatile std::sig_atomic_t gSegnaliRicevuti = 0;

extern "C" void SuSegnale(int n)
{
    // A second SIGINT or SIGTERM to a run that has not ended after the first:
    // whatever holds it up, the user wants it gone. The system's own action
    // ends the program at once.
    if (gSegnaliRicevuti != 0) {
        struct sigaction predefinita {};
        predefinita.sa_handler = SIG_DFL;
        sigemptyset(&predefinita.sa_mask);
        ::sigaction(n, &predefinita, nullptr);
        ::raise(n);
        return;
    }
    gSegnaliRicevuti = 1;
    const char c = char(n);
    [[maybe_unused]] const ssize_t scritti = ::write(gSegnale[1], &c, 1);
}

class SegnaliComeInterrompi {
public:
    explicit SegnaliComeInterrompi(std::function<void(int segnale)> interrompi)
    {
        if (::pipe2(gSegnale, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        gSegnaliRicevuti = 0;
        notifier_ = std::make_unique<QSocketNotifier>(gSegnale[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [interrompi = std::move(interrompi)] {
            char c[16];
            ssize_t letti = 0;
            int segnale = 0;
            while ((letti = ::read(gSegnale[0], c, sizeof c)) > 0)
                if (segnale == 0)
                    segnale = static_cast<unsigned char>(c[0]);
            if (segnale != 0)
                interrompi(segnale);
        });
        struct sigaction azione {};
        azione.sa_handler = SuSegnale;
        sigemptyset(&azione.sa_mask);
        azione.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &azione, &primaInt_);
        ::sigaction(SIGTERM, &azione, &primaTerm_);
        ::sigaction(SIGHUP, &azione, &primaHup_);
    }
    ~SegnaliComeInterrompi()
    {
        if (gSegnale[0] < 0)
            return;
        ::sigaction(SIGINT, &primaInt_, nullptr);
        ::sigaction(SIGTERM, &primaTerm_, nullptr);
        ::sigaction(SIGHUP, &primaHup_, nullptr);
        notifier_.reset();
        ::close(gSegnale[0]);
        ::close(gSegnale[1]);
        gSegnale[0] = gSegnale[1] = -1;
    }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction primaInt_ {};
    struct sigaction primaTerm_ {};
    struct sigaction primaHup_ {};
};

enum class Formato { Righe, Json };

// A pipe's reader may be a terminal too (| tee, | less): a progress line
// drawn on standard error would land between its lines, where it cannot be
// erased. A file, /dev/null or the terminal itself take none of it.
bool UscitaInUnTubo(std::FILE *f)
{
    struct stat st {};
    return ::fstat(::fileno(f), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

int ColonneTerminale(std::FILE *f)
{
    struct winsize w {};
    // A pseudo-terminal nobody sized (script without a terminal) says 0.
    return ::ioctl(::fileno(f), TIOCGWINSZ, &w) == 0 && w.ws_col > 0 ? w.ws_col : 80;
}

class Terminale;
Terminale *gTerminale = nullptr;

class Terminale : public OsservatoreCorsa {
public:
    struct Forma {
        Formato formato = Formato::Righe;
        bool silenzioso = false; // only the failed visits
        int larghezzaIndirizzo = 0;
        int cifre = 1;
    };
    Terminale(std::FILE *out, std::FILE *err, const Forma &forma, qint64 richieste, qint64 giaFatte, int fermaDopo,
              Corsa &corsa)
        : out_(out), err_(err), forma_(forma), avanzamento_(::isatty(::fileno(err)) == 1 && !UscitaInUnTubo(out)),
          stessoTerminale_(avanzamento_ && ::isatty(::fileno(out)) == 1), richieste_(richieste), giaFatte_(giaFatte),
          fermaDopo_(fermaDopo), corsa_(corsa)
    {
        gTerminale = this;
        inizio_.start();
        // A journal or a tail -f sees the lines within a quarter of a second,
        // during a long visit or pause too; a write for every line would cost
        // a fast run more than its whole log.
        scarico_.setInterval(250);
        QObject::connect(&scarico_, &QTimer::timeout, [this] { Scarica(); });
        scarico_.start();
        if (avanzamento_) {
            // The clock moves during long visits and pauses too.
            orologio_.setInterval(500);
            QObject::connect(&orologio_, &QTimer::timeout, [this] { Disegna(true); });
            orologio_.start();
        }
    }
    ~Terminale() override
    {
        Cancella();
        gTerminale = nullptr;
    }

    // A line for standard output; once that has failed, nothing more goes there.
    void Stampa(const QByteArray &riga)
    {
        if (guasto_)
            return;
        if (stessoTerminale_)
            Cancella();
        if (std::fwrite(riga.constData(), 1, std::size_t(riga.size()), out_) != std::size_t(riga.size()) ||
            std::fputc('\n', out_) == EOF)
            Guasto(errno);
    }
    void Stampa(const QString &riga) { Stampa(riga.toLocal8Bit()); }
    void Scarica()
    {
        if (!guasto_ && std::fflush(out_) != 0)
            Guasto(errno);
    }
    // A line for standard error, where the user hears of what needs a hand.
    void Segnala(const QString &testo)
    {
        Cancella();
        Scarica();
        std::fputs((QStringLiteral("quorvi: ") + testo + u'\n').toLocal8Bit().constData(), err_);
        std::fflush(err_);
    }

    void RigaLog(const QString &) override {} // the log file keeps them
    void Stato(const QString &testo) override
    {
        // Only the server's wait is worth a terminal's attention.
        attesa_ = testo.startsWith(QLatin1String("Il server")) ? testo : QString();
    }
    void InizioVoce(const QString &sito, const QString &, qint64) override
    {
        indirizzo_ = IndirizzoInBreve(IndirizzoVisita(sito));
    }
    void VisitaFatta(const RigaVisita &riga) override
    {
        riepilogo_.Visita(riga);
        ++fatte_;
        const bool fallita = riga.esito != QLatin1String("fatto");
        if (fallita || !forma_.silenzioso)
            Stampa(forma_.formato == Formato::Json
                       ? JsonVisita(riga)
                       : RigaTerminale(riga, forma_.larghezzaIndirizzo, forma_.cifre).toLocal8Bit());
        if (riga.esito == QLatin1String("errore") && fermaDopo_ > 0 && ++errori_ == fermaDopo_) {
            fermato_ = true;
            corsa_.Interrompi();
        }
        Disegna(false);
    }
    void Avviso(const QString &testo) override
    {
        ++avvisi_;
        Segnala(testo);
    }
    void Errore(const QString &testo) override { Segnala(testo); }
    void ErroreImprevisto(std::exception_ptr errore) override
    {
        try {
            std::rethrow_exception(errore);
        } catch (const Exception &e) {
            Errore(e.Message());
        } catch (const std::exception &e) {
            Errore(QString::fromUtf8(e.what()));
        } catch (...) {
            Errore(QStringLiteral("errore sconosciuto"));
        }
    }
    bool TroppiFallimenti(const QString &) override
    {
        if (!dettoFallimenti_) {
            dettoFallimenti_ = true;
            if (forma_.formato == Formato::Righe && !forma_.silenzioso)
                Stampa(QStringLiteral("Più di 10 accessi non riusciti: senza nessuno a cui chiedere, il multi "
                                      "accesso continua (--ferma-dopo N lo ferma)."));
        }
        return false;
    }
    void Pausa(const QString &) override {}
    // Written where the window's goes, never opened: nobody is there to read it.
    Resoconto ChiediResoconto(bool) override { return Resoconto::Scrivi; }
    void Fine(const EsitoCorsa &esito) override
    {
        Scarica();
        scarico_.stop();
        orologio_.stop();
        Cancella();
        riepilogo_.GiaFatte(esito.saltati);
    }

    Riepilogo &Riassunto() { return riepilogo_; }
    qint64 Trascorso() const { return inizio_.elapsed(); }
    bool Fermato() const { return fermato_; }
    std::optional<FineCorsa> GuastoUscita() const { return guasto_; }
    int Avvisi() const { return avvisi_; }
    const Forma &Forme() const { return forma_; }

    void Cancella()
    {
        if (disegnata_) {
            std::fputs("\r\033[K", err_);
            std::fflush(err_);
            disegnata_ = false;
        }
    }

private:
    // Standard output refused a line: closed by its reader or full. The run
    // must not die of it (its record and log matter more than its lines)
    // nor go on unseen: it ends as if interrupted.
    void Guasto(int errore)
    {
        guasto_ = errore == EPIPE ? FineCorsa::UscitaChiusa : FineCorsa::UscitaNonScritta;
        Segnala(QStringLiteral("impossibile scrivere sullo standard output (%1): multi accesso interrotto; il log e "
                               "il registro delle visite restano nella cartella dei dati.")
                    .arg(QString::fromLocal8Bit(std::strerror(errore))));
        if (corsa_.InCorso())
            corsa_.Interrompi();
    }
    void Disegna(bool sempre)
    {
        if (!avanzamento_ || (!sempre && ultimo_.isValid() && ultimo_.elapsed() < 100))
            return;
        ultimo_.start();
        const qint64 fatte = giaFatte_ + fatte_;
        const qint64 trascorso = inizio_.elapsed();
        const qint64 resta = fatte_ > 0 && fatte < richieste_ ? trascorso * (richieste_ - fatte) / fatte_ : -1;
        const QString riga = RigaAvanzamento(fatte, richieste_, trascorso, resta,
                                             attesa_.isEmpty() ? indirizzo_ : attesa_, ColonneTerminale(err_));
        std::fputs(("\r" + riga + "\033[K").toLocal8Bit().constData(), err_);
        std::fflush(err_);
        disegnata_ = true;
    }

    std::FILE *out_;
    std::FILE *err_;
    const Forma forma_;
    const bool avanzamento_;
    const bool stessoTerminale_;
    const qint64 richieste_;
    const qint64 giaFatte_;
    const int fermaDopo_;
    Corsa &corsa_;
    Riepilogo riepilogo_;
    QElapsedTimer inizio_;
    QElapsedTimer ultimo_;
    QTimer orologio_;
    QTimer scarico_;
    QString attesa_;
    QString indirizzo_;
    qint64 fatte_ = 0;
    int errori_ = 0;
    int avvisi_ = 0;
    bool fermato_ = false;
    bool dettoFallimenti_ = false;
    bool disegnata_ = false;
    std::optional<FineCorsa> guasto_;
};

QtMessageHandler gGestorePrecedente = nullptr;

void FiltraMessaggi(QtMsgType tipo, const QMessageLogContext &contesto, const QString &testo)
{
    static const char *const kNoteDiAvvio[] = {
        "QStandardPaths: XDG_RUNTIME_DIR not set",
        "WebEngineContext used before QtWebEngineCore::initialize() or OpenGL context creation failed",
        // The engine's own sandbox cannot run as root, and the program turns it
        // off there: said at every graphic run, nothing for the user to do.
        "Sandboxing disabled by user.",
    };
    for (const char *nota : kNoteDiAvvio)
        if (testo.startsWith(QLatin1String(nota)))
            return;
    if (gTerminale)
        gTerminale->Cancella();
    if (gGestorePrecedente)
        gGestorePrecedente(tipo, contesto, testo);
}

int Rifiuta(std::FILE *err, const QString &perche)
{
    std::fputs((QStringLiteral("quorvi: ") + perche + u'\n').toLocal8Bit().constData(), err);
    return uscita::Uso;
}
} // namespace

void PreparaMessaggiSenzaFinestra()
{
    // The engine's description of its own set-up, a screenful at every start.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.debug=false\nqt.webenginecontext.info=false"));
    gGestorePrecedente = qInstallMessageHandler(FiltraMessaggi);
}

int EseguiSenzaFinestra(const OpzioniEsecuzione &opzioni, std::FILE *out, std::FILE *err)
{
    // A reader that goes away (| head -1) must not kill the run with SIGPIPE:
    // the write fails instead, and the run ends with its record and log.
    std::signal(SIGPIPE, SIG_IGN);
    if (const QString problema = DataFolderProblem(); !problema.isEmpty())
        return Rifiuta(err, problema);

    // The list: a name the main window would list, with or without its
    // extension, else a path.
    QString nome, percorso;
    const QString &lista = opzioni.lista;
    if (!lista.contains(u'/') && QFileInfo(DataFilePath(lista)).isFile()) {
        nome = lista;
    } else if (!lista.contains(u'/') && QFileInfo(DataFilePath(lista + QStringLiteral(".tvx"))).isFile()) {
        nome = lista + QStringLiteral(".tvx");
    } else if (QFileInfo(lista).isFile()) {
        nome = QFileInfo(lista).fileName();
        percorso = lista;
    } else if (lista.contains(u'/')) {
        return Rifiuta(err, QStringLiteral("lista non trovata: %1 (nessun file con questo percorso)").arg(lista));
    } else {
        return Rifiuta(err, QStringLiteral("lista non trovata: %1 (cercata come %1 e %1.tvx in %2, e come %1 in %3)")
                                .arg(lista, QDir::toNativeSeparators(DataFolder()),
                                     QDir::toNativeSeparators(QDir::currentPath() + u'/')));
    }
    if (percorso.isEmpty())
        percorso = DataFilePath(nome);

    PartenzaCorsa partenza;
    partenza.lista = nome;
    try {
        partenza.voci = LeggiFileLista(percorso);
    } catch (const Exception &e) {
        return Rifiuta(err, e.Message());
    }
    if (!ListaValida(partenza.voci)) {
        // The window's words, with the list named whole and where it went wrong.
        int tutte = 0;
        const std::vector<RigaNonValida> righe = RigheNonValide(partenza.voci, 5, &tutte);
        QString perche = AvvisoListaNonValida(percorso);
        for (const RigaNonValida &r : righe)
            perche += QStringLiteral("\nquorvi:   riga %1: %2").arg(r.numero).arg(r.motivo);
        if (tutte > int(righe.size()))
            perche += QStringLiteral("\nquorvi:   e altre %1 righe").arg(tutte - int(righe.size()));
        perche += QStringLiteral("\nquorvi: ogni riga è \"Sito=INDIRIZZO Num=ACCESSI\" (man quorvi, LISTA)");
        return Rifiuta(err, perche);
    }

    // The saved settings, read as they are: a run from a timer repairs nothing.
    Impostazioni impostazioni;
    if (FileExists(SettingsFilePath())) {
        try {
            impostazioni = ParseSettingsLines(SettingsLinesFromBytes(ReadWholeFile(SettingsFilePath())));
        } catch (const Exception &e) {
            return Rifiuta(err,
                           QStringLiteral("impostazioni illeggibili (%1): %2").arg(SettingsFilePath(), e.Message()));
        }
    }
    if (opzioni.grafica)
        impostazioni.modalitaGrafica = *opzioni.grafica;
    if (opzioni.proxy)
        impostazioni.proxy = *opzioni.proxy;
    if (opzioni.banda)
        impostazioni.banda = *opzioni.banda;
    if (opzioni.senzaTimeout)
        impostazioni.timerOut = false;

    PreparazioneCorsa preparazione = PreparaCorsa(percorso, nome, partenza.voci);
    if (preparazione.rifiutata) {
        Rifiuta(err, preparazione.rifiuto);
        // Busy is an overlap a timer may meet; no lock at all needs a person.
        return *preparazione.rifiutata == BloccoLista::Esito::Occupato ? uscita::GiaInCorso : uscita::NonScritto;
    }
    partenza.archivio = preparazione.archivio;
    partenza.identita = preparazione.identita;

    qint64 richieste = 0;
    Terminale::Forma forma;
    forma.formato = opzioni.json ? Formato::Json : Formato::Righe;
    forma.silenzioso = opzioni.silenzioso;
    std::vector<VoceSaltata> saltate;
    int volteMassime = 0;
    for (qsizetype i = 0; i < partenza.voci.size(); ++i) {
        const QString &voce = partenza.voci[i];
        if (const std::optional<int> volte = VolteVoce(voce)) {
            richieste += *volte;
            volteMassime = qMax(volteMassime, *volte);
            // Addresses padded to the longest, up to a point: a long one
            // pushes its own line, not every line.
            forma.larghezzaIndirizzo =
                qMax(forma.larghezzaIndirizzo,
                     qMin<int>(32, int(IndirizzoInBreve(IndirizzoVisita(DividiVoce(voce).sito)).size())));
        } else {
            saltate.push_back({int(i + 1), DifettoVoce(voce)});
        }
    }
    forma.cifre = int(QString::number(volteMassime).size());
    qint64 giaFatte = 0;
    QString nessunaRipresa;
    if (opzioni.riprendi) {
        if (preparazione.ripresa) {
            partenza.id = preparazione.ripresa->id;
            partenza.giaFatte = preparazione.ripresa->fatte;
            giaFatte = preparazione.ripresa->accessiFatti;
        } else {
            nessunaRipresa = !preparazione.nonRiprendibile.isEmpty()
                                 ? preparazione.nonRiprendibile
                                 : QStringLiteral("Nessun multi accesso della lista %1 da riprendere: si comincia "
                                                  "da capo.")
                                       .arg(nome);
        }
    }

    SetBrowserProxySource([impostazioni] { return impostazioni.proxy; });
    Corsa corsa(std::make_unique<WebBrowser>(), [impostazioni] { return impostazioni; });
    Terminale terminale(out, err, forma, richieste, giaFatte, opzioni.fermaDopo, corsa);
    terminale.Riassunto().VociSaltate(saltate);
    corsa.ImpostaOsservatore(&terminale);
    // What resuming found goes where warnings go: standard output holds the visits.
    if (!nessunaRipresa.isEmpty())
        terminale.Segnala(nessunaRipresa);
    if (giaFatte > 0 && forma.formato == Formato::Righe && !forma.silenzioso)
        terminale.Stampa(QStringLiteral("Ripresa del multi accesso %1: %2 accessi su %3 già fatti.")
                             .arg(partenza.id)
                             .arg(giaFatte)
                             .arg(richieste));
    int segnale = 0;
    {
        SegnaliComeInterrompi segnali([&](int n) {
            segnale = n;
            corsa.Interrompi();
        });
        corsa.Esegui(partenza);
    }
    // The lock goes once the run's end is in the store.
    preparazione.blocco.reset();
    corsa.ImpostaOsservatore(nullptr);

    ContestoRiepilogo contesto;
    contesto.lista = nome;
    contesto.corsa = corsa.Id();
    contesto.grafica = impostazioni.modalitaGrafica;
    contesto.richieste = richieste;
    contesto.trascorsoMs = terminale.Trascorso();
    contesto.fermaDopo = opzioni.fermaDopo;
    if (segnale != 0) {
        contesto.fine = FineCorsa::Interrotta;
        contesto.segnale = segnale == SIGTERM  ? QStringLiteral("SIGTERM")
                           : segnale == SIGHUP ? QStringLiteral("SIGHUP")
                                               : QStringLiteral("SIGINT");
    } else if (terminale.GuastoUscita()) {
        contesto.fine = *terminale.GuastoUscita();
    } else if (terminale.Fermato()) {
        contesto.fine = FineCorsa::Fermata;
    }
    const Riepilogo &riepilogo = terminale.Riassunto();
    contesto.statoUscita = StatoUscita(contesto.fine, riepilogo.Falliti(), riepilogo.Saltate(), terminale.Avvisi());
    if (segnale == SIGHUP)
        contesto.statoUscita = uscita::Sighup;
    else if (!corsa.NonScritti().isEmpty() && contesto.fine != FineCorsa::Interrotta)
        contesto.statoUscita = uscita::NonScritto;
    if (forma.formato == Formato::Json) {
        terminale.Stampa(riepilogo.Json(contesto));
    } else {
        for (const QString &riga : riepilogo.Righe(contesto))
            terminale.Stampa(riga);
    }
    terminale.Scarica();
    for (const QString &file : corsa.NonScritti())
        terminale.Segnala(QStringLiteral("file non scritto: %1").arg(file));
    // Standard output that failed as the summary was written fails the run too.
    if (const std::optional<FineCorsa> guasto = terminale.GuastoUscita();
        guasto && contesto.fine != FineCorsa::Interrotta)
        return StatoUscita(*guasto, 0, 0, 0);
    return contesto.statoUscita;
}
