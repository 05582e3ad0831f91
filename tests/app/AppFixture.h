#pragma once

#include "app/Main.h"
#include "app/Programma.h"
#include "app/Start.h"
#include "lists/Liste.h"
#include "net/HttpProt.h"
#include "platform/Clock.h"
#include "platform/TextCodec.h"
#include "platform/ui/BrowserControl.h"
#include "settings/Opzioni.h"
#include "support/About.h"
#include "tests/support/TestSupport.h"

#include "platform/ui/Guard.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <functional>

// A browser control that loads nothing: it records the addresses, fails the
// navigation when told to, and reports completion from the message loop.
class FakeBrowser : public BrowserControl {
public:
    void Navigate(const QString &url) override
    {
        navigated.append(url);
        if (onNavigate)
            onNavigate(url);
        if (failNext > 0) {
            --failNext;
            throw Exception(QStringLiteral("navigazione impossibile"));
        }
        pending = true;
        if (completeOnNavigate)
            QTimer::singleShot(0, &scope_, [this, url] { Complete(url); });
    }
    // Like the real control, a stopped load still reports its completion, as
    // a page that did not load.
    void Stop() override
    {
        ++stops;
        if (pending && stopCompletes)
            QTimer::singleShot(0, &scope_, [this] {
                if (pending)
                    Complete(QStringLiteral("stopped"), 0, QStringLiteral("caricamento interrotto"));
            });
    }
    int LastLoadStatus() const override { return lastStatus; }
    QString LastLoadError() const override { return lastError; }

    // Ends the pending load with the outcome the test set for loads.
    void Complete(const QString &url) { Complete(url, loadStatus, loadError); }
    void Complete(const QString &url, int status, const QString &error)
    {
        pending = false;
        lastStatus = status;
        lastError = error;
        if (OnDocumentComplete)
            OnDocumentComplete(url);
    }

    QStringList navigated;
    int failNext = 0;
    int stops = 0;
    bool completeOnNavigate = true;
    bool pending = false;
    bool stopCompletes = true;
    // How each load ends; an error means the page did not load.
    int loadStatus = 200;
    QString loadError;
    int lastStatus = 0;
    QString lastError;
    std::function<void(const QString &)> onNavigate;

private:
    // Completions still queued when the browser goes are dropped with it.
    QObject scope_;
};

// The program's windows in a fresh program folder, message boxes scripted,
// shell calls recorded, waits recorded instead of slept.
class AppFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetSleeperForTesting([this](std::uint32_t ms) { sleeps.push_back(ms); });
        auto browser = std::make_unique<FakeBrowser>();
        fake = browser.get();
        w = CreaFinestre(std::move(browser));
        main = w.main.get();
        // The run's waits are recorded and take no time unless a test says so.
        main->DurataAttesa = [this](std::uint32_t ms) {
            waits.push_back(ms);
            return waitFor ? waitFor(ms) : 0u;
        };
        // The start window's ten seconds are not waited for in tests.
        w.start->TimerStart->setInterval(1);
    }
    void TearDown() override
    {
        boxes.Verify();
        SetSleeperForTesting({});
    }

    void GraphicMode(bool on = true) { w.opzioni->cbModalitaGrafica->setChecked(on); }

    // Writes a list file and loads it into the preview as a click would.
    void LoadList(const QString &file, const QByteArray &bytes)
    {
        folder.Write(file, bytes);
        main->AggiornaElencoListe();
        const auto found = main->BoxElencoListe->findItems(file, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        main->BoxElencoListe->setCurrentItem(found[0]);
        main->BoxElencoListeClick();
    }

    // Shows the main window, opens the list editor, types the hidden code into
    // its address field and leaves it, as a user would to see the page source.
    void RevealPageSourceThroughEditor()
    {
        main->show();
        QTimer::singleShot(0, &scope, [&] {
            auto *editor = main->findChild<TfrmListe *>();
            ASSERT_NE(editor, nullptr);
            boxes.ExpectInfo(QStringLiteral("Apertura visualizzatore riuscita."));
            editor->findChild<QLineEdit *>("EditSito")->setText("quazo");
            editor->EditSitoExit();
            editor->sbEsciClick();
        });
        main->sbGestListeClick();
    }

    QStringList Preview() const
    {
        QStringList lines;
        for (int i = 0; i < main->MemoLista->count(); ++i)
            lines << main->MemoLista->item(i)->text();
        return lines;
    }

    TempProgramFolder folder;
    BoxScript boxes;
    ShellLog shell;
    std::vector<std::uint32_t> sleeps;
    std::vector<std::uint32_t> waits;
    std::function<std::uint32_t(std::uint32_t)> waitFor; // real length of a wait

    Finestre w;
    TfrmMain *main = nullptr;
    FakeBrowser *fake = nullptr;
    // Context of the timers a test starts: declared last, it goes first, so
    // no timer of one test can fire inside the next one.
    QObject scope;
};
