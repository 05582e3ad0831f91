#include "platform/ui/Look.h"
#include "app/Main.h"
#include "lists/Liste.h"
#include "platform/ui/MessageBox.h"
#include "support/About.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::UnorderedElementsAre;

TEST(Look, TheProgramsOwnQuestionBoxSpeaksItalian)
{
    // No responder: the real box comes up, and is read and answered from
    // inside its own loop. Should it never show, the guard ends the wait.
    QStringList captions;
    QTimer look;
    look.setInterval(10);
    QObject::connect(&look, &QTimer::timeout, [&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible()) {
                look.stop();
                for (QAbstractButton *button : box->buttons())
                    captions << button->text();
                if (QAbstractButton *no = box->button(QMessageBox::No))
                    no->click();
            }
    });
    look.start();
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w))
                box->reject();
    });
    guard.start(20000);

    EXPECT_EQ(MessageBox(QStringLiteral("Continuare?"), QStringLiteral("Richiesta."), MB_YESNO | MB_ICONQUESTION),
              IDNO);
    EXPECT_THAT(captions, UnorderedElementsAre(QStringLiteral("&Sì"), QStringLiteral("&No")));
}

TEST(Look, QtsOwnButtonsSpeakItalian)
{
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Cancel | QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Save)->text(), QStringLiteral("Salva"));
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Annulla"));
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("OK"));
}

namespace {
// The colour of the left edge of a control's frame, half-way down.
QColor FrameEdge(QWidget *w)
{
    const QImage image = w->grab().toImage();
    return image.pixelColor(0, image.height() / 2);
}

// Gives the focus to w in its (active) window and waits until it has it.
bool Focus(QWidget *w)
{
    QWidget *window = w->window();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window))
        return false;
    w->setFocus(Qt::TabFocusReason);
    return PumpUntil([&] { return w->hasFocus(); });
}
} // namespace

TEST(Look, KeyboardFocusShowsOnTheBlackLists)
{
    TempProgramFolder folder;
    TfrmMain main(nullptr);
    main.show();
    TfrmListe liste(std::function<void()>{});
    liste.show();

    struct Row {
        const char *name;
        QWidget *control;
        QWidget *elsewhere;
        QColor text;
    };
    const Row rows[] = {
        {"main preview", main.MemoLista, main.BoxElencoListe, Qt::yellow},
        {"main log", main.MemoLogOperazio, main.BoxElencoListe, QColor(0, 255, 0)},
        {"list editor entries", liste.findChild<QWidget *>("MemoLista"), liste.findChild<QWidget *>("EditSito"),
         Qt::yellow},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(Focus(row.elsewhere));
        EXPECT_NE(FrameEdge(row.control), row.text);
        ASSERT_TRUE(Focus(row.control));
        EXPECT_EQ(FrameEdge(row.control), row.text);
    }
}

TEST(Look, AFaceThatIsThereIsTakenAsItIs)
{
    const QFont font = FittedFont({QStringLiteral("No Such Face"), QStringLiteral("Liberation Sans")}, 11);
    EXPECT_EQ(font.pixelSize(), 11);
    EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Liberation Sans"));
    EXPECT_TRUE(QFontInfo(FixedFont()).fixedPitch());
    EXPECT_EQ(QFontInfo(ComicFont()).family(), QStringLiteral("Comic Neue"));
}

// A stand-in narrower than the face the windows were drawn for keeps the size
// asked for: the fixed positions were drawn for that size, and a narrower face
// already fits them. A stand-in is only ever made smaller.
TEST(Look, ANarrowerStandInIsNotMadeBigger)
{
    // A family no one has, which the font system answers with a face of
    // Times' widths, some 8 % narrower than Arial's.
    const QString missing = QStringLiteral("Quorvi Stand-In Narrower Than Arial");
    QFont::insertSubstitution(missing, QStringLiteral("Liberation Serif"));
    const auto undo = qScopeGuard([&] { QFont::removeSubstitutions(missing); });

    const QString caption = QStringLiteral("Avvisa dopo 10 accessi non riusciti");
    QFont standIn(missing), twin(QStringLiteral("Liberation Sans"));
    for (QFont *f : {&standIn, &twin}) {
        f->setPixelSize(1000);
        f->setHintingPreference(QFont::PreferNoHinting);
    }
    ASSERT_EQ(QFontInfo(standIn).family(), QStringLiteral("Liberation Serif"));
    ASSERT_LT(QFontMetricsF(standIn).horizontalAdvance(caption), QFontMetricsF(twin).horizontalAdvance(caption));

    // The program's size, and the about title's, where 8 % more is a pixel.
    for (const int size : {11, 19}) {
        const QFont font = FittedFont({missing}, size);
        EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Liberation Serif"));
        EXPECT_EQ(font.pixelSize(), size);
    }
}

TEST(Look, TheAboutTitleIsInTheBoldComicFace)
{
    TFrmAbout about;
    about.show();
    const QFontInfo title(about.LabelPrg->font());
    EXPECT_EQ(title.family(), QStringLiteral("Comic Neue"));
    EXPECT_TRUE(title.bold());
    EXPECT_EQ(title.pixelSize(), 19);
}
