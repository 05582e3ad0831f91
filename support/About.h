#pragma once

#include <QDialog>

class QLabel;
class QToolButton;

// The about window. Its labels LabelPrg and LabelVers are the program's
// identity, read by the main, start, bug-report and version check windows.
class TFrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TFrmAbout(QWidget *parent = nullptr);

    QLabel *Label2;
    QLabel *LabelPrg;
    QLabel *Label6;
    QLabel *Image1;
    QLabel *LabelNomeVersione;
    QLabel *LabelVers;
    QToolButton *sbEsci;
    QWidget *Panel2;
    QLabel *lblLink;
    QLabel *Label13;

    void sbEsciClick();
    void lblLinkClick();
    void Label13Click();
};
