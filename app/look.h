#pragma once

#include <QPalette>

class QApplication;

namespace app {

// The program's two colour schemes. Each sets every role in the active,
// inactive and disabled groups, so nothing is left to a desktop theme that
// may pair its own light text with our light ground.
QPalette LightPalette();
QPalette DarkPalette();

// The text colour that says the station cannot receive calls: a red that
// keeps 4.5:1 against the window ground of either scheme.
QColor WarningText(const QPalette& palette);

// A desktop whose window ground is darker than its text is taken as dark.
bool IsDarkPalette(const QPalette& desktop);

// The look of every window: the Fusion style, the scheme that matches the
// desktop's palette as it is before this call, and the desktop's font at no
// less than 10 points.
void ApplyLook(QApplication& application);

}  // namespace app
