#include "platform/ui/Guard.h"
#include "platform/ui/Look.h"

#include <gtest/gtest.h>
#include <unistd.h>

// One main for every test program: the real application object on the
// offscreen platform, so windows are created for real but nothing is drawn.
int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // What the program does before its application object, for the suites
    // that drive the real browser engine (it refuses to start as root with
    // its sandbox on).
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            "--disable-background-networking --disable-component-update --disable-sync --no-first-run --disable-gpu");
    ::testing::InitGoogleTest(&argc, argv);
    Application app(argc, argv);
    SetApplicationTitle(QStringLiteral("T4V_Quorvi"));
    // The windows are measured in the faces the program itself chooses.
    SetUpLook();
    return RUN_ALL_TESTS();
}
