#include "support/About.h"
#include "support/Bug.h"
#include "tests/support/TestSupport.h"

#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

TEST(AboutWindow, IdentityLooksAndLinks)
{
    ShellLog shell;
    TFrmAbout about;
    EXPECT_EQ(about.windowTitle(), "About");
    EXPECT_EQ(about.LabelPrg->text(), "T4V_Quorvi");
    EXPECT_EQ(about.LabelVers->text(), "04.2003-10");
    EXPECT_EQ(about.Label6->text(), "Per incrementare i contatori di\naccesso di pagine web.");
    EXPECT_EQ(about.LabelPrg->pos(), QPoint(49, 24));
    EXPECT_FALSE(about.Image1->pixmap().isNull());
    EXPECT_EQ(about.lblLink->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseClick(about.lblLink, Qt::LeftButton);
    QTest::mouseClick(about.Label13, Qt::LeftButton);
    EXPECT_EQ(shell.Targets(),
              (QStringList{"http://www.dudirirada.example",
                           "mailto:supporto@dudirirada.example?subject=Inf: T4V_Quorvi, "
                           "04.2003-10&body=Vorrei ricevere informazioni in più per quanto riguarda:"}));
}

TEST(AboutWindow, ShownTwiceWithTheSameContent)
{
    TFrmAbout about;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        QString prg;
        QTimer::singleShot(0, &about, [&] {
            prg = about.LabelPrg->text();
            about.sbEsci->click();
        });
        about.exec();
        EXPECT_EQ(prg, "T4V_Quorvi");
        EXPECT_FALSE(about.isVisible());
    }
}

TEST(BugWindow, MailAndLink)
{
    ShellLog shell;
    TFrmAbout about;
    TfrmBug bug(&about);
    EXPECT_EQ(bug.windowTitle(), "Segnalazione bug al team TVX");
    EXPECT_EQ(bug.size(), QSize(296, 144));
    EXPECT_EQ(bug.Label1->text(), "Premi su \"segnala\" per preparare la segnalazione del bug:");
    bug.sbScrivici->click();
    QTest::mouseClick(bug.lblLink, Qt::LeftButton);
    EXPECT_EQ(shell.Targets(), (QStringList{"mailto:supporto@dudirirada.example?subject=Bug: T4V_Quorvi, "
                                            "04.2003-10&body=Di seguito la segnalzione del bug:",
                                            "http://www.dudirirada.example"}));
}
