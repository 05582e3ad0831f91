#include "support/ControllaVersione.h"

#include "fx/Fx.h"
#include "platform/TextCodec.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Look.h"
#include "platform/web/WebBrowser.h"
#include "support/About.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

namespace {
const QColor kVerde(0, 128, 0);
const QColor kRosso(255, 0, 0);

QString &SitoPerTest()
{
    static QString sito;
    return sito;
}

QString Sito()
{
    return SitoPerTest().isEmpty() ? kSitoProduttore : SitoPerTest();
}

const QString kInCorso = QStringLiteral("Controllo versione in corso...");
const QString kNuova = QStringLiteral("Disponibile una nuove versione!!");
const QString kNessuna = QStringLiteral("Nessuna nuova versione disponibile.");
const QString kPremiScarica = QStringLiteral("Premi su scarica e chiudi il programma.");
const QString kImpossibileScaricare = QStringLiteral("Impossibile scaricare la nuova versione");
const QString kErroreServer = QStringLiteral("Impossibile accedere al server per controllare eventuali aggiornamenti "
                                             "disponibili, riprovare in un secondo momento.");
const QString kDomanda = QStringLiteral("Per eseguire il controllo di evetuali nuove versioni bisogna essere connessi "
                                        "ad internet, continuo?");

QLabel *MakeLabel(QWidget *parent, const char *name, const QString &text, int x, int y, bool bold = false)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    label->move(x, y);
    label->adjustSize();
    return label;
}

QToolButton *MakeButton(QWidget *parent, const char *name, const QString &caption, QStyle::StandardPixmap icon,
                        const QRect &geometry)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setIcon(parent->style()->standardIcon(icon));
    if (caption.isEmpty()) {
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    } else {
        button->setText(caption);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        QFont font = button->font();
        font.setBold(true);
        button->setFont(font);
    }
    button->setGeometry(geometry);
    return button;
}
} // namespace

void TFrmControllaVersione::SetSitoPerTest(const QString &hostPort)
{
    SitoPerTest() = hostPort;
}

TFrmControllaVersione::TFrmControllaVersione(TFrmAbout *about, QWidget *parent, std::unique_ptr<BrowserControl> browser)
    : QDialog(parent), WebBrowser1(std::move(browser)), about_(about)
{
    setObjectName(QStringLiteral("FrmControllaVersione"));
    setWindowTitle(QStringLiteral("Controllo eventuali aggiornamenti disponibili"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(392, 81);

    Label1 = MakeLabel(this, "Label1", QStringLiteral("Versione attuale"), 5, 6, true);
    LabVerAttuale = MakeLabel(this, "LabVerAttuale", QString(), 5, 22);
    Label2 = MakeLabel(this, "Label2", QStringLiteral("Versione disponibile su internet"), 209, 8, true);
    LabVerInternet = MakeLabel(this, "LabVerInternet", QString(), 212, 24);

    LabMessaggioGrande = new QLabel(kInCorso, this);
    LabMessaggioGrande->setObjectName(QStringLiteral("LabMessaggioGrande"));
    QFont grande = LabMessaggioGrande->font();
    grande.setBold(true);
    grande.setPixelSize(16);
    LabMessaggioGrande->setFont(grande);
    LabMessaggioGrande->setGeometry(5, 37, 378, 25);
    // Its lower edge runs behind the buttons: the verdict stands at the top,
    // clear of them.
    LabMessaggioGrande->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LabMessaggioPiccolo = MakeLabel(this, "LabMessaggioPiccolo", QString(), 6, 61);
    // The hint has the room left of "Scarica" only.
    LabMessaggioPiccolo->setFont(SmallFont());

    sbScarica = MakeButton(this, "sbScarica", QStringLiteral("Scarica"), QStyle::SP_ArrowDown, QRect(196, 56, 80, 21));
    sbScarica->setEnabled(false);
    sbControlla =
        MakeButton(this, "sbControlla", QStringLiteral("Controlla"), QStyle::SP_BrowserReload, QRect(278, 56, 80, 21));
    sbControlla->setToolTip(QStringLiteral("Controlla versione"));
    sbEsci = MakeButton(this, "sbEsci", QString(), QStyle::SP_DialogCloseButton, QRect(360, 57, 25, 20));
    sbEsci->setToolTip(QStringLiteral("Esci senza salvare le modifiche"));

    DisplayMemo = new QPlainTextEdit(this);
    DisplayMemo->setObjectName(QStringLiteral("DisplayMemo"));
    DisplayMemo->setVisible(false);
    ListURL = new QListWidget(this);
    ListURL->setObjectName(QStringLiteral("ListURL"));
    ListURL->setVisible(false);
    Editurl = new QLineEdit(this);
    Editurl->setObjectName(QStringLiteral("Editurl"));
    Editurl->setVisible(false);

    if (!WebBrowser1) {
        // The one control of the program that may save a file: the new
        // version "Scarica" asks for.
        auto browser = std::make_unique<WebBrowser>();
        browser->SetAcceptDownloads(true);
        WebBrowser1 = std::move(browser);
    }

    // This client goes straight to the site whatever the options say.
    HttpCli1.SetAgent("Mozilla/3.0 (compatible)");
    HttpCli1.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    HttpCli1.SetProxy(std::string());

    connect(sbScarica, &QToolButton::clicked, this, Guarded([this] { sbScaricaClick(); }));
    connect(sbControlla, &QToolButton::clicked, this, Guarded([this] { sbControllaClick(); }));
    connect(sbEsci, &QToolButton::clicked, this, Guarded([this] { sbEsciClick(); }));

    FormCreate();
}

TFrmControllaVersione::~TFrmControllaVersione()
{
    HttpCli1.Abort();
}

void TFrmControllaVersione::FormCreate()
{
    identificativo_ = about_ ? about_->LabelPrg->text() : QString();
    indirizzoRichiesta_ =
        QStringLiteral("http://") + Sito() + QStringLiteral("/index.php?show=ctrlvers&prg=") + identificativo_;

    if (identificativo_.toLower() == QStringLiteral("t4v_quorvi")) {
        criterio_ = CriterioEstrazione{};
        criterio_.inizio = QStringLiteral("Versione");
        criterio_.secondo = QStringLiteral("-");
        criterio_.terzo = QStringLiteral("-");
        criterio_.fine = QStringLiteral("<");
    }

    const QString download = QStringLiteral("http://") + Sito() + QStringLiteral("/prg/quorvi.exe");
    Editurl->setText(download);
    sbScarica->setToolTip(download);
}

void TFrmControllaVersione::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (attivata_)
        return;
    attivata_ = true;
    if (QScreen *s = screen() ? screen() : QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());
    // The question comes once the window stands on the screen, and only the
    // first time: every message box hands the activation back to this window,
    // and asking again after each would never end.
    QTimer::singleShot(0, this, Guarded([this] { FormActivate(); }));
}

void TFrmControllaVersione::FormActivate()
{
    LabVerInternet->clear();
    LabVerAttuale->clear();
    LabMessaggioPiccolo->clear();
    ColoraMessaggio(Qt::black);

    const QString testo = about_ ? about_->LabelVers->text() : QString();
    versioneAttuale_ = LeggiNumeroVersione(testo.mid(8)).value_or(0);
    LabVerAttuale->setText(QString::number(versioneAttuale_));
    LabVerAttuale->adjustSize();

    const QPointer<TFrmControllaVersione> self(this);
    const bool si = MsgRichiesta(kDomanda);
    if (!self)
        return;
    if (si)
        sbControllaClick();
    else
        LabMessaggioGrande->clear();
}

bool TFrmControllaVersione::Preleva(QStringList &righe)
{
    DisplayMemo->clear();
    TMemoryStream ricevuto;
    HttpCli1.SetURL(indirizzoRichiesta_.toStdString());
    HttpCli1.SetRcvdStream(&ricevuto);
    const QPointer<TFrmControllaVersione> self(this);
    try {
        HttpCli1.Get();
    } catch (const std::exception &) {
        // Deleted while it waited (its owner went): nobody is left to tell.
        if (!self)
            return false;
        // The stream dies with this call: the client must not keep it.
        HttpCli1.SetRcvdStream(nullptr);
        MsgErrore(kErroreServer);
        return false;
    }
    HttpCli1.SetRcvdStream(nullptr);
    righe = SplitLines(DecodeAnsi(QByteArray(ricevuto.Bytes().data(), qsizetype(ricevuto.Bytes().size()))));
    DisplayMemo->setPlainText(righe.join(QLatin1Char('\n')));
    return true;
}

void TFrmControllaVersione::sbControllaClick()
{
    // Closed while the request waits, the window is only hidden and its
    // labels still take the outcome; deleted, it must not be touched again.
    const QPointer<TFrmControllaVersione> self(this);
    sbControlla->setEnabled(false);
    fallito_ = false;

    QStringList righe;
    if (!Preleva(righe)) {
        if (!self)
            return;
        fallito_ = true;
        LabVerInternet->setText(QStringLiteral("Non disponibile"));
        LabVerInternet->adjustSize();
        LabMessaggioPiccolo->setText(kImpossibileScaricare);
        LabMessaggioPiccolo->adjustSize();
        sbControlla->setEnabled(true);
        return;
    }
    if (!self)
        return;

    QStringList valori;
    EstraiURLConCriterio(righe, criterio_, valori);
    ListURL->addItems(valori);
    DisplayMemo->clear();

    // A site that says 0 says so: only a missing or unreadable number is left blank.
    const std::optional<int> letta =
        ListURL->count() > 0 ? LeggiNumeroVersione(ListURL->item(0)->text()) : std::nullopt;
    const int versione = letta.value_or(0);
    LabVerInternet->setText(letta ? QString::number(versione) : QString());
    LabVerInternet->adjustSize();

    if (versione > versioneAttuale_) {
        LabMessaggioGrande->setText(kNuova);
        ColoraMessaggio(kVerde);
        LabMessaggioPiccolo->setText(kPremiScarica);
        sbScarica->setEnabled(true);
    } else {
        LabMessaggioGrande->setText(kNessuna);
        ColoraMessaggio(kRosso);
        LabMessaggioPiccolo->setText(kImpossibileScaricare + QLatin1Char('.'));
    }
    LabMessaggioPiccolo->adjustSize();
    sbControlla->setEnabled(true);
}

void TFrmControllaVersione::sbScaricaClick()
{
    sbScarica->setEnabled(false);
    WebBrowser1->Navigate(Editurl->text());
}

void TFrmControllaVersione::sbEsciClick()
{
    HttpCli1.Abort();
    close();
}

// However the window goes (Esci, the title bar, Escape), a request still
// waiting is ended: nothing else could end it once the window is gone.
void TFrmControllaVersione::done(int result)
{
    HttpCli1.Abort();
    QDialog::done(result);
}

void TFrmControllaVersione::ColoraMessaggio(const QColor &colour)
{
    QPalette pal = LabMessaggioGrande->palette();
    pal.setColor(QPalette::WindowText, colour);
    LabMessaggioGrande->setPalette(pal);
}
