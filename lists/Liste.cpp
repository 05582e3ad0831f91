#include "lists/Liste.h"

#include "platform/ui/Controls.h"

#include "fx/Fx.h"
#include "lists/SiteList.h"
#include "platform/Files.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Look.h"

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>

namespace {
constexpr int kLimiteSito = 200;
constexpr int kLimiteVolte = 5;
// Beyond this many entries the editor stops taking additions; a remove lifts it.
constexpr int kMassimoVoci = 50;

// The character a key press types, as the old edit controls received it: Enter,
// Backspace and Escape are characters, Ctrl+letter is the matching control
// character, Tab moves the focus and types nothing, Alt combinations are menu keys.
QChar CarattereDigitato(const QKeyEvent &event)
{
    const int key = event.key();
    // Delete is an editing key, although X11 and Wayland give it the text 0x7f.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Delete || (event.modifiers() & Qt::AltModifier))
        return {};
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        return QChar(13);
    if (key == Qt::Key_Backspace)
        return QChar(8);
    if (key == Qt::Key_Escape)
        return QChar(27);
    if ((event.modifiers() & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        return QChar(key - Qt::Key_A + 1);
    const QString text = event.text();
    return text.isEmpty() ? QChar() : text.front();
}

// The field shows a text loaded from a file whole, even past the typing limit:
// cutting it would make the edited copy differ silently from the entry.
void MostraTesto(QLineEdit *edit, const QString &text, int limite)
{
    edit->setMaxLength(qMax<int>(limite, text.size()));
    edit->setText(text);
}

QPushButton *NuovoPulsante(QWidget *parent, const char *name, const QString &text, QStyle::StandardPixmap picture,
                           const QRect &geometry)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(text);
    button->setIcon(parent->style()->standardIcon(picture));
    // Enter in a field acts on its own; no button is the dialog's default.
    button->setAutoDefault(false);
    button->setIconSize(QSize(12, 12));
    // Pressing a button leaves the focus where it was, so the hidden switch and
    // the Enter keys keep working on the field the user was in.
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(geometry);
    return button;
}

QLineEdit *NuovoCampo(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(geometry);
    return edit;
}
} // namespace

TListBox::TListBox(QWidget *parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    // Every entry is one line in one font: measuring each of a list of
    // 100,000 entries took most of a second for nothing.
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
        if (pressing_)
            changedByPress_ = true;
        Click();
    });
}

int TListBox::ItemIndex() const
{
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.front().row();
}

void TListBox::SetItemIndex(int index)
{
    const QSignalBlocker quiet(this);
    if (index < 0 || index >= count()) {
        selectionModel()->clear();
        return;
    }
    const QModelIndex at = model()->index(index, 0);
    selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect);
    scrollTo(at);
}

QStringList TListBox::Items() const
{
    QStringList items;
    items.reserve(count());
    for (int i = 0; i < count(); ++i)
        items.append(item(i)->text());
    return items;
}

void TListBox::SetItems(const QStringList &items)
{
    const QSignalBlocker quiet(this);
    clear();
    addItems(items);
    selectionModel()->clear();
}

QString TListBox::Item(int index) const
{
    if (index < 0 || index >= count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return item(index)->text();
}

void TListBox::InsertItem(int index, const QString &text)
{
    const QSignalBlocker quiet(this);
    insertItem(index, text);
}

void TListBox::DeleteItem(int index)
{
    const QSignalBlocker quiet(this);
    delete takeItem(index);
    selectionModel()->clear();
}

void TListBox::Exchange(int a, int b)
{
    // Both positions are checked before anything moves: a failed move leaves the list whole.
    const QString first = Item(a);
    const QString second = Item(b);
    const QSignalBlocker quiet(this);
    item(a)->setText(second);
    item(b)->setText(first);
}

QItemSelectionModel::SelectionFlags TListBox::selectionCommand(const QModelIndex &index, const QEvent *event) const
{
    // The old list box keeps its selection when the user clicks below the last
    // entry, right-clicks, or Ctrl-clicks the selected entry.
    if (!index.isValid())
        return QItemSelectionModel::NoUpdate;
    if (event && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) &&
        static_cast<const QMouseEvent *>(event)->button() != Qt::LeftButton)
        return QItemSelectionModel::NoUpdate;
    const QItemSelectionModel::SelectionFlags command = QListWidget::selectionCommand(index, event);
    if (command & QItemSelectionModel::Deselect)
        return QItemSelectionModel::NoUpdate;
    return command;
}

void TListBox::mousePressEvent(QMouseEvent *event)
{
    const int before = ItemIndex();
    const bool onItem = indexAt(event->position().toPoint()).isValid();
    pressing_ = true;
    changedByPress_ = false;
    QListWidget::mousePressEvent(event);
    pressing_ = false;
    // A click on the entry already selected is still a click.
    if (onItem && event->button() == Qt::LeftButton && !changedByPress_ && before >= 0 && ItemIndex() == before)
        Click();
}

void TListBox::focusInEvent(QFocusEvent *event)
{
    QListWidget::focusInEvent(event);
    // Qt makes the first row current on focus; then Down would skip it. With
    // nothing selected, the first arrow key must select the first entry.
    if (ItemIndex() < 0 && currentIndex().isValid()) {
        const QSignalBlocker quiet(this);
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
}

void TListBox::Click()
{
    if (OnClick)
        RunGuarded(OnClick);
}

TfrmListe::TfrmListe(std::function<void()> mostraCodiceHtml, QWidget *parent)
    : QDialog(parent), mostraCodiceHtml_(std::move(mostraCodiceHtml))
{
    setObjectName(QStringLiteral("frmListe"));
    setWindowTitle(QStringLiteral("Gestione liste"));
    // No close box and no system menu: "Esci" is the way out.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(584, 214);
    // Modal to its owner only: the message boxes have no owner, and under an
    // application-modal window they would be blocked and could never be answered.
    setWindowModality(Qt::WindowModal);
    // Created in tab order: the address field comes first and takes the focus.
    Label3 = MakeLabel(this, "Label3", QStringLiteral("Sito Web:"), 5, 5, true);
    Label4 = MakeLabel(this, "Label4", QStringLiteral("http://"), 5, 24, false);
    EditSito = NuovoCampo(this, "EditSito", QRect(40, 20, 344, 20));
    EditSito->setFont(VerdanaFont(10));
    EditSito->setMaxLength(kLimiteSito);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("N. di accessi"), 5, 51, true);
    EdVolte = NuovoCampo(this, "EdVolte", QRect(83, 46, 42, 21));
    EdVolte->setMaxLength(kLimiteVolte);
    EdVolte->setText(QStringLiteral("1"));
    sbAggiungi = NuovoPulsante(this, "sbAggiungi", QStringLiteral("Aggiungi url alla lista"),
                               QStyle::SP_DialogApplyButton, QRect(128, 45, 125, 22));
    sbRimuovi = NuovoPulsante(this, "sbRimuovi", QStringLiteral("Rimuovi url dalla lista"),
                              QStyle::SP_DialogDiscardButton, QRect(258, 45, 125, 22));
    sbRimuovi->setEnabled(false);

    MemoLista = new TListBox(this);
    MemoLista->setObjectName(QStringLiteral("MemoLista"));
    MemoLista->setGeometry(4, 71, 357, 141);
    MemoLista->setFont(SmallFont());
    QPalette colori = MemoLista->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colori.setColor(group, QPalette::Base, Qt::black);
        colori.setColor(group, QPalette::Text, Qt::yellow);
    }
    MemoLista->setPalette(colori);
    MemoLista->SetItems({kVuota});

    sbSpostaSu = NuovoPulsante(this, "sbSpostaSu", QString(), QStyle::SP_ArrowUp, QRect(368, 77, 17, 60));
    sbSpostaGiu = NuovoPulsante(this, "sbSpostaGiu", QString(), QStyle::SP_ArrowDown, QRect(368, 141, 17, 60));

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::VLine);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setGeometry(390, 2, 3, 210);

    Label2 = MakeLabel(this, "Label2", QStringLiteral("Nome lista:"), 398, 5, true);
    EditNomeLista = NuovoCampo(this, "EditNomeLista", QRect(399, 19, 180, 21));
    sbSalvalista = NuovoPulsante(this, "sbSalvalista", QStringLiteral("Salva Lista"), QStyle::SP_DialogSaveButton,
                                 QRect(398, 42, 90, 22));
    sbCancellaLista = NuovoPulsante(this, "sbCancellaLista", QStringLiteral("Cancella lista"), QStyle::SP_TrashIcon,
                                    QRect(490, 42, 90, 22));
    Label5 = MakeLabel(this, "Label5", QStringLiteral("Elenco liste:"), 398, 65, true);
    BoxElencoListe = new TListBox(this);
    BoxElencoListe->setObjectName(QStringLiteral("BoxElencoListe"));
    BoxElencoListe->setGeometry(398, 80, 182, 106);
    sbCarica = NuovoPulsante(this, "sbCarica", QStringLiteral("Carica lista"), QStyle::SP_DialogOpenButton,
                             QRect(400, 190, 90, 22));
    sbEsci =
        NuovoPulsante(this, "sbEsci", QStringLiteral("Esci"), QStyle::SP_DialogCloseButton, QRect(492, 190, 90, 22));

    // An address typed with its own scheme (https://) needs no "http://" in front.
    connect(EditSito, &QLineEdit::textChanged, this, Guarded([this](const QString &testo) {
                Label4->setVisible(IndirizzoVisita(testo.trimmed()) != testo.trimmed());
            }));
    connect(sbAggiungi, &QPushButton::clicked, this, Guarded([this](bool) { sbAggiungiClick(); }));
    connect(sbRimuovi, &QPushButton::clicked, this, Guarded([this](bool) { sbRimuoviClick(); }));
    connect(sbSpostaSu, &QPushButton::clicked, this, Guarded([this](bool) { sbSpostaSuClick(); }));
    connect(sbSpostaGiu, &QPushButton::clicked, this, Guarded([this](bool) { sbSpostaGiuClick(); }));
    connect(sbSalvalista, &QPushButton::clicked, this, Guarded([this](bool) { sbSalvalistaClick(); }));
    connect(sbCancellaLista, &QPushButton::clicked, this, Guarded([this](bool) { sbCancellaListaClick(); }));
    connect(sbCarica, &QPushButton::clicked, this, Guarded([this](bool) { sbCaricaClick(); }));
    connect(sbEsci, &QPushButton::clicked, this, Guarded([this](bool) { sbEsciClick(); }));
    MemoLista->OnClick = [this] { MemoListaClick(); };
    BoxElencoListe->OnClick = [this] { BoxElencoListeClick(); };
    for (QLineEdit *edit : {EditSito, EdVolte, EditNomeLista})
        edit->installEventFilter(this);

    LeggiElencoListe();

    if (QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TfrmListe::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    RunGuarded([this] { FormShow(); });
}

void TfrmListe::FormShow()
{
    LeggiElencoListe();
    AggiornaCancella();
    ImpostaSpostamenti();
    modificato_ = false;
}

bool TfrmListe::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && (watched == EditSito || watched == EdVolte || watched == EditNomeLista)) {
        QChar key = CarattereDigitato(*static_cast<QKeyEvent *>(event));
        if (key.isNull())
            return false;
        RunGuarded([&] {
            if (watched == EditSito)
                EditSitoKeyPress(key);
            else if (watched == EdVolte)
                EdVolteKeyPress(key);
            else
                EditNomeListaKeyPress(key);
        });
        // A swallowed character reaches neither the field nor the dialog.
        return key.isNull();
    }
    if (event->type() == QEvent::FocusOut && watched == EditSito) {
        // Only a move to another control of this window counts; a message box
        // or another window taking the focus does not.
        QWidget *next = QApplication::focusWidget();
        if (next && next != EditSito && isAncestorOf(next)) {
            // The text is taken now: a click on a list moves the focus first and
            // then runs the list's handler, which refills or empties the field.
            // The rest runs after the focus change has finished, not in the
            // middle of it: the information box has a message loop of its own.
            const QString testo = EditSito->text();
            QTimer::singleShot(0, this, Guarded([this, testo] { UscitaSito(testo); }));
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmListe::EditSitoKeyPress(QChar &key)
{
    modificato_ = true;
    if (key == QChar(13)) {
        key = QChar();
        if (sbAggiungi->isEnabled())
            sbAggiungiClick();
    }
}

void TfrmListe::EdVolteKeyPress(QChar &key)
{
    modificato_ = true;
    // Only what would be typed into the field is filtered; control characters
    // (Ctrl+A, C, V, X, Z) are the field's editing commands.
    const bool digitato = key.unicode() >= 0x20 && key.unicode() != 0x7f;
    if (digitato && !SoloNumeri(key)) {
        key = QChar();
        return;
    }
    if (key == QChar(13)) {
        key = QChar();
        if (sbAggiungi->isEnabled())
            sbAggiungiClick();
    }
}

void TfrmListe::EditNomeListaKeyPress(QChar &key)
{
    modificato_ = true;
    if (key == QChar(13)) {
        key = QChar();
        if (sbSalvalista->isEnabled())
            sbSalvalistaClick();
    }
}

void TfrmListe::keyPressEvent(QKeyEvent *event)
{
    // The editor has no Cancel button: Escape does not close it, and Enter in a
    // list box presses nothing.
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            break;
        }
    }
    QDialog::keyPressEvent(event);
}

void TfrmListe::reject()
{
    // Reached when the window manager closes the window anyway (Alt+F4): the same
    // question as "Esci", so typed changes are not lost without warning.
    bool esci = false;
    RunGuarded([&] { esci = PuoUscire(); });
    if (esci)
        QDialog::reject();
}

bool TfrmListe::MemoListaVuota() const
{
    return MemoLista->count() > 0 && MemoLista->item(0)->text() == kVuota;
}

void TfrmListe::SvuotaMemoLista()
{
    MemoLista->SetItems({kVuota});
}

void TfrmListe::AzzeraCampi()
{
    EditSito->setMaxLength(kLimiteSito);
    EditSito->clear();
    EdVolte->setMaxLength(kLimiteVolte);
    EdVolte->setText(QStringLiteral("1"));
}

void TfrmListe::LeggiElencoListe()
{
    BoxElencoListe->SetItems(EnumeraListe());
}

void TfrmListe::AggiornaCancella()
{
    sbCancellaLista->setEnabled(BoxElencoListe->count() > 0);
}

void TfrmListe::ImpostaSpostamenti()
{
    const int i = MemoLista->ItemIndex();
    sbSpostaGiu->setEnabled(i != MemoLista->count() - 1);
    sbSpostaSu->setEnabled(i != 0);
}

void TfrmListe::sbAggiungiClick()
{
    // A count that is no whole number raises here, before anything changed.
    const EsitoVoce esito = ControllaVoce(EditSito->text(), EdVolte->text());
    if (esito != EsitoVoce::Ok) {
        MsgAttenzione(AvvisoVoce(esito));
        if (esito == EsitoVoce::PrefissoPresente)
            EditSito->setFocus();
        return;
    }
    const QString voce = ComponiVoce(EditSito->text(), EdVolte->text());
    if (MemoListaVuota())
        MemoLista->SetItems({});
    // The first entry selected appends: successive additions into a fresh list
    // then keep their order.
    const int selezione = MemoLista->ItemIndex();
    const int posizione = selezione > 0 ? selezione + 1 : selezione == 0 ? MemoLista->count() : 0;
    MemoLista->InsertItem(posizione, voce);
    MemoLista->SetItemIndex(posizione);
    AzzeraCampi();
    if (MemoLista->count() == kMassimoVoci)
        sbAggiungi->setEnabled(false);
    sbRimuovi->setEnabled(true);
    ImpostaSpostamenti();
}

void TfrmListe::sbRimuoviClick()
{
    sbAggiungi->setEnabled(true);
    const int i = MemoLista->ItemIndex();
    if (i >= 0)
        MemoLista->DeleteItem(i);
    if (MemoLista->count() == 0)
        SvuotaMemoLista();
    if (MemoListaVuota())
        sbRimuovi->setEnabled(false);
    else
        ImpostaSpostamenti();
}

void TfrmListe::sbSpostaSuClick()
{
    const int i = MemoLista->ItemIndex();
    MemoLista->Exchange(i, i - 1);
    MemoLista->SetItemIndex(i - 1);
    ImpostaSpostamenti();
}

void TfrmListe::sbSpostaGiuClick()
{
    const int i = MemoLista->ItemIndex();
    MemoLista->Exchange(i, i + 1);
    MemoLista->SetItemIndex(i + 1);
    ImpostaSpostamenti();
}

void TfrmListe::MemoListaClick()
{
    ImpostaSpostamenti();
    const int i = MemoLista->ItemIndex();
    if (MemoListaVuota() || i < 0)
        return;
    const VoceSito voce = DividiVoce(MemoLista->Item(i));
    MostraTesto(EditSito, voce.sito, kLimiteSito);
    MostraTesto(EdVolte, voce.volte, kLimiteVolte);
}

void TfrmListe::sbSalvalistaClick()
{
    const QString nome = EditNomeLista->text();
    if (nome.isEmpty()) {
        MsgAttenzione(QStringLiteral("Impossibile salvare la lista, inserire il nome della lista!"));
        EditNomeLista->setFocus();
        return;
    }
    if (MemoListaVuota()) {
        MsgAttenzione(QStringLiteral("Impossibile salvare la lista, la lista lista stessa è vuota!"));
        EditSito->setFocus();
        return;
    }
    try {
        if (FileExists(CartellaProgramma() + nome + QStringLiteral(".tvx")) &&
            !MsgRichiesta(QStringLiteral("Esiste già una lista con il nome \"") + nome +
                          QStringLiteral("\", sovrascrivere tale lista?")))
            return;
        ScriviLista(nome, MemoLista->Items());
    } catch (const std::exception &) {
        MsgErrore(QStringLiteral("Errore durante il salvataggio della lista."));
        return;
    }
    modificato_ = false;
    MsgInfo(QStringLiteral("Salvataggio lista eseguito."));
    EditNomeLista->clear();
    SvuotaMemoLista();
    LeggiElencoListe();
    // The new list can be deleted at once, even when it is the first one.
    AggiornaCancella();
}

void TfrmListe::sbCancellaListaClick()
{
    const int i = BoxElencoListe->ItemIndex();
    if (i < 0) {
        MsgErrore(QStringLiteral("Errore durante l'eliminazione della lista."));
    } else {
        const QString item = BoxElencoListe->Item(i);
        if (MsgRichiesta(QStringLiteral("Cacnellare la lista ") + item + QStringLiteral(" definitivamente?"))) {
            if (!EliminaLista(item)) {
                // A list still on disk must not look deleted.
                MsgErrore(QStringLiteral("Errore durante l'eliminazione della lista."));
            } else {
                modificato_ = false;
                EditNomeLista->clear();
                SvuotaMemoLista();
                LeggiElencoListe();
            }
        }
    }
    AggiornaCancella();
}

void TfrmListe::sbCaricaClick()
{
    const int i = BoxElencoListe->ItemIndex();
    if (i < 0) {
        MsgAttenzione(QStringLiteral("Nessuna lista caricata!\rSelezionare una lista e premere carica lista."));
        return;
    }
    AzzeraCampi();
    const QString item = BoxElencoListe->Item(i);
    // A file that cannot be read raises before the list box is touched.
    const QStringList righe = LeggiLista(item);
    // A refused file is never turned into items (it may hold millions of lines).
    const bool valida = ListaValida(righe);
    MemoLista->SetItems(valida ? righe : QStringList{});
    EditNomeLista->setText(NomeLista(item));
    if (!valida) {
        MsgAttenzione(AvvisoListaNonValida(NomeLista(item)));
        SvuotaMemoLista();
        sbCancellaListaClick();
        SvuotaMemoLista();
        EditNomeLista->clear();
    }
    ImpostaSpostamenti();
    sbRimuovi->setEnabled(true);
}

void TfrmListe::BoxElencoListeClick()
{
    sbCaricaClick();
}

void TfrmListe::EditSitoExit()
{
    UscitaSito(EditSito->text());
}

void TfrmListe::UscitaSito(const QString &testo)
{
    if (testo != QLatin1String("quazo"))
        return;
    MsgInfo(QStringLiteral("Apertura visualizzatore riuscita."));
    if (mostraCodiceHtml_)
        mostraCodiceHtml_();
}

bool TfrmListe::PuoUscire()
{
    return !modificato_ || MsgRichiesta(QStringLiteral(
                               "Se sono state effettuate modifiche esse non verrano salvate, uscire comunque?"));
}

void TfrmListe::sbEsciClick()
{
    if (PuoUscire())
        QDialog::accept();
}
