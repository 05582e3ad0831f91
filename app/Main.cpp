#include "app/Main.h"

#include "app/BloccoLista.h"
#include "app/Start.h"
#include "fx/Fx.h"
#include "lists/Liste.h"
#include "lists/SiteList.h"
#include "net/HttpProt.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/NotifyWindow.h"
#include "platform/Paths.h"
#include "platform/TextCodec.h"
#include "platform/ui/BrowserControl.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Jpeg.h"
#include "platform/ui/ListClick.h"
#include "platform/ui/Look.h"
#include "platform/ui/Shell.h"
#include "settings/Opzioni.h"
#include "support/About.h"
#include "support/Bug.h"
#include "support/ControllaVersione.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDate>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTextCursor>
#include <QTime>
#include <QTimer>
#include <QToolButton>

namespace {

constexpr int kClientWidth = 582;
constexpr int kClientHeight = 300;
constexpr int kStatusHeight = 20;
// The page-source memo's band below the buttons.
constexpr int kMargineCodice = 6;
constexpr int kAltezzaCodice = 204;

QToolButton *MakeSpeedButton(QWidget *parent, const char *name, const QString &caption, const QString &hint,
                             QStyle::StandardPixmap icon, const QRect &geometry)
{
    QToolButton *button = MakeToolButton(parent, name, caption, icon, geometry);
    button->setToolTip(hint);
    button->setAutoRaise(true);
    return button;
}

void Colour(QWidget *w, const QColor &base, const QColor &text)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Base, base);
    pal.setColor(QPalette::Text, text);
    w->setPalette(pal);
    w->setFont(SmallFont());
}

} // namespace

TfrmMain::TfrmMain(std::unique_ptr<BrowserControl> browser)
    : corsa_(std::make_unique<Corsa>(std::move(browser),
                                     [this] { return opzioni_ ? opzioni_->Valori() : Impostazioni{}; })),
      TimerOut(corsa_->TimerOut), HttpCli1(corsa_->HttpCli1.get())
{
    corsa_->ImpostaOsservatore(this);
    corsa_->PrimaDellaVisita = [this](const QString &url) {
        if (PrimaDellaVisita)
            PrimaDellaVisita(url);
    };
    corsa_->DurataAttesa = [this](std::uint32_t ms) { return DurataAttesa ? DurataAttesa(ms) : ms; };
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("T4V_Quorvi"));
    // Fixed single border, minimise only. Without CustomizeWindowHint Qt adds
    // the buttons it thinks a window needs, maximise included.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    CreaControlli();
    CreaMenu();
    FissaDimensioni();
    FormCreate();
}

TfrmMain::~TfrmMain()
{
    corsa_->ImpostaOsservatore(nullptr);
}

void TfrmMain::Collega(TFrmAbout *about, TfrmStart *start, TFrmOpzioni *opzioni)
{
    about_ = about;
    start_ = start;
    opzioni_ = opzioni;
}

void TfrmMain::CreaControlli()
{
    auto *central = new QWidget(this);
    central->setFixedSize(kClientWidth, kClientHeight - kStatusHeight);
    setCentralWidget(central);

    Panel1 = new QWidget(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 0, kClientWidth, 226);

    Label12 = MakeLabel(Panel1, "Label12", QStringLiteral("Operazioni in corso:"), 6, 4, true);
    MemoLogOperazio = new QPlainTextEdit(Panel1);
    MemoLogOperazio->setObjectName(QStringLiteral("MemoLogOperazio"));
    MemoLogOperazio->setGeometry(6, 20, 282, 112);
    MemoLogOperazio->setReadOnly(true);
    MemoLogOperazio->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoLogOperazio->setToolTip(QStringLiteral("Log delle operazioni eseguite..."));
    Colour(MemoLogOperazio, Qt::black, QColor(0, 255, 0));
    MemoLogOperazio->setPlainText(QStringLiteral("Pronto..."));

    Label11 = MakeLabel(Panel1, "Label11", QStringLiteral("Lista pagine da analizzare:"), 6, 136, true);
    // The browser control lies under the preview and is covered by it.
    WebBrowser = new QWidget(Panel1);
    WebBrowser->setObjectName(QStringLiteral("WebBrowser"));
    WebBrowser->setGeometry(8, 152, 129, 73);
    MemoLista = new QListWidget(Panel1);
    MemoLista->setObjectName(QStringLiteral("MemoLista"));
    MemoLista->setGeometry(6, 152, 282, 72);
    MemoLista->setToolTip(QStringLiteral("Lista dei siti..."));
    MemoLista->setUniformItemSizes(true);
    Colour(MemoLista, Qt::black, QColor(255, 255, 0));
    MemoLista->addItem(kVuota);

    // Hidden until revealed; then it gets a band of its own below the buttons
    // (MostraCodice), so the log and the preview stay in view.
    DisplayMemo = new QPlainTextEdit(central);
    DisplayMemo->setObjectName(QStringLiteral("DisplayMemo"));
    DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    DisplayMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setFont(FixedFont());
    DisplayMemo->setPlainText(QStringLiteral("Codice HTML"));
    DisplayMemo->setVisible(false);

    Label10 = MakeLabel(Panel1, "Label10", QStringLiteral("Selezione liste:"), 296, 4, true);
    sbGestListe = MakeSpeedButton(Panel1, "sbGestListe", QStringLiteral("Gestione liste"),
                                  QStringLiteral("Carica le impostazioni salvate.."), QStyle::SP_FileDialogDetailedView,
                                  QRect(462, 0, 114, 20));
    BoxElencoListe = new QListWidget(Panel1);
    BoxElencoListe->setObjectName(QStringLiteral("BoxElencoListe"));
    BoxElencoListe->setGeometry(296, 22, 280, 70);
    BoxElencoListe->setToolTip(QStringLiteral("Liste da selezionare.."));

    Label3 = MakeLabel(Panel1, "Label3", QStringLiteral("Url:"), 296, 98, true);
    Label4 = MakeLabel(Panel1, "Label4", QStringLiteral("http://"), 322, 98);
    LabelSito = MakeLabel(Panel1, "LabelSito", QStringLiteral("Sito"), 360, 98);
    LabelSito->setFixedWidth(216);
    LabelSito->setToolTip(QStringLiteral("Pagina web in cui si sta effetuando il quorvi"));
    Label1 = MakeLabel(Panel1, "Label1", QStringLiteral("N. di accessi:"), 296, 116, true);
    LabelVolte = MakeLabel(Panel1, "LabelVolte", QStringLiteral("1"), 384, 116);
    LabelVolte->setFixedWidth(48);
    LabelVolte->setAlignment(Qt::AlignHCenter);
    LabelVolte->setToolTip(QStringLiteral("Numero di accessi per questo sito..."));
    Label14 = MakeLabel(Panel1, "Label14", QStringLiteral("Lista di provenienza:"), 296, 134, true);
    LabelListaProvenienza = MakeLabel(Panel1, "LabelListaProvenienza", QStringLiteral("Nessuna"), 444, 134);
    LabelListaProvenienza->setFixedWidth(132);
    LabelListaProvenienza->setToolTip(QStringLiteral("Lista di provenienza della pagina da analizzare"));

    btInizia = new QPushButton(Panel1);
    btInizia->setObjectName(QStringLiteral("btInizia"));
    btInizia->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    btInizia->setIconSize(QSize(24, 24));
    btInizia->setToolTip(QStringLiteral("Inizia procedura multi accesso..."));
    btInizia->setGeometry(296, 154, 136, 32);
    BtEsci = new QPushButton(Panel1);
    BtEsci->setObjectName(QStringLiteral("BtEsci"));
    BtEsci->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    BtEsci->setIconSize(QSize(24, 24));
    BtEsci->setToolTip(QStringLiteral("Esci dal programma..."));
    BtEsci->setGeometry(440, 154, 136, 32);

    Label7 = MakeLabel(Panel1, "Label7", QStringLiteral("Stato di avanzamento:"), 296, 190, true);
    PrgBar1 = new QProgressBar(Panel1);
    PrgBar1->setObjectName(QStringLiteral("PrgBar1"));
    PrgBar1->setGeometry(296, 206, 280, 16);
    PrgBar1->setRange(0, 100);
    PrgBar1->setValue(0);
    PrgBar1->setTextVisible(false);
    PrgBar1->setToolTip(QStringLiteral("Stato di avanzamento dell'operazione"));

    pnlPulsanti = new QWidget(central);
    pnlPulsanti->setObjectName(QStringLiteral("pnlPulsanti"));
    pnlPulsanti->setGeometry(0, 226, kClientWidth, kClientHeight - kStatusHeight - 226);
    Panel2 = new QFrame(pnlPulsanti);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    static_cast<QFrame *>(Panel2)->setFrameShape(QFrame::HLine);
    static_cast<QFrame *>(Panel2)->setFrameShadow(QFrame::Sunken);
    Panel2->setGeometry(4, 0, kClientWidth - 8, 3);

    Image1 = new QLabel(pnlPulsanti);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(6, 6, 46, 44);
    Image1->setScaledContents(true);
    Image1->setPixmap(QPixmap::fromImage(LogoImage()));
    Label13 = MakeLabel(pnlPulsanti, "Label13", QStringLiteral("T4V Dudirirada"), 58, 5, true);
    const QString link = QStringLiteral("color: #0000ff; text-decoration: underline;");
    lblLink = MakeLabel(pnlPulsanti, "lblLink", kSitoProduttore, 58, 21);
    Label15 = MakeLabel(pnlPulsanti, "Label15", kMailSupporto, 58, 36);
    for (QLabel *l : {lblLink, Label15}) {
        l->setStyleSheet(link);
        l->adjustSize();
    }
    OnLabelClick(lblLink, [this] { lblLinkClick(); });
    OnLabelClick(Label15, [this] { Label15Click(); });

    // Two rows of three: the maker's links keep the left of the panel.
    const int x0 = 236, w0 = 113, h0 = 24, y1 = 4, y2 = 28;
    sbcontrollaVersione = MakeSpeedButton(pnlPulsanti, "sbcontrollaVersione", QStringLiteral("Controlla vers."),
                                          QStringLiteral("Controllo eventuali nuove versioni.."),
                                          QStyle::SP_BrowserReload, QRect(x0, y1, w0, h0));
    sbBug = MakeSpeedButton(pnlPulsanti, "sbBug", QStringLiteral("Segnala bug"),
                            QStringLiteral("Segnala un bug del programma alla TVX Dudirirada"),
                            QStyle::SP_MessageBoxWarning, QRect(x0 + w0, y1, w0, h0));
    sbHelp = MakeSpeedButton(pnlPulsanti, "sbHelp", QStringLiteral("Help"), QStringLiteral("Visualizza aiuto.."),
                             QStyle::SP_DialogHelpButton, QRect(x0 + 2 * w0, y1, w0, h0));
    sbPausa =
        MakeSpeedButton(pnlPulsanti, "sbPausa", QStringLiteral("Pausa"),
                        QStringLiteral("Pausa temporanea di quorvi..."), QStyle::SP_MediaPause, QRect(x0, y2, w0, h0));
    sbInterrompi = MakeSpeedButton(pnlPulsanti, "sbInterrompi", QStringLiteral("Interrompi"),
                                   QStringLiteral("Interrompi operazione di quorvi..."), QStyle::SP_MediaStop,
                                   QRect(x0 + w0, y2, w0, h0));
    sbInfo = MakeSpeedButton(pnlPulsanti, "sbInfo", QStringLiteral("Info"), QStringLiteral("Visualizza info.."),
                             QStyle::SP_MessageBoxInformation, QRect(x0 + 2 * w0, y2, w0, h0));
    sbPausa->setEnabled(false);
    sbInterrompi->setEnabled(false);

    // Hidden, it already has its place, clear of every other control.
    DisplayMemo->setGeometry(RettangoloCodice());

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setFixedHeight(kStatusHeight);
    setStatusBar(StatusBar);

    // While a run is on, the window is drawn at this pace instead of after
    // every change: twenty frames a second look the same and cost a fraction.
    ritmo_ = new QTimer(this);
    ritmo_->setInterval(50);
    connect(ritmo_, &QTimer::timeout, this, Guarded([this] { RitmoRun(); }));

    connect(sbGestListe, &QToolButton::clicked, this, Guarded([this] { sbGestListeClick(); }));
    OnListClick(BoxElencoListe, [this] { BoxElencoListeClick(); });
    OnListClick(MemoLista, [this] { MemoListaClick(); });
    connect(btInizia, &QPushButton::clicked, this, Guarded([this] { btIniziaClick(); }));
    connect(BtEsci, &QPushButton::clicked, this, Guarded([this] { BtEsciClick(); }));
    connect(sbcontrollaVersione, &QToolButton::clicked, this, Guarded([this] { sbcontrollaVersioneClick(); }));
    connect(sbBug, &QToolButton::clicked, this, Guarded([this] { sbBugClick(); }));
    connect(sbPausa, &QToolButton::clicked, this, Guarded([this] { sbPausaClick(); }));
    connect(sbInterrompi, &QToolButton::clicked, this, Guarded([this] { sbInterrompiClick(); }));
    connect(sbInfo, &QToolButton::clicked, this, Guarded([this] { sbInfoClick(); }));
    connect(sbHelp, &QToolButton::clicked, this, Guarded([this] { sbHelpClick(); }));
}

void TfrmMain::CreaMenu()
{
    QMenuBar *bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    mnuSetup = bar->addMenu(QStringLiteral("&Impostazioni"));
    mnuSetup->setObjectName(QStringLiteral("mnuSetup"));
    mnuSetupDate = mnuSetup->addAction(QStringLiteral("Opzioni"));
    mnuSetupDate->setObjectName(QStringLiteral("mnuSetupDate"));
    Utilit1 = bar->addMenu(QStringLiteral("Utilità"));
    Utilit1->setObjectName(QStringLiteral("Utilit1"));
    AggiornaVersione1 = Utilit1->addAction(QStringLiteral("Aggiorna versione"));
    AggiornaVersione1->setObjectName(QStringLiteral("AggiornaVersione1"));
    Segnalabug1 = Utilit1->addAction(QStringLiteral("Segnala bug"));
    Segnalabug1->setObjectName(QStringLiteral("Segnalabug1"));
    mnuHelp = bar->addMenu(QStringLiteral("&?"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpHelp = mnuHelp->addAction(QStringLiteral("&Aiuto"));
    mnuHelpHelp->setObjectName(QStringLiteral("mnuHelpHelp"));
    mnuHelpHelp->setShortcut(QKeySequence(Qt::Key_F1));
    mnuHelpSeparator = mnuHelp->addSeparator();
    mnuHelpSeparator->setObjectName(QStringLiteral("mnuHelpSeparator"));
    About1 = mnuHelp->addAction(QStringLiteral("About"));
    About1->setObjectName(QStringLiteral("About1"));

    connect(mnuSetupDate, &QAction::triggered, this, Guarded([this] { mnuSetupDateClick(); }));
    connect(AggiornaVersione1, &QAction::triggered, this, Guarded([this] { sbcontrollaVersioneClick(); }));
    connect(Segnalabug1, &QAction::triggered, this, Guarded([this] { sbBugClick(); }));
    connect(mnuHelpHelp, &QAction::triggered, this, Guarded([this] { sbHelpClick(); }));
    connect(About1, &QAction::triggered, this, Guarded([this] { sbInfoClick(); }));
}

void TfrmMain::FormCreate()
{
    MostraSito(QString());
    AggiornaElencoListe();
}

QRect TfrmMain::RettangoloCodice() const
{
    const int top = pnlPulsanti->geometry().bottom() + 1 + kMargineCodice;
    return QRect(kMargineCodice, top, centralWidget()->width() - 2 * kMargineCodice, kAltezzaCodice);
}

void TfrmMain::FissaDimensioni()
{
    layout()->activate();
    setFixedSize(layout()->totalSizeHint());
}

bool TfrmMain::event(QEvent *event)
{
    // The status bar belongs to the run: a menu item passing its empty status
    // tip must not wipe "Pronto per nuovo quorvi." or the visit count.
    if (event->type() == QEvent::StatusTip)
        return true;
    return QMainWindow::event(event);
}

void TfrmMain::setVisible(bool visible)
{
    // The start window and the settings come before the main window is first
    // drawn, as they did when this was the form's OnShow.
    if (visible && !mostrata_) {
        mostrata_ = true;
        if (const QScreen *screen = this->screen())
            move(screen->availableGeometry().center() - frameGeometry().center() + pos());
        RunGuarded([this] { FormShow(); });
    }
    QMainWindow::setVisible(visible);
}

void TfrmMain::FormShow()
{
    if (start_)
        start_->exec();
    if (opzioni_ && FileExists(SettingsFilePath()))
        opzioni_->sbCaricaImpClick();
}

void TfrmMain::AggiornaElencoListe()
{
    BoxElencoListe->clear();
    BoxElencoListe->addItems(EnumeraListe());
}

void TfrmMain::MostraVuota()
{
    MemoLista->clear();
    MemoLista->addItem(kVuota);
}

void TfrmMain::BoxElencoListeClick()
{
    QListWidgetItem *item = BoxElencoListe->currentItem();
    if (!item)
        return;
    const QString file = item->text();
    // A file that cannot be read raises before the preview is touched.
    const QStringList lines = LeggiLista(file);
    MemoLista->clear();
    // Checked before the lines go into the box: a refused file of millions of
    // lines would otherwise become millions of items only to be thrown away.
    if (!ListaValida(lines)) {
        MsgAttenzione(AvvisoListaNonValida(NomeLista(file)));
        MostraVuota();
        return;
    }
    MemoLista->addItems(lines);
    LabelListaProvenienza->setText(file);
}

void TfrmMain::MemoListaClick()
{
    if (MemoLista->count() > 0 && MemoLista->item(0)->text() == kVuota)
        return;
    QListWidgetItem *item = MemoLista->currentItem();
    if (!item)
        return;
    const VoceSito voce = DividiVoce(item->text());
    MostraSito(voce.sito);
    LabelVolte->setText(voce.volte);
}

void TfrmMain::MostraSito(const QString &sito)
{
    // An entry with its own scheme (https://) is shown whole, where the fixed
    // "http://" stands for the others; it does not go in front of it as well.
    const bool schemaProprio = IndirizzoVisita(sito) == sito;
    Label4->setVisible(!schemaProprio);
    LabelSito->move(schemaProprio ? Label4->x() : 360, LabelSito->y());
    LabelSito->setFixedWidth(schemaProprio ? 576 - Label4->x() : 216);
    LabelSito->setText(sito);
}

void TfrmMain::sbGestListeClick()
{
    {
        // A fresh editor each time; whatever happens in it, the list files are
        // read again afterwards.
        struct Dopo {
            TfrmMain *self;
            ~Dopo()
            {
                self->AggiornaElencoListe();
                self->MostraVuota();
            }
        } dopo{this};
        TfrmListe editor([this] { MostraCodice(); }, this);
        editor.exec();
    }
}

void TfrmMain::sbcontrollaVersioneClick()
{
    TFrmControllaVersione controllo(about_, this);
    controllo.exec();
}

void TfrmMain::sbBugClick()
{
    TfrmBug bug(about_, this);
    bug.exec();
}

void TfrmMain::MostraModale(QDialog *dialog)
{
    if (dialog)
        dialog->exec();
}

void TfrmMain::sbInfoClick()
{
    MostraModale(about_);
}

void TfrmMain::mnuSetupDateClick()
{
    MostraModale(opzioni_);
}

void TfrmMain::sbHelpClick()
{
    const QString path = InstalledFilePath(QStringLiteral("help.html"));
    if (FileExists(path))
        ApriFile(path);
    else
        MsgErrore(QStringLiteral("Impossibile aprire la guida, file help.html non trovato"));
}

void TfrmMain::lblLinkClick()
{
    ApriFile(IndirizzoSitoProduttore());
}

void TfrmMain::Label15Click()
{
    const QString prg = about_ ? about_->LabelPrg->text() : QString();
    const QString vers = about_ ? about_->LabelVers->text() : QString();
    InviaMail(kMailSupporto, QStringLiteral("Clic interno ") + prg + QStringLiteral(" , ") + vers,
              QStringLiteral("Scrivere di seguito la richiesta:"));
}

void TfrmMain::BtEsciClick()
{
    QCoreApplication::quit();
}

void TfrmMain::closeEvent(QCloseEvent *event)
{
    if (inEsecuzione_) {
        // Closing in the middle of a run stops it first; the window closes
        // when the run has ended, so nothing is left half done.
        chiusuraRichiesta_ = true;
        sbInterrompiClick();
        event->ignore();
        return;
    }
    // The resume question is answered by the closing: it goes with the
    // window, nothing starts, and the program ends.
    if (domandaRipresa_) {
        chiusuraRichiesta_ = true;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w);
                box && box->isVisible() && box->windowTitle() == QLatin1String("Richiesta."))
                box->close();
    }
    QMainWindow::closeEvent(event);
    QCoreApplication::quit();
}

QStringList TfrmMain::RigheCodice() const
{
    if (!codiceNascosto_.isEmpty()) {
        QStringList righe;
        for (const QByteArray &riga : SplitByteLines(codiceNascosto_))
            righe << DecodeAnsi(riga);
        return righe;
    }
    return DisplayMemo->toPlainText().isEmpty() ? QStringList() : DisplayMemo->toPlainText().split(QLatin1Char('\n'));
}

void TfrmMain::MostraCodice()
{
    // The page kept while the memo was hidden goes into it now: laying out
    // every page of a run in a memo nobody sees cost more than the visit.
    if (!codiceNascosto_.isEmpty()) {
        TMemoryStream pagina;
        pagina.Write(codiceNascosto_.constData(), static_cast<int>(codiceNascosto_.size()));
        codiceNascosto_.clear();
        DisplayMemo->clear();
        StreamInMemo(DisplayMemo, pagina);
    }
    if (!DisplayMemo->isHidden())
        return;
    // The window grows by a band below its buttons for the memo, so that
    // nothing it had is covered; it stays on the screen it is on.
    QWidget *central = centralWidget();
    const QRect banda = RettangoloCodice();
    DisplayMemo->setGeometry(banda);
    central->setFixedSize(central->width(), banda.bottom() + 1 + kMargineCodice);
    DisplayMemo->setVisible(true);
    FissaDimensioni();
    if (const QScreen *screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        const QRect frame = frameGeometry();
        if (frame.bottom() > area.bottom())
            move(pos().x(), qMax(area.top(), pos().y() - (frame.bottom() - area.bottom())));
    }
}

void TfrmMain::AggiornaMemoLog()
{
    const QStringList &righe = corsa_->RigheLog();
    if (righeMostrate_ >= righe.size())
        return;
    if (righeMostrate_ == 0) {
        MemoLogOperazio->setPlainText(righe.join(QLatin1Char('\n')));
    } else {
        QTextCursor cursor(MemoLogOperazio->document());
        cursor.beginEditBlock();
        cursor.movePosition(QTextCursor::End);
        for (qsizetype i = righeMostrate_; i < righe.size(); ++i) {
            cursor.insertBlock();
            cursor.insertText(righe[i]);
        }
        cursor.endEditBlock();
    }
    righeMostrate_ = righe.size();
    // Like the old memo, the newest line stays in view.
    MemoLogOperazio->moveCursor(QTextCursor::End);
    MemoLogOperazio->ensureCursorVisible();
}

void TfrmMain::MostraAvanzamento()
{
    // The bar counts in ints; an entry of more visits than that moves it in
    // proportion.
    const int valore =
        accessiVoce_ > PrgBar1->maximum() ? int(accessiFatti_ * PrgBar1->maximum() / accessiVoce_) : int(accessiFatti_);
    if (PrgBar1->value() != valore)
        PrgBar1->setValue(valore);
}

void TfrmMain::RitmoRun()
{
    // One frame: the log and the bar catch up and the whole window is drawn once.
    AggiornaMemoLog();
    MostraAvanzamento();
    setUpdatesEnabled(true);
    repaint();
    setUpdatesEnabled(false);
}
