#pragma once

#include <QMainWindow>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;
class QToolButton;
#include "platform/ui/BrowserControl.h"
class TFrmAbout;
class TfrmStart;
class TFrmOpzioni;
class THttpCli;
class TMemoryStream;
#include "app/RegistroVisite.h"
#include <QDeadlineTimer>
#include <optional>

// The program's main window: the list files, the preview of the chosen list,
// the run over it and the doors to every other window.
class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    // browser: the embedded browser control for graphic visits; tests give a fake.
    explicit TfrmMain(std::unique_ptr<BrowserControl> browser = nullptr);
    ~TfrmMain() override;

    // The windows created after this one at program start.
    void Collega(TFrmAbout *about, TfrmStart *start, TFrmOpzioni *opzioni);

    // Controls, named as the program knows them.
    QWidget *Panel1;
    QLabel *Label12;
    QPlainTextEdit *MemoLogOperazio;
    QLabel *Label11;
    QListWidget *MemoLista;
    QLabel *Label10;
    QToolButton *sbGestListe;
    QListWidget *BoxElencoListe;
    QWidget *WebBrowser;
    QPlainTextEdit *DisplayMemo;
    QLabel *Label3;
    QLabel *Label4;
    QLabel *LabelSito;
    QLabel *Label1;
    QLabel *LabelVolte;
    QLabel *Label14;
    QLabel *LabelListaProvenienza;
    QPushButton *btInizia;
    QPushButton *BtEsci;
    QLabel *Label7;
    QProgressBar *PrgBar1;
    QWidget *pnlPulsanti;
    QWidget *Panel2;
    QLabel *Image1;
    QLabel *Label13;
    QLabel *lblLink;
    QLabel *Label15;
    QToolButton *sbcontrollaVersione;
    QToolButton *sbBug;
    QToolButton *sbPausa;
    QToolButton *sbInterrompi;
    QToolButton *sbInfo;
    QToolButton *sbHelp;
    QStatusBar *StatusBar;
    QTimer *TimerOut;
    // The client of text-mode visits; it lives as long as the window.
    std::unique_ptr<THttpCli> HttpCli1;

    QMenu *mnuSetup;
    QAction *mnuSetupDate;
    QMenu *Utilit1;
    QAction *AggiornaVersione1;
    QAction *Segnalabug1;
    QMenu *mnuHelp;
    QAction *mnuHelpHelp;
    QAction *mnuHelpSeparator;
    QAction *About1;

    // Run state.
    bool Interrotto = false;
    bool PausaRichiesta = false;
    bool PaginaCaricata = false;
    std::int32_t AccessiFalliti = 0;

    // Handlers.
    void FormCreate();
    void FormShow();
    void BoxElencoListeClick();
    void MemoListaClick();
    void btIniziaClick();
    void sbInterrompiClick();
    void sbPausaClick();
    void TimerOutTimer();
    void WebBrowserDocumentComplete(const QString &url);
    void sbGestListeClick();
    void sbcontrollaVersioneClick();
    void sbBugClick();
    void sbInfoClick();
    void mnuSetupDateClick();
    void sbHelpClick();
    void lblLinkClick();
    void Label15Click();
    void BtEsciClick();

    // Appends the received bytes to memo, one line per line of the page.
    static void StreamInMemo(QPlainTextEdit *memo, const TMemoryStream &stream);

    // The lines of the on-screen log, as the log file gets them.
    QStringList RigheLog() const { return righeLog_; }
    // The lines of the page-source memo.
    QStringList RigheCodice() const;
    // Re-reads the list files of the program's folder.
    void AggiornaElencoListe();
    BrowserControl *Browser() const { return browser_.get(); }
    bool InEsecuzione() const { return inEsecuzione_; }

    // A hook for tests: called right before each visit, with the address.
    std::function<void(const QString &url)> PrimaDellaVisita;
    // A hook for tests: how long a wait of the run really lasts, given the
    // milliseconds it was asked for (the 10 s and 5 s bandwidth pauses).
    std::function<std::uint32_t(std::uint32_t ms)> DurataAttesa;

protected:
    bool event(QEvent *event) override;
    void setVisible(bool visible) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void CreaControlli();
    void CreaMenu();
    void AggiungiLog(const QString &text);
    void AggiornaMemoLog();
    void MostraAvanzamento();
    void RitmoRun();
    void FineRitmo();
    void MostraCodice();
    void PulisciLog();
    void LogFatto();
    void LogErrore();
    void AccessoGrafico(const QString &url);
    void AccessoTesto(const QString &url);
    void Accesso(int i);
    void FineMultiAccesso();
    void ImpostaStatoControlli(bool running);
    void MostraVuota();
    void MostraModale(QDialog *dialog);
    // Waits ms milliseconds with the window alive: drawn, Pausa showing its
    // message at once, Interrompi ending the wait. ogniSecondo gets the
    // milliseconds still to wait, about once a second. False when interrupted.
    bool AttesaViva(std::uint32_t ms, const std::function<void(std::uint32_t restano)> &ogniSecondo = {});
    void MostraPausa();
    // The wait a server asked for (429 or 503), shown counting down in the
    // status bar. False when interrupted.
    bool AttesaServer(qint64 ms);
    // After a text visit: how long the server asked us to wait, noted in the
    // visit's reason and kept for the next visit.
    void CortesiaVersoServer();
    void RegistraVisita();
    // The window takes exactly the room of its controls, no more, no less.
    void FissaDimensioni();
    // Where the page-source memo goes: a band of its own below the buttons.
    QRect RettangoloCodice() const;

    std::unique_ptr<BrowserControl> browser_;
    TFrmAbout *about_ = nullptr;
    TfrmStart *start_ = nullptr;
    TFrmOpzioni *opzioni_ = nullptr;
    QStringList righeLog_;
    qsizetype righeMostrate_ = 0; // lines of righeLog_ already in MemoLogOperazio
    int accessiFatti_ = 0;        // visits of the current entry; PrgBar1 shows it at the next frame
    QTimer *ritmo_ = nullptr;
    QByteArray codiceNascosto_; // the last page, while DisplayMemo is hidden
    bool mostrata_ = false;
    bool inEsecuzione_ = false;
    bool chiusuraRichiesta_ = false;
    bool attesaPagina_ = false;
    // The visit record of the run in hand, and what goes into its next row.
    std::unique_ptr<RegistroVisite> registro_;
    RigaVisita visita_;
    QString listaRun_;
    int volteVoce_ = 0;
    QString erroreRegistro_; // the first row that could not be written, reported at the end
    int righeNonScritte_ = 0;
    bool timeoutScattato_ = false;
    std::optional<QDeadlineTimer> attesaServer_; // the moment a server let us come back
};
