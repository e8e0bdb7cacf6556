#include "app/program_icon.h"

#include <QPainter>
#include <QPixmap>

// The resources live in a static library, so they are registered by hand.
static void RegisterResources() { Q_INIT_RESOURCE(resources); }

namespace app {
namespace {

QPixmap DrawnIcon() {
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x6f, 0xb5));
  painter.drawRoundedRect(QRectF(4, 4, 56, 56), 12, 12);
  painter.setBrush(Qt::white);
  painter.drawRoundedRect(QRectF(22, 12, 20, 40), 4, 4);
  painter.setBrush(QColor(0x1f, 0x6f, 0xb5));
  painter.drawRect(QRectF(26, 17, 12, 18));
  painter.setBrush(QColor(0xe0, 0x3c, 0x31));
  painter.drawEllipse(QPointF(32, 44), 4, 4);
  return pixmap;
}

}  // namespace

QIcon ProgramIcon() {
  static const QIcon icon = [] {
    RegisterResources();
    QIcon svg(QStringLiteral(":/mcalld.svg"));
    if (!svg.pixmap(QSize(32, 32)).isNull()) return svg;
    return QIcon(DrawnIcon());
  }();
  return icon;
}

}  // namespace app
