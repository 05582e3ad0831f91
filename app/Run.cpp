// The main window's side of the multi-access run: btIniziaClick starts a
// Corsa, and the window shows what the run reports.

#include "app/Main.h"
#include "app/RegistroCorse.h"
#include "fx/Fx.h"
#include "lists/SiteList.h"
#include "net/HttpProt.h"
#include "platform/TextCodec.h"
#include "platform/ui/Guard.h"
#include "platform/ui/MessageBox.h"

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <limits>
#include <utility>

namespace {
QString DomandaRipresa(const QString &lista, const Ripresa &sospesa)
{
    return QStringLiteral("Il multi accesso della lista %1 non è stato completato (eseguiti %2 accessi su %3). "
                          "Vuoi riprenderlo da dove si era interrotto? Rispondendo No ricomincia da capo.")
        .arg(lista)
        .arg(sospesa.accessiFatti)
        .arg(sospesa.accessiTotali);
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

    PartenzaCorsa partenza;
    partenza.lista = LabelListaProvenienza->text();
    partenza.volteIniziali = LabelVolte->text();
    for (int i = 0; i < MemoLista->count(); ++i)
        partenza.voci << MemoLista->item(i)->text();
    AccessiFalliti = 0;
    PreparazioneCorsa preparazione = PreparaCorsa(CartellaProgramma() + partenza.lista, partenza.lista, partenza.voci);
    if (preparazione.rifiutata) {
        MsgAttenzione(preparazione.rifiuto);
        return;
    }
    // A run killed after its last visit has nothing left: the list simply
    // starts again.
    const std::optional<Ripresa> &ripresa = preparazione.ripresa;
    if (ripresa && ripresa->accessiFatti < ripresa->accessiTotali) {
        domandaRipresa_ = true;
        const int risposta = MessageBox(DomandaRipresa(partenza.lista, *ripresa), QStringLiteral("Richiesta."),
                                        MB_YESNO | MB_ICONQUESTION);
        domandaRipresa_ = false;
        // Closed with its ✕ or Esc, or the window closed meanwhile: nothing
        // starts, and the run stays there to be resumed.
        const bool chiusa = std::exchange(chiusuraRichiesta_, false);
        if (chiusa || (risposta != IDYES && risposta != IDNO))
            return;
        if (risposta == IDYES) {
            partenza.id = ripresa->id;
            partenza.giaFatte = ripresa->fatte;
        }
    }
    partenza.archivio = preparazione.archivio;
    partenza.identita = preparazione.identita;
    blocco_ = std::move(preparazione.blocco);

    inEsecuzione_ = true;
    AggiornaVersione1->setEnabled(false);
    StatusBar->showMessage(QString());
    LogSvuotato();
    ImpostaStatoControlli(true);
    // Drawn at a steady pace from here on; whatever way the run ends, the
    // window is drawn normally again and the list is free.
    struct Ritmo {
        TfrmMain *self;
        ~Ritmo()
        {
            self->FineRitmo();
            self->blocco_.reset();
        }
    } ritmo{this};
    setUpdatesEnabled(false);
    ritmo_->start();
    corsa_->Esegui(partenza);
}

void TfrmMain::RigaLog(const QString &)
{
    // During a run the widget catches up at the pace of the screen, not once
    // for every line.
    if (!ritmo_->isActive())
        AggiornaMemoLog();
}

void TfrmMain::LogSvuotato()
{
    righeMostrate_ = 0;
    MemoLogOperazio->clear();
}

void TfrmMain::Stato(const QString &testo)
{
    StatusBar->showMessage(testo);
}

void TfrmMain::InizioVoce(const QString &sito, const QString &volte, qint64 accessi)
{
    LabelSito->setText(sito);
    LabelVolte->setText(volte);
    PrgBar1->setMaximum(int(qBound<qint64>(qint64(1), accessi, qint64(std::numeric_limits<int>::max()))));
    accessiVoce_ = accessi;
    accessiFatti_ = 0;
    MostraAvanzamento();
}

void TfrmMain::Avanzamento(qint64 fatti)
{
    // The bar itself is moved at the next frame: a progress bar works out
    // its whole look on every move, which a fast run would pay for each visit.
    accessiFatti_ = fatti;
    if (!ritmo_->isActive())
        MostraAvanzamento();
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

void TfrmMain::FineVoce()
{
    // The preview shrinks as the run goes on.
    delete MemoLista->takeItem(0);
}

void TfrmMain::PaginaRicevuta(const TMemoryStream *pagina)
{
    if (!pagina) {
        // Emptying a document that holds nothing still rebuilds it: not worth
        // doing on every visit of a run whose page source nobody shows.
        if (!DisplayMemo->document()->isEmpty())
            DisplayMemo->clear();
        codiceNascosto_.clear();
    } else if (DisplayMemo->isHidden()) {
        codiceNascosto_ = QByteArray(pagina->Bytes().data(), qsizetype(pagina->Bytes().size()));
    } else {
        StreamInMemo(DisplayMemo, *pagina);
    }
}

void TfrmMain::Avviso(const QString &testo)
{
    MsgAttenzione(testo);
}

void TfrmMain::Errore(const QString &testo)
{
    MsgErrore(testo);
}

void TfrmMain::ErroreImprevisto(std::exception_ptr errore)
{
    ShowGeneralError(errore);
}

bool TfrmMain::TroppiFallimenti(const QString &domanda)
{
    // The run counts afresh after the warning, whatever the answer.
    AccessiFalliti = 0;
    return MsgRichiesta(domanda);
}

void TfrmMain::VisitaFatta(const RigaVisita &riga)
{
    if (riga.esito != QLatin1String("fatto"))
        ++AccessiFalliti;
}

void TfrmMain::Pausa(const QString &messaggio)
{
    MsgInfo(messaggio);
}

void TfrmMain::VisiteFinite()
{
    FineRitmo();
}

Resoconto TfrmMain::ChiediResoconto(bool interrotto)
{
    if (interrotto)
        return Resoconto::Nessuno;
    return MsgRichiesta(QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?"))
               ? Resoconto::ScriviEApri
               : Resoconto::Nessuno;
}

void TfrmMain::ApriLog(const QString &percorso)
{
    ApriFile(percorso);
}

void TfrmMain::Fine(const EsitoCorsa &)
{
    ImpostaStatoControlli(false);
    LabelSito->clear();
    LabelVolte->setText(QStringLiteral("1"));
    LabelListaProvenienza->setText(QStringLiteral("Nessuna"));
    BoxElencoListe->clearSelection();
    BoxElencoListe->setCurrentRow(-1);
    accessiFatti_ = 0;
    MostraAvanzamento();
    AggiornaVersione1->setEnabled(true);
    MostraVuota();
    blocco_.reset();
    inEsecuzione_ = false;
    if (chiusuraRichiesta_)
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
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

void TfrmMain::sbInterrompiClick()
{
    corsa_->Interrompi();
}

void TfrmMain::sbPausaClick()
{
    corsa_->ChiediPausa();
}

void TfrmMain::TimerOutTimer()
{
    corsa_->TimerOutTimer();
}

void TfrmMain::WebBrowserDocumentComplete(const QString &url)
{
    corsa_->DocumentoCompleto(url);
}
