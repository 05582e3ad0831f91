#pragma once

#include <QDialog>

class QLabel;
class QToolButton;
class TFrmAbout;

// Prepares a bug report mail to the maker.
class TfrmBug : public QDialog {
    Q_OBJECT
public:
    // about: where the program's identity is read at the moment of the click.
    explicit TfrmBug(TFrmAbout *about, QWidget *parent = nullptr);

    QLabel *Label4;
    QLabel *Label1;
    QToolButton *sbScrivici;
    QToolButton *sbEsci;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *lblLink;

    void sbScriviciClick();
    void lblLinkClick();
    void sbEsciClick();

private:
    TFrmAbout *about_;
};
