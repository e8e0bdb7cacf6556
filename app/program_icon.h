#pragma once

#include <QIcon>

namespace app {

// The program's icon: the SVG of the repository, or the same picture drawn
// by hand where the SVG image plugin is not installed.
QIcon ProgramIcon();

// The pictures of the two page buttons, drawn for whatever size and pixel
// ratio they are asked for, so both always come out at the same size.
enum class Page { Status, Port };
QIcon PageIcon(Page page);

}  // namespace app
