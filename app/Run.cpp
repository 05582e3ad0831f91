// The multi-access run of the main window: btIniziaClick and the handlers that
// act on it from outside while it waits.

#include "app/Main.h"
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
#include <QDate>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTime>
#include <QTimer>
#include <QToolButton>

namespace {
QString DataBreve()
{
    return QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat);
}

// The user's long time format, hours, minutes and seconds, without a time zone.
QString OraLunga()
{
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return QLocale::system().toString(QTime::currentTime(), format.trimmed());
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
            PrgBar1->setValue(0);
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

    const Impostazioni opzioni = opzioni_ ? opzioni_->Valori() : Impostazioni{};
    if (opzioni.banda == 0)
        Sleep(10000);
    else if (opzioni.banda == 1)
        Sleep(5000);

    if (opzioni.avvisaDopo10 && AccessiFalliti > 9) {
        if (MsgRichiesta(QStringLiteral("Si sono verificati più di accessi ") + QString::number(AccessiFalliti) +
                         QStringLiteral(" non riusciti, interrompo l'operazione?")))
            sbInterrompiClick();
        AccessiFalliti = 0;
    }

    if (PausaRichiesta) {
        MsgInfo(QStringLiteral("Stato di pausa, per riprendere la scansione premere OK."));
        PausaRichiesta = false;
    }

    // The options may have changed while the boxes were up.
    const Impostazioni attuali = opzioni_ ? opzioni_->Valori() : Impostazioni{};
    if (attuali.timerOut)
        TimerOut->start();

    const QString url = IndirizzoVisita(LabelSito->text());
    if (PrimaDellaVisita)
        PrimaDellaVisita(url);
    if (attuali.modalitaGrafica) {
        AccessoGrafico(url);
        PaginaCaricata = false;
    } else {
        AccessoTesto(url);
    }

    ProcessMessages();
    if (TimerOut->isActive())
        TimerOut->stop();
    StatusBar->showMessage(QStringLiteral("Accesso n. ") + QString::number(i) + QStringLiteral(" di ") +
                           LabelVolte->text() + QStringLiteral(" totali"));
    PrgBar1->setValue(PrgBar1->value() + 1);
    ProcessMessages();
    // The bar turns red from the first visit on; the colour change is posted,
    // as the progress bar's own message was.
    QMetaObject::invokeMethod(
        PrgBar1,
        [bar = PrgBar1] {
            QPalette pal = bar->palette();
            pal.setColor(QPalette::Highlight, QColor(255, 0, 0));
            bar->setPalette(pal);
        },
        Qt::QueuedConnection);
}

void TfrmMain::AccessoGrafico(const QString &url)
{
    AggiungiLog(QStringLiteral("Multi accesso numero ") + QString::number(PrgBar1->value() + 1));
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
    } catch (...) {
        attesaPagina_ = false;
    }
    if (riuscita) {
        LogFatto();
    } else {
        ++AccessiFalliti;
        LogErrore();
    }
}

void TfrmMain::AccessoTesto(const QString &url)
{
    DisplayMemo->clear();
    codiceNascosto_.clear();
    TMemoryStream stream;
    AggiungiLog(QStringLiteral("Multi accesso numero ") + QString::number(PrgBar1->value() + 1));
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
    } catch (...) {
        HttpCli1->SetRcvdStream(nullptr);
        ++AccessiFalliti;
        LogErrore();
    }
}

void TfrmMain::StreamInMemo(QPlainTextEdit *memo, const TMemoryStream &stream)
{
    const std::string_view bytes = stream.Bytes();
    if (bytes.empty())
        return;
    // One conversion, line ends made '\n' in place, one insertion: a page of
    // tens of megabytes must be neither fed to the widget line by line nor
    // copied once per line on its way there.
    QString text = DecodeAnsi(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())));
    QChar *d = text.data();
    const qsizetype n = text.size();
    qsizetype w = 0;
    for (qsizetype r = 0; r < n; ++r) {
        if (d[r] == u'\r') {
            d[w++] = u'\n';
            if (r + 1 < n && d[r + 1] == u'\n')
                ++r;
        } else {
            d[w++] = d[r];
        }
    }
    // A line end at the very end closes the last line; it starts no new one.
    if (w > 0 && d[w - 1] == u'\n')
        --w;
    text.truncate(w);
    if (memo->document()->isEmpty())
        memo->setPlainText(text);
    else
        memo->appendPlainText(text);
}

void TfrmMain::FineRitmo()
{
    if (!ritmo_->isActive())
        return;
    ritmo_->stop();
    AggiornaMemoLog();
    setUpdatesEnabled(true);
}

void TfrmMain::FineMultiAccesso()
{
    FineRitmo();
    if (!Interrotto && MsgRichiesta(QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?"))) {
        AggiungiLog(QString());
        AggiungiLog(QStringLiteral("Multi accesso eseguito in data ") + DataBreve() +
                    QStringLiteral(" concluso alle ore ") + OraLunga());
        const QString path = CartellaProgramma() + QStringLiteral("LogQuorvi.txt");
        try {
            WriteTextLines(path, righeLog_);
            ShellOpen(path);
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
    PrgBar1->setValue(0);
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
