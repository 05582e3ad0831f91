#include "support/Bug.h"

#include "fx/Fx.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Look.h"
#include "support/About.h"

#include <QLabel>
#include <QMouseEvent>
#include <QStyle>
#include <QToolButton>

TfrmBug::TfrmBug(TFrmAbout *about, QWidget *parent) : QDialog(parent), about_(about)
{
    setObjectName(QStringLiteral("frmBug"));
    setWindowTitle(QStringLiteral("Segnalazione bug al team TVX"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(296, 144);

    Label4 = MakeLabel(this, "Label4", QStringLiteral("Il tuo supporto è la miglioria dei programmi TVX!"), 8, 8);
    QFont bold = Label4->font();
    bold.setBold(true);
    Label4->setFont(bold);
    Label4->adjustSize();
    Label1 =
        MakeLabel(this, "Label1", QStringLiteral("Premi su \"segnala\" per preparare la segnalazione del bug:"), 8, 32);
    sbScrivici = MakeToolButton(this, "sbScrivici", QStringLiteral("Segnala"), QStyle::SP_DialogApplyButton,
                                QRect(52, 65, 80, 24));
    sbScrivici->setFont(bold);
    sbEsci =
        MakeToolButton(this, "sbEsci", QStringLiteral("Esci"), QStyle::SP_DialogCloseButton, QRect(151, 65, 80, 24));
    Label2 = MakeLabel(this, "Label2", QStringLiteral("Le risposte ai bug già segnalati sono visibli sulla sezione"), 7,
                       105);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("forum del nostro sito internet"), 7, 121);
    // The label shows the site it opens. It ends the sentence of Label3, so
    // it stands after it, where the layout put it unless the sentence runs
    // longer in this face.
    lblLink = MakeLabel(this, "lblLink", kSitoProduttore, 142, 120);
    lblLink->setFont(TahomaFont());
    lblLink->setStyleSheet(QStringLiteral("color: #0000ff; text-decoration: underline;"));
    lblLink->adjustSize();
    lblLink->move(qMax(142, Label3->geometry().right() + 1 + Label3->fontMetrics().horizontalAdvance(QLatin1Char(' '))),
                  120);
    OnLabelClick(lblLink, [this] { lblLinkClick(); });

    connect(sbScrivici, &QToolButton::clicked, this, Guarded([this] { sbScriviciClick(); }));
    connect(sbEsci, &QToolButton::clicked, this, Guarded([this] { sbEsciClick(); }));
}

void TfrmBug::sbScriviciClick()
{
    InviaMail(kMailSupporto,
              QStringLiteral("Bug: ") + about_->LabelPrg->text() + QStringLiteral(", ") + about_->LabelVers->text(),
              QStringLiteral("Di seguito la segnalzione del bug:"));
}

// Whatever the label shows, the link goes to the maker's site.
void TfrmBug::lblLinkClick()
{
    ApriFile(IndirizzoSitoProduttore());
}

void TfrmBug::sbEsciClick()
{
    close();
}
