#include "app/advsm.h"

#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

namespace {

// The text line's font size in points; each character is given size − 2
// pixels, which is what the popup's width is reckoned from.
constexpr int kFontPoints = 12;
constexpr int kPixelsPerChar = kFontPoints - 2;
constexpr int kButtonWidth = 72;
constexpr int kButtonHeight = 25;
constexpr int kLabelTop = 8;
constexpr int kLabelHeight = 24;
constexpr int kButtonTop = kLabelTop + kLabelHeight + 8;
constexpr int kClientHeight = kButtonTop + kButtonHeight + 8;

}  // namespace

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
  setObjectName("advsm");
  setWindowTitle("advsm");

  label1 = new QLabel(this);
  label1->setObjectName("label1");
  // Texts come from the operator's input and the program; markup in them
  // must show as typed, never be rendered.
  label1->setTextFormat(Qt::PlainText);
  label1->setAlignment(Qt::AlignCenter);
  label1->setWordWrap(false);
  label1->setFont(QFont("Times New Roman", kFontPoints, QFont::Bold));
  QPalette palette = label1->palette();
  palette.setColor(QPalette::WindowText, Qt::black);
  label1->setPalette(palette);
  label1->setGeometry(2, kLabelTop, kButtonWidth, kLabelHeight);

  BitBtn1 = new QPushButton(QString::fromUtf8("ОК"), this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setDefault(true);
  BitBtn1->setGeometry(0, kButtonTop, kButtonWidth, kButtonHeight);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

  resize(kButtonWidth, kClientHeight);
}

void Tadvsm::FitToText(const QString& text) {
  const int n = static_cast<int>(text.toUcs4().size());
  const int width = n * kPixelsPerChar;
  label1->setText(text);
  // The width is the outer one, frame included, so the frame that the window
  // system will put around the popup comes off the client width.
  resize(width - FrameWidth(), kClientHeight);
  label1->setGeometry(2, kLabelTop, width, kLabelHeight);
  label1->update();
  // Integer division cuts towards zero, as the centring rule wants.
  BitBtn1->move((width - kButtonWidth) / 2, kButtonTop);
}

int Tadvsm::FrameWidth() {
  winId();  // the frame is known only once the popup has a window of its own
  const QWindow* window = windowHandle();
  if (window == nullptr) return 0;
  const QMargins m = window->frameMargins();
  return m.left() + m.right();
}

void Tadvsm::ShowText(const QString& text) {
  FitToText(text);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - frameGeometry().center() + pos());
  exec();
}
