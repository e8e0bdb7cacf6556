#pragma once

#include <QIcon>

namespace app {

// The program's icon: the SVG of the repository, or the same picture drawn
// by hand where the SVG image plugin is not installed.
QIcon ProgramIcon();

}  // namespace app
