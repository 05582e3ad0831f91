#include "support/About.h"

#include "fx/Fx.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Jpeg.h"
#include "platform/ui/Look.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QStyle>
#include <QToolButton>

namespace {
void Style(QLabel *label, const QString &css)
{
    label->setStyleSheet(css);
    label->adjustSize();
}
} // namespace

TFrmAbout::TFrmAbout(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FrmAbout"));
    setWindowTitle(QStringLiteral("About"));
    // 266 x 330 outside, less the frame and the title bar.
    resize(258, 296);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(192, 192, 192));
    setPalette(pal);

    const QString blueBold = QStringLiteral("color: #0000ff; font-weight: bold;");
    Label2 = MakeLabel(this, "Label2", QStringLiteral("Informazioni sul programma"), 54, 8);
    Style(Label2, blueBold + QStringLiteral("text-decoration: underline;"));
    LabelPrg = MakeLabel(this, "LabelPrg", QStringLiteral("T4V_Quorvi"), 49, 24);
    LabelPrg->setFont(ComicFont());
    Style(LabelPrg, blueBold);
    Label6 =
        MakeLabel(this, "Label6", QStringLiteral("Per incrementare i contatori di\naccesso di pagine web."), 8, 65);
    Label6->setAlignment(Qt::AlignHCenter);
    Style(Label6, blueBold);
    Label6->setFixedWidth(242);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(6, 96, 150, 142);
    Image1->setScaledContents(true);
    Image1->setPixmap(QPixmap::fromImage(LogoImage()));

    LabelNomeVersione = MakeLabel(this, "LabelNomeVersione", QStringLiteral("Versione"), 186, 104);
    Style(LabelNomeVersione, blueBold);
    LabelVers = MakeLabel(this, "LabelVers", QStringLiteral("04.2003-10"), 179, 120);
    Style(LabelVers, blueBold);

    sbEsci =
        MakeToolButton(this, "sbEsci", QStringLiteral("Esci"), QStyle::SP_DialogCloseButton, QRect(170, 213, 81, 22));
    connect(sbEsci, &QToolButton::clicked, this, Guarded([this] { sbEsciClick(); }));

    Panel2 = new QWidget(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(0, 296 - 49, 258, 49);

    const QString link = QStringLiteral("color: #0000ff; text-decoration: underline;");
    lblLink = MakeLabel(Panel2, "lblLink", kSitoProduttore, 80, 19);
    lblLink->setFont(TahomaFont());
    Style(lblLink, link);
    Label13 = MakeLabel(Panel2, "Label13", kMailSupporto, 97, 32);
    Label13->setFont(TahomaFont());
    Style(Label13, link);
    OnLabelClick(lblLink, [this] { lblLinkClick(); });
    OnLabelClick(Label13, [this] { Label13Click(); });
}

void TFrmAbout::sbEsciClick()
{
    close();
}

void TFrmAbout::lblLinkClick()
{
    ApriFile(IndirizzoSitoProduttore());
}

void TFrmAbout::Label13Click()
{
    InviaMail(kMailSupporto, QStringLiteral("Inf: ") + LabelPrg->text() + QStringLiteral(", ") + LabelVers->text(),
              QStringLiteral("Vorrei ricevere informazioni in più per quanto riguarda:"));
}
