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

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Ctrl+C, SIGTERM and SIGHUP (the terminal went away) reach the run as
// Interrompi, through the event loop the run keeps turning; a handler may do
// no more than write a byte: the signal's number.
int gSegnale[2] = {-1, -1};

extern "C" void SuSegnale(int numero)
{
    const char c = static_cast<char>(numero);
    [[maybe_unused]] const ssize_t scritti = ::write(gSegnale[1], &c, 1);
}

class SegnaliComeInterrompi {
public:
    explicit SegnaliComeInterrompi(std::function<void(int segnale)> interrompi)
    {
        if (::pipe2(gSegnale, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        notifier_ = std::make_unique<QSocketNotifier>(gSegnale[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [interrompi = std::move(interrompi)] {
            char c[16];
            ssize_t letti;
            int segnale = 0;
            while ((letti = ::read(gSegnale[0], c, sizeof c)) > 0)
                segnale = static_cast<unsigned char>(c[letti - 1]);
            interrompi(segnale);
        });
        struct sigaction azione {};
        azione.sa_handler = SuSegnale;
        sigemptyset(&azione.sa_mask);
        // A second signal finds the system's own action again: a run that
        // does not answer the first can still be ended from the keyboard.
        azione.sa_flags = SA_RESTART | SA_RESETHAND;
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

QString DueCifre(qint64 n)
{
    return QString::number(n).rightJustified(2, u'0');
}

QString Orologio(qint64 ms)
{
    const qint64 s = ms / 1000;
    return s >= 3600 ? QStringLiteral("%1:%2:%3").arg(s / 3600).arg(DueCifre(s / 60 % 60), DueCifre(s % 60))
                     : QStringLiteral("%1:%2").arg(DueCifre(s / 60), DueCifre(s % 60));
}

// What a failed visit is counted under: its status with the server's words,
// else the cause. A wait the server asked for is no cause of its own.
QString Causa(const RigaVisita &riga)
{
    if (riga.esito == QLatin1String("interrotto"))
        return QStringLiteral("interrotto");
    QString motivo = riga.motivo.section(QStringLiteral("; attesa di "), 0, 0).simplified();
    if (riga.stato > 0 && !motivo.contains(QString::number(riga.stato)))
        return motivo.isEmpty() ? QStringLiteral("stato %1").arg(riga.stato)
                                : QStringLiteral("%1 %2").arg(riga.stato).arg(motivo);
    return motivo.isEmpty() ? QStringLiteral("errore") : motivo;
}

class Terminale : public OsservatoreCorsa {
public:
    Terminale(std::FILE *out, std::FILE *err, qint64 richieste, qint64 giaFatte, int fermaDopo, Corsa &corsa)
        : out_(out), err_(err), avanzamento_(::isatty(::fileno(err)) == 1),
          stessoTerminale_(avanzamento_ && ::isatty(::fileno(out)) == 1), richieste_(richieste), giaFatte_(giaFatte),
          fermaDopo_(fermaDopo), corsa_(corsa)
    {
        inizio_.start();
        // A journal or a tail -f sees the lines within a quarter of a second,
        // during a long visit or pause too; a write for every line would cost
        // a fast run more than its whole log.
        scarico_.setInterval(250);
        QObject::connect(&scarico_, &QTimer::timeout, [this] { std::fflush(out_); });
        scarico_.start();
        if (avanzamento_) {
            // The clock moves during long visits and pauses too.
            orologio_.setInterval(500);
            QObject::connect(&orologio_, &QTimer::timeout, [this] { Disegna(true); });
            orologio_.start();
        }
    }
    ~Terminale() override { Cancella(); }

    void Scrivi(std::FILE *f, const QString &riga)
    {
        if (f == err_ || stessoTerminale_)
            Cancella();
        std::fputs(riga.toLocal8Bit().constData(), f);
        std::fputc('\n', f);
        if (f == err_)
            std::fflush(out_);
    }

    void RigaLog(const QString &riga) override { Scrivi(out_, riga); }
    void Stato(const QString &testo) override
    {
        // Only the server's wait is worth a terminal's attention.
        attesa_ = testo.startsWith(QLatin1String("Il server")) ? testo : QString();
    }
    void VisitaFatta(const RigaVisita &riga) override
    {
        riepilogo_.Visita(riga);
        ++fatte_;
        if (riga.esito == QLatin1String("errore") && fermaDopo_ > 0 && ++errori_ == fermaDopo_) {
            Scrivi(out_, QStringLiteral("Interrotto dopo %1 accessi non riusciti (--ferma-dopo).").arg(fermaDopo_));
            fermato_ = true;
            corsa_.Interrompi();
        }
        Disegna(false);
    }
    void Avviso(const QString &testo) override
    {
        ++avvisi_;
        Scrivi(err_, QStringLiteral("quorvi: ") + testo);
    }
    void Errore(const QString &testo) override { Scrivi(err_, QStringLiteral("quorvi: ") + testo); }
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
            Scrivi(out_, QStringLiteral("Più di 10 accessi non riusciti: senza nessuno a cui chiedere, il multi "
                                        "accesso continua (--ferma-dopo N lo ferma)."));
        }
        return false;
    }
    void Pausa(const QString &) override {}
    // Written where the window's goes, never opened: nobody is there to read it.
    Resoconto ChiediResoconto(bool) override { return Resoconto::Scrivi; }
    void Fine(const EsitoCorsa &esito) override
    {
        std::fflush(out_);
        scarico_.stop();
        orologio_.stop();
        Cancella();
        riepilogo_.Saltate(esito.saltati);
    }

    const Riepilogo &Riassunto() const { return riepilogo_; }
    qint64 Trascorso() const { return inizio_.elapsed(); }
    bool Fermato() const { return fermato_; }
    int Avvisi() const { return avvisi_; }

private:
    void Cancella()
    {
        if (disegnata_) {
            std::fputs("\r\033[K", err_);
            std::fflush(err_);
            disegnata_ = false;
        }
    }
    void Disegna(bool sempre)
    {
        if (!avanzamento_ || (!sempre && ultimo_.isValid() && ultimo_.elapsed() < 100))
            return;
        ultimo_.start();
        const qint64 fatte = giaFatte_ + fatte_;
        const qint64 trascorso = inizio_.elapsed();
        QString riga = QStringLiteral("%1/%2 %3%  trascorso %4")
                           .arg(fatte)
                           .arg(richieste_)
                           .arg(richieste_ > 0 ? fatte * 100 / richieste_ : 100)
                           .arg(Orologio(trascorso));
        if (fatte_ > 0 && fatte < richieste_)
            riga += QStringLiteral("  ancora circa %1").arg(Orologio(trascorso * (richieste_ - fatte) / fatte_));
        if (!attesa_.isEmpty())
            riga += QStringLiteral("  ") + attesa_;
        std::fputs(("\r" + riga + "\033[K").toLocal8Bit().constData(), err_);
        std::fflush(err_);
        disegnata_ = true;
    }

    std::FILE *out_;
    std::FILE *err_;
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
    qint64 fatte_ = 0;
    int errori_ = 0;
    int avvisi_ = 0;
    bool fermato_ = false;
    bool dettoFallimenti_ = false;
    bool disegnata_ = false;
};

QtMessageHandler gGestorePrecedente = nullptr;

void FiltraMessaggi(QtMsgType tipo, const QMessageLogContext &contesto, const QString &testo)
{
    static const char *const kNoteDiAvvio[] = {
        "QStandardPaths: XDG_RUNTIME_DIR not set",
        "WebEngineContext used before QtWebEngineCore::initialize() or OpenGL context creation failed",
    };
    for (const char *nota : kNoteDiAvvio)
        if (testo.startsWith(QLatin1String(nota)))
            return;
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

void Riepilogo::Visita(const RigaVisita &riga)
{
    if (riga.esito == QLatin1String("fatto")) {
        ++fatti_;
    } else {
        ++falliti_;
        const QString causa = Causa(riga);
        const qsizetype k = cause_.indexOf(causa);
        if (k < 0) {
            cause_ << causa;
            perCausa_.push_back(1);
        } else {
            ++perCausa_[std::size_t(k)];
        }
    }
    byte_ += riga.byte.value_or(0);
    durate_.push_back(riga.durataMs);
}

QString DurataLeggibile(qint64 ms)
{
    if (ms < 60000)
        return QString::number(double(ms) / 1000, 'f', 1).replace(u'.', u',') + QStringLiteral(" s");
    const qint64 s = ms / 1000;
    if (s < 3600)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(DueCifre(s % 60));
    return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(DueCifre(s / 60 % 60));
}

QStringList Riepilogo::Righe(qint64 richieste, qint64 trascorsoMs) const
{
    QStringList righe{QStringLiteral("Riepilogo:"), QStringLiteral("  accessi richiesti: %1").arg(richieste)};
    if (saltate_ > 0)
        righe << QStringLiteral("  già fatti prima della ripresa: %1").arg(saltate_);
    righe << QStringLiteral("  fatti: %1").arg(fatti_) << QStringLiteral("  non riusciti: %1").arg(falliti_);
    for (std::size_t k = 0; k < perCausa_.size(); ++k)
        righe << QStringLiteral("    %1: %2").arg(cause_[qsizetype(k)]).arg(perCausa_[k]);
    const qint64 nonFatti = richieste - saltate_ - fatti_ - falliti_;
    if (nonFatti > 0)
        righe << QStringLiteral("  non eseguiti: %1").arg(nonFatti);
    righe << QStringLiteral("  byte ricevuti: %1").arg(byte_);
    if (!durate_.empty()) {
        std::vector<qint64> d = durate_;
        std::sort(d.begin(), d.end());
        const std::size_t n = d.size();
        const qint64 mediana = n % 2 ? d[n / 2] : (d[n / 2 - 1] + d[n / 2]) / 2;
        // Nearest rank: the smallest duration that 95 visits in 100 did not exceed.
        const qint64 p95 = d[(95 * n + 99) / 100 - 1];
        righe << QStringLiteral("  durata degli accessi: minima %1 ms, mediana %2 ms, 95° percentile %3 ms, "
                                "massima %4 ms")
                     .arg(d.front())
                     .arg(mediana)
                     .arg(p95)
                     .arg(d.back());
    }
    righe << QStringLiteral("  tempo trascorso: %1").arg(DurataLeggibile(trascorsoMs));
    return righe;
}

int EseguiSenzaFinestra(const OpzioniEsecuzione &opzioni, std::FILE *out, std::FILE *err)
{
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
    } else {
        return Rifiuta(err, QStringLiteral("lista non trovata: %1").arg(lista));
    }
    if (percorso.isEmpty())
        percorso = DataFilePath(nome);

    PartenzaCorsa partenza;
    partenza.lista = nome;
    try {
        partenza.voci = ReadTextLines(percorso);
    } catch (const Exception &e) {
        return Rifiuta(err, e.Message());
    }
    if (!ListaValida(partenza.voci))
        return Rifiuta(err, AvvisoListaNonValida(NomeLista(nome)));

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
    for (const QString &voce : partenza.voci)
        richieste += VolteVoce(voce).value_or(0);
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
    Terminale terminale(out, err, richieste, giaFatte, opzioni.fermaDopo, corsa);
    corsa.ImpostaOsservatore(&terminale);
    if (!nessunaRipresa.isEmpty())
        terminale.Scrivi(out, nessunaRipresa);
    if (!partenza.id.isEmpty())
        terminale.Scrivi(out, QStringLiteral("Ripresa del multi accesso %1: %2 accessi su %3 già fatti.")
                                  .arg(partenza.id)
                                  .arg(giaFatte)
                                  .arg(richieste));
    int segnale = 0;
    {
        SegnaliComeInterrompi segnali([&](int numero) {
            segnale = numero;
            corsa.Interrompi();
        });
        corsa.Esegui(partenza);
    }
    // The lock goes once the run's end is in the store.
    preparazione.blocco.reset();
    corsa.ImpostaOsservatore(nullptr);
    for (const QString &riga : terminale.Riassunto().Righe(richieste, terminale.Trascorso()))
        terminale.Scrivi(out, riga);
    for (const QString &file : corsa.NonScritti())
        terminale.Scrivi(err, QStringLiteral("quorvi: file non scritto: %1").arg(file));
    std::fflush(out);
    if (segnale == SIGHUP)
        return uscita::Sighup;
    if (segnale)
        return uscita::Interrotto;
    if (!corsa.NonScritti().isEmpty())
        return uscita::NonScritto;
    if (terminale.Fermato() || terminale.Riassunto().Falliti() > 0 || terminale.Avvisi() > 0)
        return uscita::Falliti;
    return uscita::Fatto;
}
