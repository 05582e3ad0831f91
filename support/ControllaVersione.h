#pragma once

#include "net/HttpProt.h"
#include "platform/ui/BrowserControl.h"
#include "support/Estrai.h"

#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QToolButton;
class TFrmAbout;

// Asks the maker's site for the number of the latest version, compares it with
// our own and, when the site has a newer one, starts its download.
class TFrmControllaVersione : public QDialog {
    Q_OBJECT
public:
    // about: where the program's identity is read. browser: the control that
    // makes the download; without one the real browser engine is used.
    explicit TFrmControllaVersione(TFrmAbout *about, QWidget *parent = nullptr,
                                   std::unique_ptr<BrowserControl> browser = nullptr);
    ~TFrmControllaVersione() override;

    // Testing hook: "host:port" that stands in for the maker's site in both
    // addresses of the windows created afterwards; empty restores the site.
    static void SetSitoPerTest(const QString &hostPort);

    QLabel *Label1;
    QLabel *LabVerAttuale;
    QLabel *Label2;
    QLabel *LabVerInternet;
    QLabel *LabMessaggioGrande;
    QLabel *LabMessaggioPiccolo;
    QToolButton *sbScarica;
    QToolButton *sbControlla;
    QToolButton *sbEsci;
    QPlainTextEdit *DisplayMemo;
    QListWidget *ListURL;
    QLineEdit *Editurl;
    std::unique_ptr<BrowserControl> WebBrowser1;
    THttpCli HttpCli1;

    void FormCreate();
    void FormActivate();
    void sbControllaClick();
    void sbScaricaClick();
    void sbEsciClick();

    const QString &IndirizzoRichiesta() const { return indirizzoRichiesta_; }
    bool Fallito() const { return fallito_; }

    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    // Sends the request and puts the reply's lines into DisplayMemo; false,
    // after telling the user, when the request failed.
    bool Preleva(QStringList &righe);
    void ColoraMessaggio(const QColor &colour);

    TFrmAbout *about_;
    QString identificativo_;
    QString indirizzoRichiesta_;
    CriterioEstrazione criterio_;
    int versioneAttuale_ = 0;
    bool fallito_ = false;
    bool attivata_ = false;
};
