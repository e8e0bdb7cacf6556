#include "app/indicators.h"

#include <algorithm>
#include <cmath>

namespace app {
namespace {

constexpr int kSize = 16;

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGreen = qRgb(0, 128, 0);
const QRgb kRed = qRgb(255, 0, 0);

void Put(QImage& image, int x, int y, QRgb colour) {
  if (x >= 0 && x < kSize && y >= 0 && y < kSize) image.setPixel(x, y, colour);
}

// The frame is the outline of the rectangle (0,3)-(16,15) with a 2-pixel pen.
// Rectangles exclude their right and bottom coordinates, so the rectangle
// covers columns 0..15 and rows 3..14, and the pen's two pixels lie on the
// inner side of that edge: columns 0,1 and 14,15, rows 3,4 and 13,14.
// Nothing falls outside the picture, and the bar (rows 5..11) sits inside
// with one free row under it. Bar at phase 4 (columns 4..8):
//
//      x 0123456789012345
//   y 0  ................
//     1  ................
//     2  ................
//     3  ################
//     4  ################
//     5  ##..#####.....##
//     ...                   (rows 6..10 as row 5)
//    11  ##..#####.....##
//    12  ##............##
//    13  ################
//    14  ################
//    15  ................
void DrawFrame(QImage& image, QRgb colour) {
  for (int x = 0; x < kSize; ++x) {
    for (int y : {3, 4, 13, 14}) Put(image, x, y, colour);
  }
  for (int y = 3; y < 15; ++y) {
    for (int x : {0, 1, 14, 15}) Put(image, x, y, colour);
  }
}

// Five columns from phase on; past 16 a column re-enters from the left, and
// column 16 itself lies just outside the picture, so it is never seen.
void DrawBar(QImage& image, int phase, QRgb colour) {
  for (int k = 0; k < 5; ++k) {
    long long x = static_cast<long long>(phase) + k;  // no overflow for any phase a caller hands in
    if (x > kSize) x -= kSize;
    if (x < 0 || x >= kSize) continue;
    for (int y = 5; y < 12; ++y) Put(image, static_cast<int>(x), y, colour);
  }
}

}  // namespace

void DrawIndicator(QImage& image, bool live, int phase) {
  if (image.width() != kSize || image.height() != kSize || image.format() != QImage::Format_RGB32) {
    image = QImage(kSize, kSize, QImage::Format_RGB32);
  }
  image.fill(kWhite);
  const QRgb colour = live ? kGreen : kRed;
  DrawFrame(image, colour);
  DrawBar(image, phase, colour);
}

QImage IndicatorImage(bool live, int phase) {
  QImage image(kSize, kSize, QImage::Format_RGB32);
  DrawIndicator(image, live, phase);
  return image;
}

QPixmap IndicatorPixmap(const QImage& indicator, int logicalSize, qreal devicePixelRatio) {
  const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
  // The allowance makes a product such as 32 x 1.5 / 16 come out at 3, not 2.999...
  const int scale = std::max(1, static_cast<int>(std::floor(logicalSize * ratio / kSize + 1e-9)));
  QPixmap pixmap = QPixmap::fromImage(
      indicator.scaled(kSize * scale, kSize * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation));
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

}  // namespace app
