#include "app/Main.h"
#include "app/Programma.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Look.h"
#include "platform/web/WebBrowser.h"

#include <unistd.h>

int main(int argc, char **argv)
{
    PrepareBrowserEngine();
    Application app(argc, argv);
    SetApplicationTitle(QStringLiteral("T4V_Quorvi"));
    SetUpLook();
    Finestre finestre = CreaFinestre(std::make_unique<WebBrowser>());
    finestre.main->show();
    return app.exec();
}
