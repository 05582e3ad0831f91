#pragma once

#include "app/Corsa.h"

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
class BloccoLista;
class BrowserControl;
class TFrmAbout;
class TfrmStart;
class TFrmOpzioni;
class THttpCli;
class TMemoryStream;

// The program's main window: the list files, the preview of the chosen list,
// the run over it and the doors to every other window.
// The run itself is a Corsa of its own; the window starts it, shows what it
// reports and answers its questions, and the run never calls the window.
class TfrmMain : public QMainWindow, private OsservatoreCorsa {
    Q_OBJECT
    // First of all members: the run's state below is the run's own.
    std::unique_ptr<Corsa> corsa_;

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
    // The run's time-out timer and the client of its text-mode visits; they
    // live as long as the window.
    QTimer *const TimerOut;
    THttpCli *const HttpCli1;

    QMenu *mnuSetup;
    QAction *mnuSetupDate;
    QMenu *Utilit1;
    QAction *AggiornaVersione1;
    QAction *Segnalabug1;
    QMenu *mnuHelp;
    QAction *mnuHelpHelp;
    QAction *mnuHelpSeparator;
    QAction *About1;

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
    QStringList RigheLog() const { return corsa_->RigheLog(); }
    // The lines of the page-source memo.
    QStringList RigheCodice() const;
    // Re-reads the list files of the program's folder.
    void AggiornaElencoListe();
    BrowserControl *Browser() const { return corsa_->Browser(); }
    bool InEsecuzione() const { return inEsecuzione_; }
    // The run itself, for tests: the window only ever acts on it through its
    // methods and hears of it through its observer.
    Corsa &CorsaInMano() const { return *corsa_; }

    // Failed visits since the run began or since the last failure warning,
    // as the run's reports tell them.
    std::int32_t AccessiFalliti = 0;
    // Hooks for tests, handed on to the run (Corsa::PrimaDellaVisita,
    // Corsa::DurataAttesa).
    std::function<void(const QString &url)> PrimaDellaVisita;
    std::function<std::uint32_t(std::uint32_t ms)> DurataAttesa;

protected:
    bool event(QEvent *event) override;
    void setVisible(bool visible) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // The Url line: the site, after "http://" unless it names its own scheme.
    void MostraSito(const QString &sito);
    void CreaControlli();
    void CreaMenu();
    void AggiornaMemoLog();
    void MostraAvanzamento();
    void RitmoRun();
    void FineRitmo();
    void MostraCodice();
    void ImpostaStatoControlli(bool running);
    void MostraVuota();
    void MostraModale(QDialog *dialog);
    // The window takes exactly the room of its controls, no more, no less.
    void FissaDimensioni();
    // Where the page-source memo goes: a band of its own below the buttons.
    QRect RettangoloCodice() const;

    // What the run reports, shown.
    void RigaLog(const QString &riga) override;
    void LogSvuotato() override;
    void Stato(const QString &testo) override;
    void InizioVoce(const QString &sito, const QString &volte, qint64 accessi) override;
    void Avanzamento(qint64 fatti) override;
    void FineVoce() override;
    void PaginaRicevuta(const TMemoryStream *pagina) override;
    void Avviso(const QString &testo) override;
    void Errore(const QString &testo) override;
    void ErroreImprevisto(std::exception_ptr errore) override;
    bool TroppiFallimenti(const QString &domanda) override;
    void Pausa(const QString &messaggio) override;
    void VisitaFatta(const RigaVisita &riga) override;
    void VisiteFinite() override;
    Resoconto ChiediResoconto(bool interrotto) override;
    void ApriLog(const QString &percorso) override;
    void Fine(const EsitoCorsa &esito) override;

    TFrmAbout *about_ = nullptr;
    TfrmStart *start_ = nullptr;
    TFrmOpzioni *opzioni_ = nullptr;
    qsizetype righeMostrate_ = 0; // lines of the run's log already in MemoLogOperazio
    qint64 accessiFatti_ = 0;     // visits of the current entry; PrgBar1 shows it at the next frame
    qint64 accessiVoce_ = 0;      // and how many it asks for
    QTimer *ritmo_ = nullptr;
    QByteArray codiceNascosto_; // the last page, while DisplayMemo is hidden
    bool mostrata_ = false;
    bool inEsecuzione_ = false;
    bool chiusuraRichiesta_ = false;
    bool domandaRipresa_ = false;         // the resume question is up
    std::unique_ptr<BloccoLista> blocco_; // the list of the run in hand
};
