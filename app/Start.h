#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QTimer;
class QWidget;
class TFrmAbout;

// Shown alone for ten seconds while the main window comes up.
class TfrmStart : public QDialog {
    Q_OBJECT
public:
    // mostraPrincipale makes the main window visible when the time is up.
    TfrmStart(TFrmAbout *about, std::function<void()> mostraPrincipale, QWidget *parent = nullptr);

    QLabel *ImageLogo;
    QWidget *Panel1;
    QLabel *Label1;
    QTimer *TimerStart;

    void FormCreate();
    void FormShow();
    void TimerStartTimer();
    void ImageLogoClick();

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    TFrmAbout *about_;
    std::function<void()> mostraPrincipale_;
};
