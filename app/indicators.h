#pragma once

#include <QImage>

namespace app {

// One 16x16 indicator: white ground, a frame and a 5-pixel bar at phase,
// green when live, red otherwise.
void DrawIndicator(QImage& image, bool live, int phase);
QImage IndicatorImage(bool live, int phase);

}  // namespace app
