#pragma once

#include <QFont>
#include <QIcon>
#include <QStringList>

// The windows keep fixed pixel positions drawn for an 8-point Windows font at
// 96 dpi, so the program chooses its faces itself instead of taking the
// desktop's: metric twins of the faces the layout was drawn for, and, where
// none is installed, whatever face is there at a size no wider than the twin.

// The face every window is drawn in: Liberation Sans (Arial's metrics) at
// 11 pixels, the height of an 8-point font at 96 dpi.
QFont ProgramFont();
// The small yellow and lime texts on the black lists.
QFont SmallFont();
// The page source: fixed pitch.
QFont FixedFont();
// The about window's title: a bold comic face, 19 pixels.
QFont ComicFont();
// The address fields: Verdana where there is one, its free look-alike else.
QFont VerdanaFont(int pixelSize);
// The link labels of the about and bug-report windows.
QFont TahomaFont();

// A font of the first installed family of families at pixelSize. When none
// of them is installed, the face the system offers instead is made smaller
// until the program's texts take no more room than in the face the windows
// were drawn for (regular and bold).
QFont FittedFont(const QStringList &families, int pixelSize);

// Called once, right after the application object is made (the program and
// the test programs alike): the program's font, a style that shows the
// keyboard focus on dark lists, and Qt's own texts in Italian ("Sì", "No",
// "Annulla"). A missing translation or face is no failure: the program works
// with what is there.
void SetUpLook();
// The program's icon, the logo's badge at every size the menu entry has: the
// same pictures, so a dock shows the window as it shows the launcher.
QIcon ProgramIcon();

// Installs Qt's Italian texts; false when the translation file is not there.
bool LoadItalianTranslations();
