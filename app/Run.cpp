// The multi-access run of the main window: btIniziaClick and the handlers that
// act on it from outside while it waits.

#include "app/Main.h"
#include "app/RegistroVisite.h"
#include "app/Resoconto.h"
#include "fx/Fx.h"
#include "lists/SiteList.h"
#include "net/HttpProt.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/NotifyWindow.h"
#include "platform/TextCodec.h"
#include "platform/ui/BrowserControl.h"
#include "platform/ui/Shell.h"
#include "settings/Opzioni.h"

#include <QAction>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

namespace {
// A server may ask for hours. A run that sits still that long looks hung and
// holds the user's machine for nothing; ten minutes is polite enough, and the
// user can always start the list again later.
constexpr qint64 kAttesaServerMassimaMs = 10 * 60 * 1000;
// A 429 without Retry-After: as long as the "Min" bandwidth pause.
constexpr qint64 kAttesa429Ms = 10000;

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

void TfrmMain::ImpostaStatoControlli(bool running)
{
    if (running) {
        sbInterrompi->setEnabled(true);
        sbPausa->setEnabled(true);
        for (QWidget *w : std::initializer_list<QWidget *>{btInizia, BoxElencoListe, sbInfo, sbHelp, sbBug, sbGestListe,
                                                           sbcontrollaVersione, MemoLista, BtEsci})
            w->setEnabled(false);
    } else {
        BtEsci->setEnabled(true);
        sbInterrompi->setEnabled(false);
        sbPausa->setEnabled(false);
        for (QWidget *w : std::initializer_list<QWidget *>{btInizia, BoxElencoListe, sbInfo, sbHelp, sbBug,
                                                           sbcontrollaVersione, MemoLista, sbGestListe})
            w->setEnabled(true);
    }
}

void TfrmMain::btIniziaClick()
{
    if (inEsecuzione_)
        return;
    PaginaCaricata = false;
    AccessiFalliti = 0;

    if (BoxElencoListe->count() == 0) {
        MsgAttenzione(QStringLiteral("Impossibile iniziare la procedura, nessun elenco lista presente, accesso alla "
                                     "gestione liste automatico."));
        sbGestListeClick();
        return;
    }
    if (MemoLista->count() > 0 && MemoLista->item(0)->text() == kVuota) {
        MsgAttenzione(QStringLiteral(
            "Impossibile iniziare la procedura, la lista dei siti è vuota, selezionare una lista dall'elenco."));
        return;
    }

    inEsecuzione_ = true;
    AggiornaVersione1->setEnabled(false);
    StatusBar->showMessage(QString());
    PulisciLog();
    ImpostaStatoControlli(true);
    // Drawn at a steady pace from here on; whatever way the run ends, the
    // window is drawn normally again.
    struct Ritmo {
        TfrmMain *self;
        ~Ritmo() { self->FineRitmo(); }
    } ritmo{this};
    setUpdatesEnabled(false);
    ritmo_->start();
    listaRun_ = LabelListaProvenienza->text();
    registro_ = std::make_unique<RegistroVisite>(CartellaProgramma() + kNomeRegistroVisite);
    erroreRegistro_.clear();
    righeNonScritte_ = 0;
    attesaServer_.reset();
    StatusBar->showMessage(QStringLiteral("Procedura avviata..."));
    AggiungiLog(QString());
    AggiungiLog(QStringLiteral("Inizio di ") + LabelVolte->text() + QStringLiteral(" multi accessi in:"));

    const int voci = MemoLista->count();
    for (int v = 0; v < voci; ++v) {
        const QString riga = MemoLista->item(0)->text();
        const std::optional<int> volte = VolteVoce(riga);
        if (!volte) {
            // Not of the list editor's form: nothing sensible to visit.
            if (!Interrotto)
                MsgAttenzione(QStringLiteral("La voce \"") + VoceInBreve(riga) +
                              QStringLiteral("\" non è nel formato corretto e non verrà visitata."));
        } else {
            const VoceSito voce = DividiVoce(riga);
            LabelSito->setText(voce.sito);
            LabelVolte->setText(voce.volte);
            AggiungiLog(LabelSito->text());
            PrgBar1->setMaximum(qMax(*volte, 1));
            accessiFatti_ = 0;
            MostraAvanzamento();
            volteVoce_ = *volte;
            for (int i = 1; i <= *volte; ++i)
                Accesso(i);
        }
        delete MemoLista->takeItem(0);
    }
    FineMultiAccesso();
}

void TfrmMain::Accesso(int i)
{
    if (Interrotto)
        return;

    // A server that asked for a pause gets it before anything else.
    if (attesaServer_) {
        const qint64 restano = attesaServer_->remainingTime();
        attesaServer_.reset();
        if (restano > 0 && !AttesaServer(restano))
            return;
    }

    const Impostazioni opzioni = opzioni_ ? opzioni_->Valori() : Impostazioni{};
    // The pause keeps the window alive; Interrompi during it ends the run
    // without this visit.
    if (opzioni.banda == 0 || opzioni.banda == 1) {
        if (!AttesaViva(opzioni.banda == 0 ? 10000 : 5000))
            return;
    }

    if (opzioni.avvisaDopo10 && AccessiFalliti > 9) {
        if (MsgRichiesta(QStringLiteral("Si sono verificati più di accessi ") + QString::number(AccessiFalliti) +
                         QStringLiteral(" non riusciti, interrompo l'operazione?")))
            sbInterrompiClick();
        AccessiFalliti = 0;
    }

    if (PausaRichiesta)
        MostraPausa();

    // The options may have changed while the boxes were up.
    const Impostazioni attuali = opzioni_ ? opzioni_->Valori() : Impostazioni{};
    if (attuali.timerOut)
        TimerOut->start();

    const QString url = IndirizzoVisita(LabelSito->text());
    if (PrimaDellaVisita)
        PrimaDellaVisita(url);
    visita_ = RigaVisita{};
    visita_.inizio = AdessoLocale();
    visita_.lista = listaRun_;
    visita_.indirizzo = url;
    visita_.accesso = i;
    visita_.di = volteVoce_;
    visita_.grafica = attuali.modalitaGrafica;
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
    if (TimerOut->isActive())
        TimerOut->stop();
    StatusBar->showMessage(QStringLiteral("Accesso n. ") + QString::number(i) + QStringLiteral(" di ") +
                           LabelVolte->text() + QStringLiteral(" totali"));
    // The bar itself is moved at the next frame: a progress bar works out
    // its whole look on every move, which a fast run would pay for each visit.
    ++accessiFatti_;
    if (!ritmo_->isActive())
        MostraAvanzamento();
    ProcessMessages();
    // The bar turns red from the first visit on; the colour change is posted,
    // as the progress bar's own message was. Once red, it stays so.
    const QColor rosso(255, 0, 0);
    if (PrgBar1->palette().color(QPalette::Highlight) != rosso)
        QMetaObject::invokeMethod(
            PrgBar1,
            [bar = PrgBar1, rosso] {
                QPalette pal = bar->palette();
                pal.setColor(QPalette::Highlight, rosso);
                bar->setPalette(pal);
            },
            Qt::QueuedConnection);
}

void TfrmMain::CortesiaVersoServer()
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

bool TfrmMain::AttesaServer(qint64 ms)
{
    const QString prima = StatusBar->currentMessage();
    const bool finita = AttesaViva(static_cast<std::uint32_t>(ms), [this](std::uint32_t restano) {
        StatusBar->showMessage(
            QStringLiteral("Il server chiede di attendere: ancora %1 s...").arg((restano + 999) / 1000));
    });
    StatusBar->showMessage(prima);
    return finita;
}

void TfrmMain::RegistraVisita()
{
    if (!registro_)
        return;
    try {
        registro_->Aggiungi(visita_);
    } catch (...) {
        // The run goes on; the user hears of it once, when the run ends.
        if (erroreRegistro_.isEmpty())
            erroreRegistro_ = TestoErroreCorrente();
        ++righeNonScritte_;
    }
}

void TfrmMain::MostraPausa()
{
    MsgInfo(QStringLiteral("Stato di pausa, per riprendere la scansione premere OK."));
    PausaRichiesta = false;
}

bool TfrmMain::AttesaViva(std::uint32_t ms, const std::function<void(std::uint32_t restano)> &ogniSecondo)
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
        // first: a click, a redraw, the run's timers.
        sveglia.start(static_cast<int>(ogniSecondo ? qMin<qint64>(restano, (restano - 1) % 1000 + 1) : restano));
        ProcessMessagesWaiting();
    }
    return false;
}

void TfrmMain::AccessoGrafico(const QString &url)
{
    AggiungiLog(QStringLiteral("Multi accesso numero ") + QString::number(accessiFatti_ + 1));
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
        LogFatto();
    } else {
        ++AccessiFalliti;
        LogErrore();
    }
}

void TfrmMain::AccessoTesto(const QString &url)
{
    // Emptying a document that holds nothing still rebuilds it: not worth
    // doing on every visit of a run whose page source nobody shows.
    if (!DisplayMemo->document()->isEmpty())
        DisplayMemo->clear();
    codiceNascosto_.clear();
    TMemoryStream stream;
    bool partita = true;
    AggiungiLog(QStringLiteral("Multi accesso numero ") + QString::number(accessiFatti_ + 1));
    try {
        HttpCli1->SetURL(EncodeAnsi(url).toStdString());
        const QString proxy = opzioni_ ? opzioni_->Valori().proxy : QString();
        HttpCli1->SetProxy(EncodeAnsi(proxy).toStdString());
        HttpCli1->SetRcvdStream(&stream);
        HttpCli1->Get();
        HttpCli1->SetRcvdStream(nullptr);
        if (DisplayMemo->isHidden())
            codiceNascosto_ = QByteArray(stream.Bytes().data(), qsizetype(stream.Bytes().size()));
        else
            StreamInMemo(DisplayMemo, stream);
        LogFatto();
        visita_.esito = QStringLiteral("fatto");
    } catch (...) {
        HttpCli1->SetRcvdStream(nullptr);
        ++AccessiFalliti;
        LogErrore();
        visita_.esito = QStringLiteral("errore");
        // The client's own words: the server's reason phrase, or what kept
        // the answer from coming.
        visita_.motivo = TestoErroreCorrente();
        try {
            throw;
        } catch (const EHttpException &e) {
            // A request refused before it started (codes below 400) leaves
            // the client holding the previous answer: none of it is this one's.
            partita = e.ErrorCode() >= 400;
        } catch (...) {
        }
    }
    visita_.stato = partita ? StatoRisposta(HttpCli1->RcvdHeader()) : 0;
    visita_.byte = partita ? HttpCli1->RcvdCount() : 0;
}

void TfrmMain::StreamInMemo(QPlainTextEdit *memo, const TMemoryStream &stream)
{
    const std::string_view bytes = stream.Bytes();
    if (bytes.empty())
        return;
    // A line end at the very end closes the last line; it starts no new one.
    std::size_t n = bytes.size();
    if (bytes[n - 1] == '\n') {
        --n;
        if (n > 0 && bytes[n - 1] == '\r')
            --n;
    } else if (bytes[n - 1] == '\r') {
        --n;
    }
    // The page goes in piece by piece, line ends made '\n' on the way: a
    // whole decoded copy (two bytes a character) beside the document's own
    // would double what a page of tens of megabytes costs. Nobody undoes a
    // page source, so nothing is kept for that either.
    QTextDocument *document = memo->document();
    const bool undo = document->isUndoRedoEnabled();
    document->setUndoRedoEnabled(false);
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        cursor.insertBlock();
    constexpr std::size_t kPiece = 1 << 20;
    bool afterCr = false;
    for (std::size_t at = 0; at < n; at += kPiece) {
        const std::size_t len = std::min(kPiece, n - at);
        QString piece = DecodeAnsi(QByteArray::fromRawData(bytes.data() + at, qsizetype(len)));
        QChar *d = piece.data();
        qsizetype w = 0;
        for (qsizetype r = 0; r < piece.size(); ++r) {
            if (d[r] == u'\n' && afterCr) {
                afterCr = false;
                continue;
            }
            afterCr = d[r] == u'\r';
            d[w++] = afterCr ? QChar(u'\n') : d[r];
        }
        piece.truncate(w);
        cursor.insertText(piece);
    }
    cursor.endEditBlock();
    document->setUndoRedoEnabled(undo);
}

void TfrmMain::FineRitmo()
{
    if (!ritmo_->isActive())
        return;
    ritmo_->stop();
    AggiornaMemoLog();
    MostraAvanzamento();
    setUpdatesEnabled(true);
    // Drawn now, not when the loop gets round to it: a run of one visit ends
    // before the first frame, and the question that follows must not stand
    // over the window as it was before the run.
    repaint();
}

void TfrmMain::FineMultiAccesso()
{
    FineRitmo();
    registro_.reset();
    if (!erroreRegistro_.isEmpty()) {
        MsgErrore(QStringLiteral("Impossibile scrivere il registro delle visite (%1 righe non scritte): ")
                      .arg(righeNonScritte_) +
                  erroreRegistro_);
        erroreRegistro_.clear();
    }
    if (!Interrotto && MsgRichiesta(QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?"))) {
        AggiungiLog(QString());
        AggiungiLog(RigaConclusione(QLocale::system(), QDateTime::currentDateTime()));
        const QString path = CartellaProgramma() + QStringLiteral("LogQuorvi.txt");
        try {
            WriteTextLines(path, righeLog_);
            ApriFile(path);
        } catch (const Exception &e) {
            // The run still has to end properly; the user learns why there is no log.
            MsgErrore(e.Message());
        }
    }
    PulisciLog();
    AggiungiLog(Interrotto ? QStringLiteral("Si sono verificati errori.")
                           : QStringLiteral("Multi accesso completato."));
    StatusBar->showMessage(QStringLiteral("Pronto per nuovo quorvi."));
    ImpostaStatoControlli(false);
    LabelSito->clear();
    LabelVolte->setText(QStringLiteral("1"));
    LabelListaProvenienza->setText(QStringLiteral("Nessuna"));
    BoxElencoListe->clearSelection();
    BoxElencoListe->setCurrentRow(-1);
    accessiFatti_ = 0;
    MostraAvanzamento();
    AggiornaVersione1->setEnabled(true);
    Interrotto = false;
    MostraVuota();
    inEsecuzione_ = false;
    if (chiusuraRichiesta_)
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
}

void TfrmMain::sbInterrompiClick()
{
    HttpCli1->Abort();
    // A graphic visit waits for its page; stopping the control lets that wait
    // end instead of hanging on a page that never completes.
    if (attesaPagina_ && browser_)
        browser_->Stop();
    Interrotto = true;
}

void TfrmMain::sbPausaClick()
{
    PausaRichiesta = true;
}

void TfrmMain::TimerOutTimer()
{
    timeoutScattato_ = true;
    if (opzioni_ && opzioni_->Valori().modalitaGrafica) {
        if (browser_)
            browser_->Stop();
    } else {
        HttpCli1->Abort();
    }
}

void TfrmMain::WebBrowserDocumentComplete(const QString &)
{
    PaginaCaricata = true;
}
