#include "app/look.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

namespace app {
namespace {

constexpr double kMinimumFontPoints = 10;

// One scheme's colours. Disabled text keeps at least 4.5:1 against its
// ground, but sits visibly nearer to it than enabled text does, and the
// disabled button and entry grounds are flatter than the enabled ones.
struct Scheme {
  QColor window, text, base, alternateBase, button;
  QColor light, midlight, mid, dark, shadow;
  QColor highlight, highlightedText, link, linkVisited, placeholder, toolTipBase;
  QColor disabledText, disabledBase, disabledButton, disabledHighlight, disabledHighlightedText;
};

void SetGroup(QPalette& palette, QPalette::ColorGroup group, const Scheme& s) {
  palette.setColor(group, QPalette::Window, s.window);
  palette.setColor(group, QPalette::WindowText, s.text);
  palette.setColor(group, QPalette::Base, s.base);
  palette.setColor(group, QPalette::AlternateBase, s.alternateBase);
  palette.setColor(group, QPalette::Text, s.text);
  palette.setColor(group, QPalette::Button, s.button);
  palette.setColor(group, QPalette::ButtonText, s.text);
  palette.setColor(group, QPalette::BrightText, Qt::white);
  palette.setColor(group, QPalette::Light, s.light);
  palette.setColor(group, QPalette::Midlight, s.midlight);
  palette.setColor(group, QPalette::Mid, s.mid);
  palette.setColor(group, QPalette::Dark, s.dark);
  palette.setColor(group, QPalette::Shadow, s.shadow);
  palette.setColor(group, QPalette::Highlight, s.highlight);
  palette.setColor(group, QPalette::HighlightedText, s.highlightedText);
  palette.setColor(group, QPalette::Link, s.link);
  palette.setColor(group, QPalette::LinkVisited, s.linkVisited);
  palette.setColor(group, QPalette::PlaceholderText, s.placeholder);
  palette.setColor(group, QPalette::ToolTipBase, s.toolTipBase);
  palette.setColor(group, QPalette::ToolTipText, s.text);
  palette.setColor(group, QPalette::NoRole, s.window);
}

QPalette Build(const Scheme& s) {
  QPalette palette;
  SetGroup(palette, QPalette::Active, s);
  SetGroup(palette, QPalette::Inactive, s);
  SetGroup(palette, QPalette::Disabled, s);
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::PlaceholderText,
                    QPalette::ToolTipText}) {
    palette.setColor(QPalette::Disabled, role, s.disabledText);
  }
  palette.setColor(QPalette::Disabled, QPalette::Base, s.disabledBase);
  palette.setColor(QPalette::Disabled, QPalette::AlternateBase, s.disabledBase);
  palette.setColor(QPalette::Disabled, QPalette::Button, s.disabledButton);
  palette.setColor(QPalette::Disabled, QPalette::Highlight, s.disabledHighlight);
  palette.setColor(QPalette::Disabled, QPalette::HighlightedText, s.disabledHighlightedText);
  return palette;
}

}  // namespace

QPalette LightPalette() {
  Scheme s;
  s.window = QColor(0xf3, 0xf5, 0xf8);
  s.text = QColor(0x1d, 0x24, 0x2e);
  s.base = Qt::white;
  s.alternateBase = QColor(0xea, 0xef, 0xf5);
  s.button = QColor(0xe6, 0xeb, 0xf2);
  s.light = Qt::white;
  s.midlight = QColor(0xee, 0xf1, 0xf5);
  s.mid = QColor(0xb4, 0xbc, 0xc8);
  s.dark = QColor(0x8a, 0x94, 0xa3);
  s.shadow = QColor(0x5a, 0x63, 0x70);
  s.highlight = QColor(0x1f, 0x6f, 0xb5);
  s.highlightedText = Qt::white;
  s.link = QColor(0x1f, 0x5f, 0xa0);
  s.linkVisited = QColor(0x6b, 0x3f, 0xa0);
  s.placeholder = QColor(0x5c, 0x66, 0x72);
  s.toolTipBase = Qt::white;
  s.disabledText = QColor(0x4f, 0x58, 0x63);
  s.disabledBase = QColor(0xf3, 0xf5, 0xf8);
  s.disabledButton = QColor(0xee, 0xf1, 0xf5);
  s.disabledHighlight = QColor(0xd5, 0xdb, 0xe3);
  s.disabledHighlightedText = QColor(0x3d, 0x46, 0x52);
  return Build(s);
}

QPalette DarkPalette() {
  Scheme s;
  s.window = QColor(0x23, 0x27, 0x2e);
  s.text = QColor(0xe8, 0xea, 0xed);
  s.base = QColor(0x1a, 0x1d, 0x22);
  s.alternateBase = QColor(0x26, 0x2a, 0x31);
  s.button = QColor(0x32, 0x38, 0x42);
  s.light = QColor(0x4a, 0x51, 0x5c);
  s.midlight = QColor(0x3d, 0x43, 0x4d);
  s.mid = QColor(0x2a, 0x2f, 0x36);
  s.dark = QColor(0x16, 0x19, 0x1d);
  s.shadow = QColor(0x0b, 0x0d, 0x10);
  s.highlight = QColor(0x2f, 0x6a, 0xa8);
  s.highlightedText = Qt::white;
  s.link = QColor(0x7a, 0xb4, 0xf0);
  s.linkVisited = QColor(0xb7, 0x9c, 0xf0);
  s.placeholder = QColor(0x9a, 0xa3, 0xae);
  s.toolTipBase = QColor(0x32, 0x38, 0x42);
  s.disabledText = QColor(0xb0, 0xb8, 0xc2);
  s.disabledBase = QColor(0x23, 0x27, 0x2e);
  s.disabledButton = QColor(0x2a, 0x2f, 0x36);
  s.disabledHighlight = QColor(0x3a, 0x40, 0x4a);
  s.disabledHighlightedText = QColor(0xc4, 0xca, 0xd1);
  return Build(s);
}

QColor WarningText(const QPalette& palette) {
  return IsDarkPalette(palette) ? QColor(0xff, 0x8a, 0x80) : QColor(0xb0, 0x00, 0x20);
}

bool IsDarkPalette(const QPalette& desktop) {
  return desktop.color(QPalette::Active, QPalette::Window).lightness() <
         desktop.color(QPalette::Active, QPalette::WindowText).lightness();
}

void ApplyLook(QApplication& application) {
  application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  const bool dark = IsDarkPalette(QApplication::palette());
  application.setPalette(dark ? DarkPalette() : LightPalette());
  QFont font = QApplication::font();
  // A font given in pixels has no point size (-1) and is left as it is.
  if (font.pointSizeF() > 0 && font.pointSizeF() < kMinimumFontPoints) font.setPointSizeF(kMinimumFontPoints);
  application.setFont(font);
}

}  // namespace app
