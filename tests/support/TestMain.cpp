#include "platform/ui/Guard.h"

#include <gtest/gtest.h>

// One main for every test program: the real application object on the
// offscreen platform, so windows are created for real but nothing is drawn.
int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    ::testing::InitGoogleTest(&argc, argv);
    Application app(argc, argv);
    SetApplicationTitle(QStringLiteral("T4V_Quorvi"));
    return RUN_ALL_TESTS();
}
