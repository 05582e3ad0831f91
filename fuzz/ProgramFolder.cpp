#include "fx/Fx.h"
#include "platform/Files.h"

// The file readers name their files after the program's folder. The window
// helpers that normally provide it need the widget toolkit, which the fuzz
// targets do without.
QString CartellaProgramma()
{
    return ProgramFolder();
}
