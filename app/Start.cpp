#include "app/Start.h"

#include "fx/Fx.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Jpeg.h"
#include "support/About.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

TfrmStart::TfrmStart(TFrmAbout *about, std::function<void()> mostraPrincipale, QWidget *parent)
    : QDialog(parent), about_(about), mostraPrincipale_(std::move(mostraPrincipale))
{
    setObjectName(QStringLiteral("frmStart"));
    setWindowTitle(QStringLiteral("Caricamento"));
    // A dialog frame with a title but no close box: the window goes by itself.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(280, 265 + 24);

    ImageLogo = new QLabel(this);
    ImageLogo->setObjectName(QStringLiteral("ImageLogo"));
    ImageLogo->setGeometry(0, 0, 280, 265);
    ImageLogo->setPixmap(QPixmap::fromImage(LogoImage()));
    OnLabelClick(ImageLogo, [this] { ImageLogoClick(); });

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 265, 280, 24);
    Label1 = new QLabel(QStringLiteral("Caricamento in corso, attendere.."), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(0, 0, 280, 24);
    Label1->setAlignment(Qt::AlignCenter);

    TimerStart = new QTimer(this);
    TimerStart->setObjectName(QStringLiteral("TimerStart"));
    TimerStart->setInterval(10000);
    connect(TimerStart, &QTimer::timeout, this, Guarded([this] { TimerStartTimer(); }));

    FormCreate();
}

void TfrmStart::FormCreate()
{
    setWindowTitle(QStringLiteral("Caricamento ") + about_->LabelPrg->text());
}

void TfrmStart::FormShow()
{
    TimerStart->start();
}

void TfrmStart::TimerStartTimer()
{
    TimerStart->stop();
    if (mostraPrincipale_)
        mostraPrincipale_();
    close();
}

void TfrmStart::ImageLogoClick()
{
    ApriFile(IndirizzoSitoProduttore());
}

void TfrmStart::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    RunGuarded([this] { FormShow(); });
}

void TfrmStart::keyPressEvent(QKeyEvent *event)
{
    // Escape would close a dialog; this one offers no way out but the timer.
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}
