#pragma once

#include "settings/SettingsFile.h"

#include <QDialog>
#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QToolButton;

// The options window. Its controls are the settings: the run reads them
// through Valori() before every visit, so a change counts from the next visit
// on, saved or not. One instance lives for the whole program.
class TFrmOpzioni : public QDialog {
    Q_OBJECT
public:
    explicit TFrmOpzioni(QWidget *parent = nullptr);

    // The five values as the controls hold them now.
    Impostazioni Valori() const;

    void FormShow();
    void sbSalvaImpClick();
    // Also called by the main window at program start when the file exists.
    void sbCaricaImpClick();
    void btnEsciClick();

    // Set by the program: the proxy graphic visits go through when it is not
    // the one given (the browser engine takes its proxy once, as it starts);
    // nothing when it is, or while graphic visits have not begun.
    std::function<std::optional<QString>(const QString &proxy)> ProxyGraficoAltro;

    // The controls are the settings; the main window and tests reach them by name.
    QLabel *Label8;
    QLineEdit *editProxy;
    QCheckBox *cbAvvisaDopo10;
    QCheckBox *cbTimerOut;
    QCheckBox *cbModalitaGrafica;
    QLabel *Label2;
    QLabel *Label9;
    QSlider *TrackBarBanda;
    QLabel *Label6;
    QLabel *Label5;
    QToolButton *sbCaricaImp;
    QToolButton *sbSalvaImp;
    QPushButton *btnEsci;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void ApplicaImpostazioni(const Impostazioni &values);
    // Tells the user, once per change, that graphic visits keep their proxy
    // until the program starts again.
    void AvvisaProxyGrafico();

    std::optional<QString> proxyAvvisato_;
};
