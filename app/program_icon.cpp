#include "app/program_icon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <iterator>

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

const QColor kBlue(0x1f, 0x6f, 0xb5);
const QColor kGrey(0x8a, 0x94, 0xa3);

// Drawn on a 64 x 64 grid: the program's blue tile with a pulse line for the
// status page, with a serial connector for the port page.
class PageIconEngine : public QIconEngine {
 public:
  explicit PageIconEngine(Page page) : page_(page) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    const QColor tile = mode == QIcon::Disabled ? kGrey : kBlue;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->translate(rect.topLeft());
    painter->scale(rect.width() / 64.0, rect.height() / 64.0);
    painter->setPen(Qt::NoPen);
    painter->setBrush(tile);
    painter->drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    if (page_ == Page::Status) {
      const QPointF pulse[] = {{8, 34}, {20, 34}, {26, 18}, {34, 48}, {40, 28}, {44, 34}, {56, 34}};
      painter->setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      painter->setBrush(Qt::NoBrush);
      painter->drawPolyline(pulse, int(std::size(pulse)));
    } else {
      QPainterPath shell;
      shell.moveTo(10, 20);
      shell.lineTo(54, 20);
      shell.lineTo(48, 44);
      shell.lineTo(16, 44);
      shell.closeSubpath();
      painter->setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      painter->setBrush(Qt::white);
      painter->drawPath(shell);
      painter->setPen(Qt::NoPen);
      painter->setBrush(tile);
      for (int i = 0; i < 5; ++i) painter->drawEllipse(QPointF(18 + 7 * i, 28), 2.5, 2.5);
      for (int i = 0; i < 4; ++i) painter->drawEllipse(QPointF(21.5 + 7 * i, 37), 2.5, 2.5);
    }
    painter->restore();
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    return pixmap;
  }

  QIconEngine* clone() const override { return new PageIconEngine(page_); }

 private:
  Page page_;
};

}  // namespace

QIcon PageIcon(Page page) { return QIcon(new PageIconEngine(page)); }

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
