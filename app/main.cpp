#include "app/Main.h"
#include "app/CodiciUscita.h"
#include "app/CommandLine.h"
#include "app/ElencoCorse.h"
#include "app/Programma.h"
#include "app/SenzaFinestra.h"
#include "platform/Paths.h"
#include "platform/ui/Guard.h"
#include "platform/ui/Look.h"
#include "platform/web/WebBrowser.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLineAnswer answer = AnswerCommandLine(arguments);
    if (answer.exitCode) {
        std::fputs(answer.out.toLocal8Bit().constData(), stdout);
        std::fputs(answer.err.toLocal8Bit().constData(), stderr);
        return *answer.exitCode;
    }

    if (answer.corse) {
        QCoreApplication app(argc, argv);
        return MostraCorse(*answer.corse, stdout, stderr);
    }

    // A run without a window needs no display, from cron or over ssh: the
    // graphic visits' engine draws offscreen as well.
    if (answer.esegui && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (answer.esegui)
        PreparaMessaggiSenzaFinestra();
    PrepareBrowserEngine();
    Application app(argc, argv);
    PrepareBrowserEngineAfterApplication();
    SetApplicationTitle(QStringLiteral("T4V_Quorvi"));
    if (answer.esegui)
        return EseguiSenzaFinestra(*answer.esegui, stdout, stderr);
    // Lists, settings and logs would have no home: nothing is written at all.
    if (const QString problema = DataFolderProblem(); !problema.isEmpty()) {
        std::fputs(("quorvi: " + problema + u'\n').toLocal8Bit().constData(), stderr);
        return uscita::Uso;
    }
    // Lets the desktop match the windows to the menu entry and its icon. On
    // X11 that match is the windows' class, the application's name
    // ("T4V_Quorvi"), which the entry names as its StartupWMClass.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUORVI_APP_ID));
    QGuiApplication::setWindowIcon(ProgramIcon());
    SetUpLook();
    Finestre finestre = CreaFinestre(std::make_unique<WebBrowser>());
    finestre.main->show();
    return app.exec();
}
