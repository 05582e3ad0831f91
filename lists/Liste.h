#pragma once

#include "platform/Exception.h"

#include <QDialog>
#include <QListWidget>
#include <functional>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

// An index into a list that holds no such item ("List index out of bounds (-1)").
class EListError : public Exception {
public:
    using Exception::Exception;
};

// A single-choice list box with the old control's manners: the selected position
// is ItemIndex (-1 for none), OnClick runs on every selection change the user makes
// (mouse or keyboard) and on a mouse press on the entry already selected, never on a
// change the program makes itself.
class TListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TListBox(QWidget *parent = nullptr);

    int ItemIndex() const;
    void SetItemIndex(int index);
    QStringList Items() const;
    void SetItems(const QStringList &items);
    QString Item(int index) const;
    void InsertItem(int index, const QString &text);
    void DeleteItem(int index);
    void Exchange(int a, int b);

    std::function<void()> OnClick;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex &index,
                                                         const QEvent *event = nullptr) const override;
    void mousePressEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;

private:
    void Click();
    bool pressing_ = false;
    bool changedByPress_ = false;
};

// The list editor: builds a site list entry by entry, orders it, saves it under a
// name, loads it back and deletes lists. The main window creates one per showing.
// mostraCodiceHtml reveals the main window's page-source memo (the hidden switch
// typed into the address field).
class TfrmListe : public QDialog {
    Q_OBJECT
public:
    explicit TfrmListe(std::function<void()> mostraCodiceHtml = {}, QWidget *parent = nullptr);

    void FormShow();
    void sbAggiungiClick();
    void sbRimuoviClick();
    void sbSpostaSuClick();
    void sbSpostaGiuClick();
    void MemoListaClick();
    void sbSalvalistaClick();
    void sbCancellaListaClick();
    void sbCaricaClick();
    void BoxElencoListeClick();
    void EditSitoExit();
    void sbEsciClick();

    // The key press handlers get the typed character and may swallow it by
    // setting it to 0, as the count field's filter does.
    void EditSitoKeyPress(QChar &key);
    void EdVolteKeyPress(QChar &key);
    void EditNomeListaKeyPress(QChar &key);

    bool Modificato() const { return modificato_; }

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void reject() override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ImpostaSpostamenti();
    void LeggiElencoListe();
    void AggiornaCancella();
    void SvuotaMemoLista();
    void AzzeraCampi();
    bool MemoListaVuota() const;
    bool PuoUscire();
    // The hidden switch, given the address field's text as the focus left it.
    void UscitaSito(const QString &testo);

    std::function<void()> mostraCodiceHtml_;
    bool modificato_ = false;

    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *Label4;
    QLabel *Label5;
    QLineEdit *EditSito;
    QLineEdit *EdVolte;
    QLineEdit *EditNomeLista;
    QPushButton *sbAggiungi;
    QPushButton *sbRimuovi;
    QPushButton *sbSpostaSu;
    QPushButton *sbSpostaGiu;
    QPushButton *sbSalvalista;
    QPushButton *sbCancellaLista;
    QPushButton *sbCarica;
    QPushButton *sbEsci;
    TListBox *MemoLista;
    TListBox *BoxElencoListe;
    QFrame *Panel1;
};
