#include "fx/Fx.h"
#include "platform/Paths.h"

// The file readers name their files after the folder of the user's files. The window
// helpers that normally provide it need the widget toolkit, which the fuzz
// targets do without.
QString CartellaProgramma()
{
    return DataFolder();
}
