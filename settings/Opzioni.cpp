#include "settings/Opzioni.h"

#include "platform/ui/Controls.h"

#include "fx/Fx.h"
#include "platform/Files.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Look.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStyle>
#include <QToolButton>

namespace {
QCheckBox *CheckBox(QWidget *parent, const char *name, const QString &caption, const QString &hint, QRect geometry,
                    bool checked)
{
    auto *box = new QCheckBox(caption, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setToolTip(hint);
    box->setGeometry(geometry);
    box->setChecked(checked);
    return box;
}

// Speed buttons: a picture beside the caption, and no keyboard focus.
QToolButton *SpeedButton(QWidget *parent, const char *name, const QString &caption, const QString &hint,
                         QStyle::StandardPixmap picture, QRect geometry)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(caption);
    button->setToolTip(hint);
    button->setIcon(parent->style()->standardIcon(picture));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(geometry);
    return button;
}
} // namespace

TFrmOpzioni::TFrmOpzioni(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("FrmOpzioni"));
    setWindowTitle(QStringLiteral("Opzioni"));
    setFixedSize(404, 115);

    Label8 = MakeLabel(this, "Label8", QStringLiteral("Indirizzo IP Proxy:"), 10, 9, true);

    editProxy = new QLineEdit(this);
    editProxy->setObjectName(QStringLiteral("editProxy"));
    editProxy->setToolTip(QStringLiteral("Ip del proxy server..."));
    editProxy->setFont(VerdanaFont(9));
    editProxy->setMaxLength(kProxyMaxLength);
    editProxy->setGeometry(115, 5, 84, 20);

    cbAvvisaDopo10 = CheckBox(this, "cbAvvisaDopo10", QStringLiteral("Avvisa dopo 10 accessi non riusciti"),
                              QStringLiteral("Permette di interrompere il processo dopo 10 accessi non riusciti"),
                              QRect(9, 24, 190, 17), true);
    cbTimerOut = CheckBox(this, "cbTimerOut", QStringLiteral("Utilizza timeout dopo 30 secondi"),
                          QStringLiteral("Attiva il timeout che consente di stoppare il caricamento della pagina web"),
                          QRect(9, 40, 190, 17), true);
    cbModalitaGrafica =
        CheckBox(this, "cbModalitaGrafica", QStringLiteral("Accedi in modalità grafica"),
                 QStringLiteral("Accede alle pagine in modalità grafica"), QRect(9, 57, 190, 17), false);

    Label2 = MakeLabel(this, "Label2", QStringLiteral("Utilizzo banda"), 210, 5, true);
    Label9 = MakeLabel(this, "Label9", QStringLiteral("internet"), 211, 17, true);

    TrackBarBanda = new QSlider(Qt::Horizontal, this);
    TrackBarBanda->setObjectName(QStringLiteral("TrackBarBanda"));
    TrackBarBanda->setToolTip(QStringLiteral("Imposta utilizzo banda internet"));
    TrackBarBanda->setRange(kBandaMin, kBandaMax);
    TrackBarBanda->setSingleStep(1);
    TrackBarBanda->setPageStep(1);
    TrackBarBanda->setTickInterval(1);
    TrackBarBanda->setTickPosition(QSlider::TicksBelow);
    TrackBarBanda->setValue(kBandaMax);
    TrackBarBanda->setGeometry(300, 5, 95, 28);

    Label6 = MakeLabel(this, "Label6", QStringLiteral("Min"), 305, 33, true);
    Label5 = MakeLabel(this, "Label5", QStringLiteral("Max"), 371, 33, true);

    sbCaricaImp = SpeedButton(this, "sbCaricaImp", QStringLiteral("Carica impostazioni"),
                              QStringLiteral("Carica le impostazioni salvate.."), QStyle::SP_DialogOpenButton,
                              QRect(8, 87, 120, 22));
    sbSalvaImp = SpeedButton(this, "sbSalvaImp", QStringLiteral("Salva impostazioni"),
                             QStringLiteral("Salva le impostazioni attuali.."), QStyle::SP_DialogSaveButton,
                             QRect(136, 87, 120, 22));

    btnEsci = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("Esci"), this);
    btnEsci->setObjectName(QStringLiteral("btnEsci"));
    btnEsci->setToolTip(QStringLiteral("Esce dal programa"));
    btnEsci->setGeometry(315, 86, 81, 22);
    // Enter in the proxy field must not close the window through a default button.
    btnEsci->setAutoDefault(false);

    connect(sbSalvaImp, &QToolButton::clicked, this, Guarded([this](bool) { sbSalvaImpClick(); }));
    connect(sbCaricaImp, &QToolButton::clicked, this, Guarded([this](bool) { sbCaricaImpClick(); }));
    connect(btnEsci, &QPushButton::clicked, this, Guarded([this](bool) { btnEsciClick(); }));
    connect(editProxy, &QLineEdit::editingFinished, this, Guarded([this] { AvvisaProxyGrafico(); }));
    connect(cbModalitaGrafica, &QCheckBox::toggled, this, Guarded([this](bool) { AvvisaProxyGrafico(); }));
}

void TFrmOpzioni::AvvisaProxyGrafico()
{
    const QString proxy = editProxy->text();
    const std::optional<QString> grafico = ProxyGraficoAltro ? ProxyGraficoAltro(proxy) : std::nullopt;
    if (!grafico) {
        proxyAvvisato_.reset();
        return;
    }
    if (!cbModalitaGrafica->isChecked() || proxyAvvisato_ == proxy)
        return;
    proxyAvvisato_ = proxy;
    const QString poi =
        QStringLiteral("quelli in modalità grafica passano ancora per %1 fino al riavvio del programma.");
    if (proxy.isEmpty())
        MsgInfo(QStringLiteral("Da subito gli accessi in modalità testo non passano più dal proxy; ") +
                poi.arg(*grafico));
    else if (grafico->isEmpty())
        MsgInfo(QStringLiteral("Il nuovo proxy vale da subito per gli accessi in modalità testo; quelli in modalità "
                               "grafica lo useranno dal prossimo avvio del programma."));
    else
        MsgInfo(QStringLiteral("Il nuovo proxy vale da subito per gli accessi in modalità testo; ") +
                poi.arg(*grafico));
}

Impostazioni TFrmOpzioni::Valori() const
{
    Impostazioni values;
    values.banda = TrackBarBanda->value();
    values.proxy = editProxy->text();
    values.avvisaDopo10 = cbAvvisaDopo10->isChecked();
    values.timerOut = cbTimerOut->isChecked();
    values.modalitaGrafica = cbModalitaGrafica->isChecked();
    return values;
}

void TFrmOpzioni::ApplicaImpostazioni(const Impostazioni &values)
{
    TrackBarBanda->setValue(values.banda);
    // A longer proxy from the file is shown whole, not cut to the typing limit.
    editProxy->setMaxLength(qMax<int>(kProxyMaxLength, values.proxy.size()));
    editProxy->setText(values.proxy);
    cbAvvisaDopo10->setChecked(values.avvisaDopo10);
    cbTimerOut->setChecked(values.timerOut);
    cbModalitaGrafica->setChecked(values.modalitaGrafica);
}

void TFrmOpzioni::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    RunGuarded([this] { FormShow(); });
}

void TFrmOpzioni::FormShow()
{
    sbCaricaImp->setEnabled(FileExists(SettingsFilePath()));
}

void TFrmOpzioni::sbSalvaImpClick()
{
    const QString path = SettingsFilePath();
    if (FileExists(path) && !MsgRichiesta(QStringLiteral("Sovrascrivere il precedente salvataggio?")))
        return;
    try {
        SaveSettingsFile(path, Valori());
        MsgInfo(QStringLiteral("Salvataggio effettuato."));
        sbCaricaImp->setEnabled(true);
    } catch (...) {
        MsgErrore(QStringLiteral("Impossibile eseguire salvataggio impostazioni."));
    }
}

void TFrmOpzioni::sbCaricaImpClick()
{
    try {
        // Every value is checked before the first control changes, so a
        // failure leaves the settings as they were.
        const Impostazioni values = LoadSettingsFile(
            SettingsFilePath(), [] { MsgInfo(QStringLiteral("Il file delle impostazioni è stato aggiornato.")); });
        ApplicaImpostazioni(values);
    } catch (...) {
        MsgErrore(QStringLiteral("Impossibile eseguire caricamento impostazioni."));
        return;
    }
    AvvisaProxyGrafico();
}

void TFrmOpzioni::btnEsciClick()
{
    close();
}
