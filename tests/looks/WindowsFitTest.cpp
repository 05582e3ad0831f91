#include "app/Main.h"
#include "app/Start.h"
#include "lists/Liste.h"
#include "platform/ui/BrowserControl.h"
#include "platform/ui/Look.h"
#include "settings/Opzioni.h"
#include "support/About.h"
#include "support/Bug.h"
#include "support/ControllaVersione.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

class NoBrowser : public BrowserControl {
public:
    void Navigate(const QString &) override {}
    void Stop() override {}
    int LastLoadStatus() const override { return 0; }
    QString LastLoadError() const override { return {}; }
};

// Widgets that show something of their own; anything else is a container
// whose children are looked at instead.
bool IsControl(const QWidget *w)
{
    if (qobject_cast<const QLabel *>(w) || qobject_cast<const QAbstractButton *>(w) ||
        qobject_cast<const QLineEdit *>(w) || qobject_cast<const QAbstractScrollArea *>(w) ||
        qobject_cast<const QAbstractSlider *>(w) || qobject_cast<const QProgressBar *>(w) ||
        qobject_cast<const QMenuBar *>(w) || qobject_cast<const QStatusBar *>(w))
        return true;
    if (auto *frame = qobject_cast<const QFrame *>(w))
        return frame->frameShape() == QFrame::HLine || frame->frameShape() == QFrame::VLine;
    return false;
}

QString TextOf(const QWidget *w)
{
    if (auto *label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    return {};
}

QString NameOf(const QWidget *w)
{
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
}

// Where a label's text is drawn, and how much room it needs, in the label's
// own font: the box its lines take, and the ink inside that box (what meets
// the eye when two captions come close).
struct LabelText {
    QSize needed;
    QRect room;
    QRect ink;
};

LabelText Measure(const QLabel *label)
{
    const QFontMetrics fm(label->font());
    const QStringList lines = label->text().split(QLatin1Char('\n'));
    int width = 0;
    int inkTop = 0, inkBottom = 0;
    for (int i = 0; i < lines.size(); ++i) {
        width = qMax(width, fm.horizontalAdvance(lines[i]));
        const QRect tight = fm.tightBoundingRect(lines[i]);
        if (i == 0)
            inkTop = fm.ascent() + tight.top();
        if (i == lines.size() - 1)
            inkBottom = i * fm.lineSpacing() + fm.ascent() + tight.bottom();
    }
    const int height = fm.height() + (int(lines.size()) - 1) * fm.lineSpacing();
    const QRect room =
        label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(), -label->margin());
    const QRect box =
        QStyle::alignedRect(label->layoutDirection(), QFlag(int(label->alignment())), QSize(width, height), room)
            .translated(label->pos());
    const QRect ink(box.left(), box.top() + inkTop, box.width(), inkBottom - inkTop + 1);
    return {QSize(width, height), room.translated(label->pos()), ink};
}

// Looks at every visible label, button and check box of a window: its text
// must fit its control and its window, and no two sibling controls may meet.
// Every offender is collected, so one run names them all.
class Audit {
public:
    void Window(const QString &window, QWidget *w)
    {
        window_ = window;
        Children(w);
    }

    QStringList offences;
    // window/control of every text measured.
    QStringList measured;

private:
    void Offend(const QWidget *w, const QString &text, const QString &what, int needed, int available)
    {
        offences << QStringLiteral("%1 / %2 \"%3\": %4 needs %5 px, has %6")
                        .arg(window_, NameOf(w), text, what)
                        .arg(needed)
                        .arg(available);
    }

    void Fits(const QWidget *w, const QString &text, QSize needed, QRect box)
    {
        measured << window_ + QLatin1Char('/') + NameOf(w);
        const QWidget *parent = w->parentWidget();
        const int width = qMin(box.right(), parent->width() - 1) - box.left() + 1;
        const int height = qMin(box.bottom(), parent->height() - 1) - box.top() + 1;
        if (needed.width() > width)
            Offend(w, text, QStringLiteral("width"), needed.width(), width);
        if (needed.height() > height)
            Offend(w, text, QStringLiteral("height"), needed.height(), height);
    }

    // The room a control's drawing takes among its siblings.
    QRect Extent(const QWidget *w) const
    {
        // A caption that touches its neighbour reads as one with it: a
        // label's ink wants a free pixel on either side.
        if (auto *label = qobject_cast<const QLabel *>(w); label && !label->text().isEmpty())
            return Measure(label).ink.adjusted(-1, 0, 1, 0);
        // A check box draws its box and caption centred in its height, and
        // the old layouts let check boxes share a pixel row.
        if (auto *box = qobject_cast<const QCheckBox *>(w)) {
            const int drawn = ButtonTextHeight(box);
            QRect r = box->geometry();
            r.setTop(r.top() + (r.height() - drawn) / 2);
            r.setHeight(drawn);
            return r;
        }
        return w->geometry();
    }

    // Buttons are measured across by their size hint; upright, their caption
    // (and a check box's box) must have room, not the desktop's padding.
    static int ButtonTextHeight(const QAbstractButton *button)
    {
        int height = QFontMetrics(button->font()).height();
        if (qobject_cast<const QCheckBox *>(button))
            height = qMax(height, button->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, button));
        return height;
    }

    void Children(QWidget *parent)
    {
        QList<QWidget *> siblings;
        for (QObject *o : parent->children()) {
            auto *w = qobject_cast<QWidget *>(o);
            if (!w || w->isWindow() || !w->isVisible())
                continue;
            if (!IsControl(w)) {
                // A bare widget with nothing in it draws nothing (the browser
                // control's place under the preview).
                if (w->findChildren<QWidget *>().isEmpty())
                    continue;
                Children(w);
            } else if (auto *label = qobject_cast<QLabel *>(w); label && !label->text().isEmpty()) {
                const LabelText t = Measure(label);
                Fits(label, label->text(), t.needed, t.room);
            } else if (auto *button = qobject_cast<QAbstractButton *>(w); button && !button->text().isEmpty()) {
                Fits(button, button->text(), QSize(button->sizeHint().width(), ButtonTextHeight(button)),
                     button->geometry());
            }
            siblings << w;
        }
        for (int i = 0; i < siblings.size(); ++i)
            for (int j = i + 1; j < siblings.size(); ++j) {
                const QRect a = Extent(siblings[i]), b = Extent(siblings[j]);
                if (a.intersects(b)) {
                    // Told as room: the one on the left has up to where the
                    // other begins.
                    const bool iFirst = a.left() <= b.left();
                    const QWidget *left = iFirst ? siblings[i] : siblings[j];
                    const QWidget *right = iFirst ? siblings[j] : siblings[i];
                    const QRect l = iFirst ? a : b, r = iFirst ? b : a;
                    const QRect both = a.intersected(b);
                    offences << QStringLiteral("%1 / %2 \"%3\" meets %4 \"%5\" (%6 x %7 px in common): "
                                               "needs %8 px across, has %9")
                                    .arg(window_, NameOf(left), TextOf(left), NameOf(right), TextOf(right))
                                    .arg(both.width())
                                    .arg(both.height())
                                    .arg(l.width())
                                    .arg(qMax(0, r.left() - l.left()));
                }
            }
    }

    QString window_;
};

std::string Report(const QStringList &offences)
{
    return (QStringLiteral("\n") + offences.join(QLatin1Char('\n'))).toStdString();
}

QString VersionReply(int version)
{
    return QStringLiteral("<html><body>Versione - %1</body></html>").arg(version);
}

ConnectionScript Reply(const std::string &status, const QString &body)
{
    return ConnectionScript().ReadRequest().Send("HTTP/1.0 " + status + "\r\n\r\n" + body.toStdString());
}

// Opens every window of the program the way the user meets it, in each state
// that changes its texts, and audits it.
Audit AuditEveryWindow()
{
    Audit audit;
    BoxScript boxes;
    TempProgramFolder folder;
    folder.Write(QStringLiteral("una lista.tvx"), "Sito=alfa.example Num=3\r\n");

    TFrmAbout about;
    {
        TfrmMain main(nullptr);
        main.show();
        audit.Window(QStringLiteral("main"), &main);
    }
    {
        TfrmStart start(&about, {});
        start.show();
        start.TimerStart->stop();
        audit.Window(QStringLiteral("start"), &start);
    }
    {
        TfrmListe liste(std::function<void()>{});
        liste.show();
        audit.Window(QStringLiteral("list editor"), &liste);
    }
    {
        TFrmOpzioni opzioni;
        opzioni.show();
        audit.Window(QStringLiteral("options"), &opzioni);
    }
    about.show();
    audit.Window(QStringLiteral("about"), &about);
    about.hide();
    {
        TfrmBug bug(&about);
        bug.show();
        audit.Window(QStringLiteral("bug report"), &bug);
    }
    {
        // A failed check, then the same version; in a fresh window a newer
        // one (a window keeps the first version it found): every verdict and
        // hint the window can show.
        ScriptedServer server(
            {Reply("404 Not Found", QString()), Reply("200 OK", VersionReply(9)), Reply("200 OK", VersionReply(11))});
        TFrmControllaVersione::SetSitoPerTest(QString::fromStdString(server.HostPort()));
        {
            TFrmControllaVersione check(&about, nullptr, std::make_unique<NoBrowser>());
            check.show();
            audit.Window(QStringLiteral("version check, asking"), &check);
            boxes.ExpectQuestion(QString(), true);
            boxes.ExpectError(QString());
            EXPECT_TRUE(PumpUntil([&] { return boxes.AllShown() && check.sbControlla->isEnabled(); }));
            audit.Window(QStringLiteral("version check, failed"), &check);
            check.sbControlla->click();
            EXPECT_EQ(check.LabVerInternet->text(), QStringLiteral("9"));
            audit.Window(QStringLiteral("version check, same"), &check);
        }
        {
            TFrmControllaVersione check(&about, nullptr, std::make_unique<NoBrowser>());
            boxes.ExpectQuestion(QString(), true);
            check.show();
            EXPECT_TRUE(PumpUntil([&] { return boxes.AllShown() && check.sbScarica->isEnabled(); }));
            audit.Window(QStringLiteral("version check, newer"), &check);
        }
        TFrmControllaVersione::SetSitoPerTest(QString());
    }
    boxes.Verify();
    return audit;
}

} // namespace

// A few captions of every window, so that an audit that saw nothing cannot pass.
void ExpectMeasured(const Audit &audit)
{
    for (const char *control :
         {"main/Label14", "main/sbInterrompi", "start/Label1", "list editor/sbRimuovi", "list editor/Label1",
          "options/cbAvvisaDopo10", "options/sbSalvaImp", "about/LabelPrg", "about/Label13", "bug report/Label3",
          "bug report/lblLink", "version check, failed/LabMessaggioPiccolo", "version check, newer/LabMessaggioGrande",
          "version check, same/LabVerInternet"})
        EXPECT_TRUE(audit.measured.contains(QString::fromLatin1(control))) << control;
}

TEST(WindowsFit, EveryTextFitsInTheProgramFaces)
{
    EXPECT_EQ(QFontInfo(QApplication::font()).family(), QStringLiteral("Liberation Sans"))
        << "scripts/install-deps installs fonts-liberation2";
    const Audit audit = AuditEveryWindow();
    ExpectMeasured(audit);
    EXPECT_TRUE(audit.offences.isEmpty()) << audit.offences.size() << " offences at scale "
                                          << qgetenv("QT_SCALE_FACTOR").toStdString() << ":" << Report(audit.offences);
}

TEST(WindowsFit, EveryTextFitsWhenTheFaceIsMissing)
{
    const QFont program = QApplication::font();
    const QFont standIn = FittedFont({QStringLiteral("No Such Face At All")}, 11);
    EXPECT_LT(standIn.pixelSize(), 11) << "the stand-in " << QFontInfo(standIn).family().toStdString()
                                       << " is wider than Liberation Sans and must be drawn smaller";
    QApplication::setFont(standIn);
    const Audit audit = AuditEveryWindow();
    QApplication::setFont(program);
    ExpectMeasured(audit);
    EXPECT_TRUE(audit.offences.isEmpty())
        << audit.offences.size() << " offences in " << QFontInfo(standIn).family().toStdString() << " at "
        << standIn.pixelSize() << " px:" << Report(audit.offences);
}
