#pragma once

#include <QImage>
#include <QPixmap>

namespace app {

// One 16x16 indicator: white ground, a frame and a 5-pixel bar at phase,
// green when live, red otherwise.
void DrawIndicator(QImage& image, bool live, int phase);
QImage IndicatorImage(bool live, int phase);

// The indicator as a control of logicalSize x logicalSize shows it at a
// device pixel ratio: each of its pixels a square of whole device pixels,
// as large as fits, so it stays sharp at any scale.
QPixmap IndicatorPixmap(const QImage& indicator, int logicalSize, qreal devicePixelRatio);

}  // namespace app
