#include "app/form2.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

// The entry shows each typed digit as "*", whatever the desktop style's
// own password character is.
class StarPasswordStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

}  // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
  setObjectName("TForm2");
  setWindowTitle(QStringLiteral("Закрытый доступ"));
  // A dialog frame: title and close, neither minimise nor maximise.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);

  Label1 = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
  Label1->setObjectName("Label1");
  Label1->setTextFormat(Qt::PlainText);

  MaskEdit1 = new QLineEdit(this);
  MaskEdit1->setObjectName("MaskEdit1");
  MaskEdit1->setMaxLength(5);
  MaskEdit1->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), MaskEdit1));
  auto* style = new StarPasswordStyle;
  style->setParent(MaskEdit1);
  MaskEdit1->setStyle(style);
  MaskEdit1->setEchoMode(QLineEdit::Password);

  BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setDefault(true);
  BitBtn2 = new QPushButton(QStringLiteral("Отмена"), this);
  BitBtn2->setObjectName("BitBtn2");

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1);
  layout->addWidget(MaskEdit1);
  layout->addLayout(buttons);
  // Fixed at what the texts need, also after a change of font.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  MaskEdit1->setMinimumWidth(20 * MaskEdit1->fontMetrics().averageCharWidth());

  connect(BitBtn1, &QPushButton::clicked, this, &TForm2::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, [this] { done(Cancelled); });
}

void TForm2::BitBtn1Click() { done(MaskEdit1->text() == closeCode_ ? Accepted : Wrong); }

void TForm2::FormActivate() {
  MaskEdit1->selectAll();
  MaskEdit1->setFocus(Qt::OtherFocusReason);
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Each opening starts empty: a wrong entry left from last time would
  // otherwise greet the next operator. A window restored from minimised
  // (a spontaneous show) keeps what was typed.
  if (!event->spontaneous()) MaskEdit1->clear();
  FormActivate();
}

bool TForm2::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) FormActivate();
  return QDialog::event(event);
}
