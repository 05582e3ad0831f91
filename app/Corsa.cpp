#include "app/Corsa.h"

#include "app/RegistroCorse.h"
#include "app/Resoconto.h"
#include "lists/SiteList.h"
#include "net/HttpCause.h"
#include "net/HttpProt.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/NotifyWindow.h"
#include "platform/Paths.h"
#include "platform/TextCodec.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>

namespace {
// A server may ask for hours. A run that sits still that long looks hung and
// holds the user's machine for nothing; ten minutes is polite enough, and the
// user can always start the list again later.
constexpr qint64 kAttesaServerMassimaMs = 10 * 60 * 1000;
// A 429 without Retry-After: as long as the "Min" bandwidth pause.
constexpr qint64 kAttesa429Ms = 10000;
// A graphic visit answered 429 or 503: the engine shows no headers, so how
// long the server asked for is unknown; a minute is what servers commonly ask.
constexpr qint64 kAttesaGraficaMs = 60000;

// The text of the failure being handled; called inside a catch block.
QString TestoErroreCorrente()
{
    try {
        throw;
    } catch (const Exception &e) {
        return e.Message();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("errore sconosciuto");
    }
}
// An entry as a message quotes it. A list file may hold a line of megabytes,
// which no message box can show; the start tells the user which entry it is.
QString VoceInBreve(const QString &riga)
{
    constexpr qsizetype kMassimo = 200;
    return riga.size() <= kMassimo ? riga : riga.left(kMassimo) + QStringLiteral("...");
}
} // namespace

Corsa::Corsa(std::unique_ptr<BrowserControl> browser, std::function<Impostazioni()> impostazioni)
    : browser_(std::move(browser)), impostazioni_(std::move(impostazioni)), timerOut_(std::make_unique<QTimer>())
{
    if (!impostazioni_)
        impostazioni_ = [] { return Impostazioni{}; };
    TimerOut = timerOut_.get();
    TimerOut->setObjectName(QStringLiteral("TimerOut"));
    TimerOut->setInterval(30000);
    QObject::connect(TimerOut, &QTimer::timeout, [this] {
        try {
            TimerOutTimer();
        } catch (...) {
            if (osservatore_)
                osservatore_->ErroreImprevisto(std::current_exception());
        }
    });

    HttpCli1 = std::make_unique<THttpCli>();
    HttpCli1->SetAgent("Mozilla/3.0 (compatible)");
    HttpCli1->SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    HttpCli1->SetProxyPort("80");
    HttpCli1->SetNoCache(false);
    HttpCli1->SetLocalAddr("0.0.0.0");
    HttpCli1->SetMultiThreaded(false);
    HttpCli1->SetSocksLevel("5");
    HttpCli1->SetSocksAuthentication(socksNoAuthentication);
    HttpCli1->SetContentTypePost("application/x-www-form-urlencoded");

    if (browser_)
        browser_->OnDocumentComplete = [this](const QString &url) { DocumentoCompleto(url); };
}

Corsa::~Corsa()
{
    if (browser_)
        browser_->OnDocumentComplete = {};
}

void Corsa::AggiungiLog(const QString &riga)
{
    righeLog_.append(riga);
    if (osservatore_)
        osservatore_->RigaLog(riga);
}

void Corsa::PulisciLog()
{
    righeLog_.clear();
    if (osservatore_)
        osservatore_->LogSvuotato();
}

void Corsa::MostraStato(const QString &testo)
{
    stato_ = testo;
    if (osservatore_)
        osservatore_->Stato(testo);
}

void Corsa::Esegui(const PartenzaCorsa &partenza)
{
    if (inCorso_)
        return;
    inCorso_ = true;
    PaginaCaricata = false;
    AccessiFalliti = 0;
    id_ = partenza.id.isEmpty() ? NuovoIdCorsa() : partenza.id;
    lista_ = partenza.lista;
    giaFatte_ = partenza.giaFatte;
    saltati_ = 0;
    registro_ = std::make_unique<RegistroVisite>(DataFilePath(kNomeRegistroVisite));
    erroreRegistro_.clear();
    righeNonScritte_ = 0;
    nonScritti_.clear();
    attesaServer_.reset();
    archivio_ = partenza.archivio;
    PulisciLog();
    MostraStato(QStringLiteral("Procedura avviata..."));
    AggiungiLog(QString());
    AggiungiLog(QStringLiteral("Inizio di ") + partenza.volteIniziali + QStringLiteral(" multi accessi in:"));

    if (archivio_) {
        if (!archivio_->Avviso().isEmpty() && osservatore_)
            osservatore_->Errore(archivio_->Avviso());
        if (partenza.id.isEmpty()) {
            qint64 richiesti = 0;
            for (const QString &riga : partenza.voci)
                richiesti += VolteVoce(riga).value_or(0);
            archivio_->NuovaCorsa(id_, partenza.identita,
                                  impostazioni_().modalitaGrafica ? QStringLiteral("grafica") : QStringLiteral("testo"),
                                  richiesti);
        }
    }

    for (qsizetype k = 0; k < partenza.voci.size(); ++k) {
        const QString &riga = partenza.voci[k];
        const std::optional<int> volte = VolteVoce(riga);
        if (!volte) {
            // Not of the list editor's form: nothing sensible to visit.
            if (!Interrotto && osservatore_)
                osservatore_->Avviso(QStringLiteral("La voce \"%1\" (riga %2) non è nel formato corretto e non verrà "
                                                    "visitata: %3.")
                                         .arg(VoceInBreve(riga))
                                         .arg(k + 1)
                                         .arg(DifettoVoce(riga)));
        } else {
            const VoceSito voce = DividiVoce(riga);
            sito_ = voce.sito;
            volte_ = voce.volte;
            volteVoce_ = *volte;
            fatti_ = 0;
            if (osservatore_)
                osservatore_->InizioVoce(sito_, volte_, *volte);
            AggiungiLog(sito_);
            AccessiVoce(int(k), *volte);
        }
        if (osservatore_)
            osservatore_->FineVoce();
    }
    FineMultiAccesso();
}

void Corsa::AccessiVoce(int voce, qint64 volte)
{
    voce_ = voce;
    // A resumed run: what the store holds was made, and is not made again.
    // Skipped a range at a time: an entry may ask for millions of visits.
    static const std::vector<Intervallo> nessuna;
    const auto trovate = giaFatte_.find(voce);
    const std::vector<Intervallo> &fatte = trovate == giaFatte_.end() ? nessuna : trovate->second;
    std::size_t r = 0;
    // Once interrupted nothing more happens: the loop ends with the run.
    for (qint64 i = 1; i <= volte && !Interrotto;) {
        while (r < fatte.size() && fatte[r].a < i)
            ++r;
        if (r < fatte.size() && fatte[r].da <= i) {
            const qint64 fino = qMin(fatte[r].a, volte);
            saltati_ += fino - i + 1;
            fatti_ += fino - i + 1;
            if (osservatore_)
                osservatore_->Avanzamento(fatti_);
            i = fino + 1;
            continue;
        }
        Accesso(i);
        ++i;
    }
}

void Corsa::Accesso(qint64 i)
{
    if (Interrotto)
        return;

    const QString url = IndirizzoVisita(sito_);

    // A server that asked for a pause gets it before anything else.
    if (attesaServer_) {
        const qint64 restano = attesaServer_->remainingTime();
        attesaServer_.reset();
        if (restano > 0 && !AttesaServer(restano))
            return;
    }

    const Impostazioni opzioni = impostazioni_();
    // The pause keeps the program alive; Interrompi during it ends the run
    // without this visit.
    if (opzioni.banda == 0 || opzioni.banda == 1) {
        if (!AttesaViva(opzioni.banda == 0 ? 10000 : 5000))
            return;
    }

    if (opzioni.avvisaDopo10 && AccessiFalliti > 9) {
        if (osservatore_ && osservatore_->TroppiFallimenti(QStringLiteral("Si sono verificati più di accessi ") +
                                                           QString::number(AccessiFalliti) +
                                                           QStringLiteral(" non riusciti, interrompo l'operazione?")))
            Interrompi();
        AccessiFalliti = 0;
    }

    if (PausaRichiesta)
        MostraPausa();

    // The last graphic visit's page has lived through the pauses; it goes
    // before anything else is asked of a server.
    if (!ChiudiPagina())
        return;

    // The options may have changed while the boxes were up.
    const Impostazioni attuali = impostazioni_();
    if (attuali.timerOut)
        TimerOut->start();

    if (PrimaDellaVisita)
        PrimaDellaVisita(url);
    visita_ = RigaVisita{};
    visita_.inizio = AdessoLocale();
    visita_.lista = lista_;
    visita_.indirizzo = url;
    visita_.accesso = int(i); // an entry's count is at most an int
    visita_.di = int(volteVoce_);
    visita_.grafica = attuali.modalitaGrafica;
    visita_.corsa = id_;
    timeoutScattato_ = false;
    const bool giaInterrotto = Interrotto;
    QElapsedTimer durata;
    durata.start();
    if (attuali.modalitaGrafica) {
        AccessoGrafico(url);
        PaginaCaricata = false;
    } else {
        AccessoTesto(url);
    }
    visita_.durataMs = durata.elapsed();
    if (visita_.esito != QLatin1String("fatto")) {
        if (timeoutScattato_) {
            visita_.motivo = QStringLiteral("timeout");
        } else if (Interrotto && !giaInterrotto) {
            visita_.esito = QStringLiteral("interrotto");
            visita_.motivo = QStringLiteral("interrotto");
        }
    }
    if (!attuali.modalitaGrafica)
        CortesiaVersoServer();
    RegistraVisita();

    ProcessMessages();
    fineSoggiorno_ = QDeadlineTimer(TimerOut->isActive() ? TimerOut->remainingTime() : -1, Qt::PreciseTimer);
    if (TimerOut->isActive())
        TimerOut->stop();
    MostraStato(QStringLiteral("Accesso n. ") + QString::number(i) + QStringLiteral(" di ") + volte_ +
                QStringLiteral(" totali"));
    ++fatti_;
    if (osservatore_)
        osservatore_->Avanzamento(fatti_);
    ProcessMessages();
}

void Corsa::CortesiaVersoServer()
{
    if (visita_.stato != 429 && visita_.stato != 503)
        return;
    std::optional<qint64> ms = RetryAfterMs(HttpCli1->RcvdHeader(), QDateTime::currentDateTimeUtc());
    if (!ms && visita_.stato == 429)
        ms = kAttesa429Ms;
    if (!ms)
        return;
    const qint64 attesa = qMin(*ms, kAttesaServerMassimaMs);
    attesaServer_ = QDeadlineTimer(attesa, Qt::PreciseTimer);
    QString nota = QStringLiteral("attesa di %1 s chiesta dal server").arg((attesa + 999) / 1000);
    if (attesa < *ms)
        nota += QStringLiteral(" (ridotta da %1 s)").arg((*ms + 999) / 1000);
    visita_.motivo = visita_.motivo.isEmpty() ? nota : visita_.motivo + QStringLiteral("; ") + nota;
}

bool Corsa::AttesaServer(qint64 ms)
{
    const QString prima = stato_;
    const bool finita = AttesaViva(static_cast<std::uint32_t>(ms), [this](std::uint32_t restano) {
        MostraStato(QStringLiteral("Il server chiede di attendere: ancora %1 s...").arg((restano + 999) / 1000));
    });
    MostraStato(prima);
    return finita;
}

void Corsa::NonScritto(const QString &percorso)
{
    if (!nonScritti_.contains(percorso))
        nonScritti_ << percorso;
}

void Corsa::RegistraVisita()
{
    // The record first, then the store: killed between the two, the visit is
    // made again on resuming and the record holds both, as both happened;
    // the other way round the record would lack a visit that was made.
    if (registro_) {
        try {
            registro_->Aggiungi(visita_);
        } catch (...) {
            // The run goes on; the user hears of it once, when the run ends.
            if (erroreRegistro_.isEmpty())
                erroreRegistro_ = TestoErroreCorrente();
            ++righeNonScritte_;
            NonScritto(registro_->Percorso());
        }
    }
    if (archivio_) {
        const int esito = visita_.esito == QLatin1String("fatto")        ? 0
                          : visita_.esito == QLatin1String("interrotto") ? 2
                                                                         : 1;
        if (!archivio_->Visita(id_, voce_, visita_.accesso, esito))
            NonScritto(archivio_->Percorso());
    }
    if (osservatore_)
        osservatore_->VisitaFatta(visita_);
}

void Corsa::MostraPausa()
{
    if (osservatore_)
        osservatore_->Pausa(QStringLiteral("Stato di pausa, per riprendere la scansione premere OK."));
    PausaRichiesta = false;
}

bool Corsa::AttesaViva(std::uint32_t ms, const std::function<void(std::uint32_t restano)> &ogniSecondo)
{
    const QDeadlineTimer fine(DurataAttesa ? DurataAttesa(ms) : ms, Qt::PreciseTimer);
    QTimer sveglia;
    sveglia.setSingleShot(true);
    sveglia.setTimerType(Qt::PreciseTimer);
    while (!Interrotto) {
        // The time of a pause message counts: the wait is for a moment, not a length of idling.
        if (PausaRichiesta) {
            MostraPausa();
            continue;
        }
        const qint64 restano = fine.remainingTime();
        if (restano <= 0)
            return true;
        if (ogniSecondo)
            ogniSecondo(static_cast<std::uint32_t>(restano));
        // Woken at the end of the wait or of the second, or by whatever comes
        // first: a click, a redraw, the run's timers, a signal.
        sveglia.start(static_cast<int>(ogniSecondo ? qMin<qint64>(restano, (restano - 1) % 1000 + 1) : restano));
        ProcessMessagesWaiting();
    }
    return false;
}

void Corsa::AccessoGrafico(const QString &url)
{
    AggiungiLog(QStringLiteral("Multi accesso numero ") + QString::number(fatti_ + 1));
    bool riuscita = false;
    try {
        if (!browser_)
            throw Exception(QStringLiteral("Controllo browser non disponibile."));
        browser_->Navigate(url);
        // A navigation that started is judged by how its page ended: refused,
        // unknown host, an error answer or stopped by the time-out is a
        // failed visit as much as a navigation that never started.
        attesaPagina_ = true;
        WaitUntil([this] { return PaginaCaricata; });
        attesaPagina_ = false;
        riuscita = browser_->LastLoadError().isEmpty();
        visita_.stato = browser_->LastLoadStatus();
        visita_.motivo = browser_->LastLoadError();
    } catch (...) {
        attesaPagina_ = false;
        visita_.motivo = TestoErroreCorrente();
    }
    visita_.esito = riuscita ? QStringLiteral("fatto") : QStringLiteral("errore");
    if (riuscita) {
        AggiungiLog(sito_ + QStringLiteral("...fatto."));
    } else {
        ++AccessiFalliti;
        AggiungiLog(sito_ + QStringLiteral("...errore."));
    }
    // Asking again only to read Retry-After would be one more of the requests
    // the server asked to have fewer of: the run waits its own default, and
    // says so.
    if (visita_.stato == 429 || visita_.stato == 503) {
        attesaServer_ = QDeadlineTimer(kAttesaGraficaMs, Qt::PreciseTimer);
        visita_.motivo += QStringLiteral("; attesa di %1 s, predefinita: in modalità grafica la risposta del server "
                                         "non dice quanto attendere")
                              .arg(kAttesaGraficaMs / 1000);
        AggiungiLog(QStringLiteral("Attesa predefinita di %1 s prima del prossimo accesso: in modalità grafica la "
                                   "risposta del server non dice quanto attendere.")
                        .arg(kAttesaGraficaMs / 1000));
    }
}

bool Corsa::ChiudiPagina()
{
    if (!browser_ || !browser_->PageOpen())
        return true;
    const bool giaInterrotto = Interrotto;
    chiusuraPagina_ = true;
    browser_->Close();
    // The time-out bounds the page's stay as it bounds its visit.
    QTimer limite;
    limite.setSingleShot(true);
    QObject::connect(&limite, &QTimer::timeout, [this] { browser_->Stop(); });
    if (Interrotto || fineSoggiorno_.hasExpired())
        browser_->Stop();
    else if (!fineSoggiorno_.isForever())
        limite.start(static_cast<int>(fineSoggiorno_.remainingTime()));
    WaitUntil([this] { return !browser_->PageOpen(); });
    chiusuraPagina_ = false;
    return giaInterrotto || !Interrotto;
}

void Corsa::AccessoTesto(const QString &url)
{
    if (osservatore_)
        osservatore_->PaginaRicevuta(nullptr);
    TMemoryStream stream;
    bool partita = true;
    AggiungiLog(QStringLiteral("Multi accesso numero ") + QString::number(fatti_ + 1));
    try {
        HttpCli1->SetURL(EncodeAnsi(url).toStdString());
        HttpCli1->SetProxy(EncodeAnsi(impostazioni_().proxy).toStdString());
        HttpCli1->SetRcvdStream(&stream);
        HttpCli1->Get();
        HttpCli1->SetRcvdStream(nullptr);
        if (osservatore_)
            osservatore_->PaginaRicevuta(&stream);
        AggiungiLog(sito_ + QStringLiteral("...fatto."));
        visita_.esito = QStringLiteral("fatto");
    } catch (...) {
        HttpCli1->SetRcvdStream(nullptr);
        ++AccessiFalliti;
        AggiungiLog(sito_ + QStringLiteral("...errore."));
        visita_.esito = QStringLiteral("errore");
        visita_.motivo = TestoErroreCorrente();
        try {
            throw;
        } catch (const EHttpException &e) {
            // A request refused before it started (codes below 400) leaves
            // the client holding the previous answer: none of it is this one's.
            partita = e.ErrorCode() >= 400;
            // The cause in the words graphic mode uses for it too.
            if (partita)
                visita_.motivo = FailureCause(*HttpCli1);
        } catch (...) {
        }
    }
    visita_.stato = partita ? StatoRisposta(HttpCli1->RcvdHeader()) : 0;
    visita_.byte = partita ? HttpCli1->RcvdCount() : 0;
}

void Corsa::FineMultiAccesso()
{
    // The end goes into the store before anything else can happen: a program
    // closed at the report question leaves a run that ended, not one killed.
    if (archivio_) {
        if (archivio_->Aperto())
            archivio_->Fine(id_, Interrotto ? QStringLiteral("interrotto") : QStringLiteral("completato"));
        if (!archivio_->Errore().isEmpty()) {
            NonScritto(archivio_->Percorso());
            if (osservatore_)
                osservatore_->Errore(archivio_->Errore());
        }
        archivio_.reset();
    }
    // Nothing of the run goes on after it.
    ChiudiPagina();
    if (osservatore_)
        osservatore_->VisiteFinite();
    registro_.reset();
    if (!erroreRegistro_.isEmpty()) {
        if (osservatore_)
            osservatore_->Errore(
                QStringLiteral("Impossibile scrivere il registro delle visite (%1 righe non scritte): ")
                    .arg(righeNonScritte_) +
                erroreRegistro_);
        erroreRegistro_.clear();
    }
    const Resoconto resoconto = osservatore_ ? osservatore_->ChiediResoconto(Interrotto) : Resoconto::Nessuno;
    if (resoconto != Resoconto::Nessuno) {
        AggiungiLog(QString());
        AggiungiLog(RigaConclusione(LocaleDelLog(), QDateTime::currentDateTime()));
        const QString path = DataFilePath(QStringLiteral("LogQuorvi.txt"));
        try {
            WriteTextLines(path, righeLog_);
            if (resoconto == Resoconto::ScriviEApri && osservatore_)
                osservatore_->ApriLog(path);
        } catch (const Exception &e) {
            // The run still has to end properly; the user learns why there is no log.
            NonScritto(path);
            if (osservatore_)
                osservatore_->Errore(e.Message());
        }
    }
    const bool interrotto = Interrotto;
    PulisciLog();
    AggiungiLog(interrotto ? QStringLiteral("Si sono verificati errori.")
                           : QStringLiteral("Multi accesso completato."));
    MostraStato(QStringLiteral("Pronto per nuovo quorvi."));
    Interrotto = false;
    inCorso_ = false;
    giaFatte_.clear();
    if (osservatore_)
        osservatore_->Fine(EsitoCorsa{interrotto, saltati_});
}

void Corsa::Interrompi()
{
    HttpCli1->Abort();
    // A graphic visit waits for its page; stopping the control lets that wait
    // end instead of hanging on a page that never completes.
    if ((attesaPagina_ || chiusuraPagina_) && browser_)
        browser_->Stop();
    Interrotto = true;
}

void Corsa::TimerOutTimer()
{
    timeoutScattato_ = true;
    if (impostazioni_().modalitaGrafica) {
        if (browser_)
            browser_->Stop();
    } else {
        HttpCli1->Abort();
    }
}

void Corsa::DocumentoCompleto(const QString &)
{
    PaginaCaricata = true;
}
