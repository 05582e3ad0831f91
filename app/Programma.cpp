#include "app/Programma.h"

#include "app/Main.h"
#include "app/Start.h"
#include "platform/ui/BrowserControl.h"
#include "platform/web/WebBrowser.h"
#include "settings/Opzioni.h"
#include "support/About.h"

#include <QLineEdit>
#include <QPointer>

Finestre::Finestre() = default;
Finestre::Finestre(Finestre &&) noexcept = default;
Finestre &Finestre::operator=(Finestre &&) noexcept = default;

Finestre::~Finestre()
{
    // The main window refers to the others; it goes first.
    main.reset();
    opzioni.reset();
    start.reset();
    about.reset();
}

Finestre CreaFinestre(std::unique_ptr<BrowserControl> browser, const std::function<void(const char *)> &onCreated)
{
    auto note = [&](const char *name) {
        if (onCreated)
            onCreated(name);
    };
    Finestre f;
    f.main = std::make_unique<TfrmMain>(std::move(browser));
    note("TfrmMain");
    f.about = std::make_unique<TFrmAbout>();
    note("TFrmAbout");
    TfrmMain *main = f.main.get();
    f.start = std::make_unique<TfrmStart>(f.about.get(), [main] { main->QMainWindow::setVisible(true); });
    note("TfrmStart");
    f.opzioni = std::make_unique<TFrmOpzioni>();
    note("TFrmOpzioni");
    f.main->Collega(f.about.get(), f.start.get(), f.opzioni.get());
    // Graphic visits and downloads take the options' proxy, as text visits do.
    SetBrowserProxySource([opzioni = QPointer<TFrmOpzioni>(f.opzioni.get())] {
        return opzioni ? opzioni->editProxy->text() : QString();
    });
    f.opzioni->ProxyGraficoAltro = &BrowserProxyOtherThan;
    return f;
}
