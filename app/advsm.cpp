#include "app/advsm.h"

#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>

#include "app/program_modal_ui.h"

namespace {

// The popup's width is n × (s − 2) pixels for a text of n characters, s
// being 12: ten pixels a character. That holds at the standard density with
// the program's standard 10-point font; a larger font or density widens the
// characters, the button and the gaps alike.
constexpr int kRulePoints = 12;
constexpr int kPixelsPerChar = kRulePoints - 2;
constexpr double kStandardFontPixels = 10.0 * 96 / 72;
constexpr int kButtonWidth = 72;
constexpr int kButtonHeight = 25;
constexpr int kLabelLeft = 2;
constexpr int kLabelTop = 8;
constexpr int kLabelHeight = 24;
constexpr int kGap = 8;

}  // namespace

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
  setObjectName("advsm");
  setWindowTitle(QString::fromLatin1(app::kApplicationTitle));
  // A dialog frame: title and close (which ends the popup like "ОК").
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  label1 = new QLabel(this);
  label1->setObjectName("label1");
  // Texts come from the operator's input and the program; markup in them
  // must show as typed, never be rendered.
  label1->setTextFormat(Qt::PlainText);
  label1->setAlignment(Qt::AlignCenter);
  label1->setWordWrap(false);

  BitBtn1 = new QPushButton(QString::fromUtf8("ОК"), this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

  FitToText(QString());
}

double Tadvsm::Scale() const {
  const double fontPixels = QFontInfo(label1->font()).pointSizeF() * label1->logicalDpiY() / 72.0;
  return std::max(1.0, fontPixels / kStandardFontPixels);
}

void Tadvsm::FitToText(const QString& text) {
  const double scale = Scale();
  const int n = static_cast<int>(text.toUcs4().size());
  label1->setText(text);
  // An unusually wide font still never cuts the text.
  const int width = std::max(qRound(n * kPixelsPerChar * scale),
                             label1->fontMetrics().horizontalAdvance(text) + 2 * kLabelLeft);
  const int buttonWidth = qRound(kButtonWidth * scale);
  const int labelTop = qRound(kLabelTop * scale);
  const int labelHeight = std::max(qRound(kLabelHeight * scale), label1->sizeHint().height());
  const int buttonTop = labelTop + labelHeight + qRound(kGap * scale);
  const int buttonHeight = std::max(qRound(kButtonHeight * scale), BitBtn1->sizeHint().height());
  // The width is the outer one, frame included, so the frame that the window
  // system will put around the popup comes off the client width. Fixed, so
  // that the window system offers no resizing and draws no resize handle.
  setFixedSize(width - FrameWidth(), buttonTop + buttonHeight + qRound(kGap * scale));
  label1->setGeometry(kLabelLeft, labelTop, width, labelHeight);
  label1->update();
  // Integer division cuts towards zero, as the centring rule wants.
  BitBtn1->setGeometry((width - buttonWidth) / 2, buttonTop, buttonWidth, buttonHeight);
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
