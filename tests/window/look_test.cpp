// The windows as a person sees them, on the offscreen platform: the colours
// each control really paints its text with on a light and a dark desktop,
// enabled and disabled; texts that fit at every font size; the frames the
// windows ask for; indicators in whole device pixels.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>

#include "app/advsm.h"
#include "app/form1.h"
#include "app/form2.h"
#include "app/indicators.h"
#include "app/look.h"
#include "common/cp1251.h"

namespace {

class QuietModal : public app::ModalUi {
 public:
  CodeResult AskCloseCode(const QString&) override { return Cancelled; }
  void ShowNotice(const QString&) override {}
  void ShowMissingSettings() override {}
  void ShowError(const QString&) override {}
};

// Desktops as their platform themes hand them over. The dark one has light
// text everywhere, as a dark theme does.
QPalette DesktopPalette(bool dark) {
  if (!dark) return std::unique_ptr<QStyle>(QStyleFactory::create("Fusion"))->standardPalette();
  QPalette palette(QColor(0x5e, 0x5c, 0x5b), QColor(0x42, 0x42, 0x45));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::BrightText}) {
    palette.setColor(role, Qt::white);
  }
  palette.setColor(QPalette::Base, QColor(0x30, 0x2f, 0x2e));
  return palette;
}

double Luminance(QColor c) {
  auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double Contrast(QColor a, QColor b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The ground is the commonest colour along the edge of the text's area,
// which the text does not reach (inside the area, a large bold text can
// outnumber a graded ground); the ink is the pixel that stands out from it
// most: what the eye has to tell apart.
struct Painted {
  QColor ground;
  QColor ink;
  double contrast = 0;
};

Painted Measure(QWidget* widget, QRect area) {
  const QImage image = widget->grab(area).toImage();
  std::map<QRgb, int> counts;
  const int w = image.width();
  const int h = image.height();
  for (int x = 0; x < w; ++x) {
    ++counts[image.pixel(x, 0) | 0xff000000];
    ++counts[image.pixel(x, h - 1) | 0xff000000];
  }
  for (int y = 1; y < h - 1; ++y) {
    ++counts[image.pixel(0, y) | 0xff000000];
    ++counts[image.pixel(w - 1, y) | 0xff000000];
  }
  Painted painted;
  int most = 0;
  for (const auto& [rgb, n] : counts) {
    if (n > most) {
      most = n;
      painted.ground = QColor(rgb);
    }
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const QColor colour(image.pixel(x, y) | 0xff000000);
      const double c = Contrast(colour, painted.ground);
      if (c > painted.contrast) {
        painted.contrast = c;
        painted.ink = colour;
      }
    }
  }
  return painted;
}

// Where each kind of control draws its text, inside its frame and bevels.
QRect TextArea(QWidget* widget) {
  QStyle* style = widget->style();
  if (auto* button = qobject_cast<QPushButton*>(widget)) {
    QStyleOptionButton option;
    option.initFrom(button);
    return style->subElementRect(QStyle::SE_PushButtonContents, &option, button).adjusted(2, 2, -2, -2);
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    QStyleOptionComboBox option;
    option.initFrom(combo);
    return style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
  }
  if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.text = group->title();
    option.subControls = QStyle::SC_GroupBoxLabel;
    return style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
  }
  if (auto* tool = qobject_cast<QToolButton*>(widget)) {
    return QRect(4, tool->iconSize().height() + 4, tool->width() - 8, tool->height() - tool->iconSize().height() - 8);
  }
  if (qobject_cast<QLineEdit*>(widget)) return widget->rect().adjusted(4, 4, -4, -4);
  return widget->contentsRect();
}

QWidget* Painter(QWidget* widget) {
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) return edit->viewport();
  return widget;
}

QString Text(QWidget* w) {
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* group = qobject_cast<QGroupBox*>(w)) return group->title();
  if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText();
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->displayText();
  if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) return edit->toPlainText();
  return {};
}

// The three windows with every text in place, built at the application's
// current font and palette.
struct Windows {
  QTemporaryDir dir;
  QuietModal modal;
  std::unique_ptr<TForm1> form;
  std::unique_ptr<TForm2> dialog;
  std::unique_ptr<Tadvsm> popup;

  Windows() {
    // No port leads anywhere, so the scan never touches the machine's own.
    std::ofstream ini(dir.path().toStdString() + "/mcalld.ini", std::ios::binary);
    ini << "[Main]\r\nCom=\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=1\r\n[Ports]\r\n";
    for (int n = 1; n <= 33; ++n) ini << "COM" << n << "=" << dir.path().toStdString() << "/absent\r\n";
    ini.close();
    app::FormOptions options;
    options.ProgramDir = dir.path().toStdString() + "/";
    options.StartLink = false;
    options.RequestExit = [](int) {};
    form = std::make_unique<TForm1>(modal, options);
    form->ShowLinkStatus(common::ToCp1251("Ошибки по сети - переподсоединение."));
    form->Memo1->appendPlainText(QStringLiteral("Входящий звонок - 9161234567"));
    form->AdvOfficeComboBox1->clear();
    form->AdvOfficeComboBox1->addItem(QStringLiteral("COM3"));
    form->show();
    dialog = std::make_unique<TForm2>(form.get());
    dialog->show();
    QTest::keyClicks(dialog->MaskEdit1, "12");
    popup = std::make_unique<Tadvsm>(form.get());
    popup->FitToText(QStringLiteral("Неправильный пароль. В доступе отказано"));
    popup->show();
    QCoreApplication::processEvents();
    // Neither a focus frame nor a selection is the entry's text.
    dialog->MaskEdit1->deselect();
    dialog->MaskEdit1->clearFocus();
  }

  // The text-bearing controls of the given page of the main window, then
  // those of the dialog and the popup.
  QList<QWidget*> TextControls(int page) {
    form->Notebook1->setCurrentIndex(page);
    QList<QWidget*> controls;
    for (QWidget* top : {static_cast<QWidget*>(form.get()), static_cast<QWidget*>(dialog.get()),
                         static_cast<QWidget*>(popup.get())}) {
      for (QWidget* w : top->findChildren<QWidget*>()) {
        if (w->window() == top && w->isVisibleTo(top) && !Text(w).isEmpty()) controls << w;
      }
    }
    return controls;
  }
};

QString Name(QWidget* w) { return w->objectName().isEmpty() ? Text(w) : w->objectName(); }

void SetLook(bool dark, double points) {
  QApplication::setPalette(DesktopPalette(dark));
  QFont font = QApplication::font();
  font.setPointSizeF(points);
  QApplication::setFont(font);
  app::ApplyLook(*qApp);
}

// The texts of a window that a control does not have room for, and the
// text-bearing controls that run into one another.
QStringList Crowded(const QList<QWidget*>& controls) {
  QStringList faults;
  QList<QPair<QWidget*, QRect>> placed;
  for (QWidget* w : controls) {
    const QRect inWindow(w->mapTo(w->window(), QPoint(0, 0)), w->size());
    // The popup's text line is as wide as the popup's outer width by rule;
    // the popup's own check below looks at its text.
    const bool popupLine = w->objectName() == "label1";
    if (!popupLine && !w->window()->rect().contains(inWindow)) faults << Name(w) + ": outside its window";
    if (w->height() < w->minimumSizeHint().height()) faults << Name(w) + ": lower than its text";
    if (auto* label = qobject_cast<QLabel*>(w); label && !popupLine) {
      if (label->fontMetrics().horizontalAdvance(label->text()) > label->contentsRect().width()) {
        faults << Name(w) + ": text cut";
      }
    }
    if (qobject_cast<QAbstractButton*>(w) &&
        w->fontMetrics().horizontalAdvance(Text(w)) > TextArea(w).width()) {
      faults << Name(w) + ": text cut";
    }
    if (qobject_cast<QComboBox*>(w) && w->width() < w->minimumSizeHint().width()) faults << Name(w) + ": text cut";
    for (const auto& [other, rect] : placed) {
      if (other->window() == w->window() && !other->isAncestorOf(w) && !w->isAncestorOf(other) &&
          rect.intersects(inWindow)) {
        faults << Name(w) + " runs into " + Name(other);
      }
    }
    placed.append({w, inWindow});
  }
  return faults;
}

}  // namespace

class LookTest : public QObject {
  Q_OBJECT

 private slots:
  void paletteTextContrast_data() {
    QTest::addColumn<bool>("dark");
    QTest::newRow("light") << false;
    QTest::newRow("dark") << true;
  }
  // Every pair of text and ground of the scheme, in every group.
  void paletteTextContrast() {
    QFETCH(bool, dark);
    const QPalette palette = dark ? app::DarkPalette() : app::LightPalette();
    const std::pair<QPalette::ColorRole, QPalette::ColorRole> pairs[] = {
        {QPalette::WindowText, QPalette::Window},       {QPalette::Text, QPalette::Base},
        {QPalette::Text, QPalette::AlternateBase},      {QPalette::ButtonText, QPalette::Button},
        {QPalette::HighlightedText, QPalette::Highlight}, {QPalette::ToolTipText, QPalette::ToolTipBase},
        {QPalette::PlaceholderText, QPalette::Base},    {QPalette::Link, QPalette::Base},
    };
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
      for (const auto& [text, ground] : pairs) {
        const double c = Contrast(palette.color(group, text), palette.color(group, ground));
        QVERIFY2(c >= 4.5, qPrintable(QString("group %1, roles %2 on %3: %4:1").arg(group).arg(text).arg(ground).arg(c)));
      }
    }
  }

  // The health line's warning red reads on either desktop.
  void warningTextContrast() {
    for (const QPalette& palette : {app::LightPalette(), app::DarkPalette()}) {
      const double c = Contrast(app::WarningText(palette), palette.color(QPalette::Window));
      QVERIFY2(c >= 4.5, qPrintable(QString("%1:1").arg(c)));
    }
  }

  void paintedTextContrast_data() {
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("disabled");
    QTest::newRow("light desktop") << false << false;
    QTest::newRow("dark desktop") << true << false;
    QTest::newRow("light desktop, disabled") << false << true;
    QTest::newRow("dark desktop, disabled") << true << true;
  }
  // What each control paints: its text at least 4.5:1 against its ground;
  // disabled, clearly fainter than enabled.
  void paintedTextContrast() {
    QFETCH(bool, dark);
    QFETCH(bool, disabled);
    SetLook(dark, 10);
    Windows windows;
    for (int page : {0, 1}) {
      for (QWidget* w : windows.TextControls(page)) {
        w->setEnabled(true);
        const Painted enabled = Measure(Painter(w), TextArea(w));
        const QString what = Name(w);
        if (!disabled) {
          QVERIFY2(enabled.contrast >= 4.5, qPrintable(QString("%1: %2 on %3, %4:1").arg(what, enabled.ink.name(),
                                                                                     enabled.ground.name()).arg(enabled.contrast)));
          continue;
        }
        w->setEnabled(false);
        const Painted faded = Measure(Painter(w), TextArea(w));
        w->setEnabled(true);  // a disabled group would keep the next control, inside it, disabled
        QVERIFY2(faded.contrast >= 4.5, qPrintable(QString("%1 disabled: %2 on %3, %4:1").arg(what, faded.ink.name(),
                                                                                           faded.ground.name()).arg(faded.contrast)));
        QVERIFY2(Contrast(faded.ink, enabled.ink) >= 1.5 && faded.contrast < enabled.contrast,
                 qPrintable(QString("%1 looks the same disabled: %2 against %3").arg(what, faded.ink.name(), enabled.ink.name())));
      }
    }
  }

  void textsFit_data() {
    QTest::addColumn<double>("points");
    QTest::addColumn<double>("desktopPoints");
    QTest::newRow("10 pt") << 10.0 << 0.0;
    QTest::newRow("15 pt") << 15.0 << 0.0;
    QTest::newRow("20 pt") << 20.0 << 0.0;
    QTest::newRow("10 pt, then the desktop's 20 pt") << 10.0 << 20.0;
  }
  void textsFit() {
    QFETCH(double, points);
    QFETCH(double, desktopPoints);
    SetLook(false, points);
    Windows windows;
    if (desktopPoints > 0) {
      QFont font = QApplication::font();
      font.setPointSizeF(desktopPoints);
      QApplication::setFont(font);
      // The new font reaches the windows through posted events, the refit
      // after it through one more, and the toolbars lay themselves out anew
      // after that.
      for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
      // The popup is fitted each time it is shown.
      windows.popup->FitToText(windows.popup->label1->text());
    }
    TForm1& form = *windows.form;
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.size(), form.minimumSize());
    QVERIFY(form.width() >= 640 && form.height() >= 460);
    for (int page : {0, 1}) {
      const QStringList faults = Crowded(windows.TextControls(page));
      QVERIFY2(faults.isEmpty(), qPrintable(faults.join("; ")));
    }
    // The log view whole, frame lines included.
    const QRect memo(form.Memo1->mapTo(&form, QPoint(0, 0)), form.Memo1->size());
    QVERIFY(form.rect().adjusted(1, 1, -1, -1).contains(memo));
    QVERIFY(form.Memo1->height() >= 10 * form.Memo1->fontMetrics().height());
    // The popup's text inside the popup's own width, centred in its line.
    Tadvsm& popup = *windows.popup;
    const int advance = popup.label1->fontMetrics().horizontalAdvance(popup.label1->text());
    QVERIFY2(popup.label1->x() + (popup.label1->width() + advance) / 2 <= popup.width(),
             qPrintable(QString("text %1 wide in a popup %2 wide").arg(advance).arg(popup.width())));
    QVERIFY(popup.BitBtn1->height() >= popup.BitBtn1->sizeHint().height());
    QVERIFY(popup.rect().contains(popup.BitBtn1->geometry()) || popup.BitBtn1->x() < 0);
  }

  void windowFrames() {
    SetLook(false, 10);
    Windows windows;
    const Qt::WindowFlags form = windows.form->windowFlags();
    QCOMPARE(windows.form->windowType(), Qt::Window);
    QVERIFY(form & Qt::WindowMinimizeButtonHint);
    QVERIFY(form & Qt::WindowCloseButtonHint);
    QVERIFY(!(form & Qt::WindowMaximizeButtonHint));
    QCOMPARE(windows.form->minimumSize(), windows.form->maximumSize());
    for (QWidget* dialog : {static_cast<QWidget*>(windows.dialog.get()), static_cast<QWidget*>(windows.popup.get())}) {
      const Qt::WindowFlags flags = dialog->windowFlags();
      QCOMPARE(dialog->windowType(), Qt::Dialog);
      QVERIFY(flags & Qt::CustomizeWindowHint);  // so no window system adds buttons of its own accord
      QVERIFY(flags & Qt::WindowTitleHint);
      QVERIFY(flags & Qt::WindowCloseButtonHint);
      QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
      QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
    }
    QCOMPARE(windows.popup->windowTitle(), QStringLiteral("Zuzuriz Avizuvure vavid"));
    QCOMPARE(windows.popup->label1->font(), windows.form->font());
  }

  void pagePicturesMatch() {
    SetLook(false, 10);
    Windows windows;
    QToolButton* status = windows.form->AdvGlowButton28;
    QToolButton* port = windows.form->AdvGlowButton47;
    QCOMPARE(status->iconSize(), port->iconSize());
    for (QToolButton* b : {status, port}) {
      QCOMPARE(b->icon().actualSize(b->iconSize()), b->iconSize());
      QCOMPARE(b->icon().pixmap(b->iconSize(), b->devicePixelRatioF()).deviceIndependentSize().toSize(), b->iconSize());
    }
    QCOMPARE(status->sizeHint().height(), port->sizeHint().height());
    QCOMPARE(status->y(), port->y());
  }

  void indicatorPixels_data() {
    QTest::addColumn<int>("logical");
    QTest::addColumn<double>("ratio");
    for (int logical : {32, 48}) {
      for (double ratio : {1.0, 1.25, 1.5, 2.0, 3.0}) {
        QTest::addRow("%d px at %g", logical, ratio) << logical << ratio;
      }
    }
  }
  // Each pixel of the 16 x 16 picture becomes a square of whole device
  // pixels of its own colour, as large as the control allows.
  void indicatorPixels() {
    QFETCH(int, logical);
    QFETCH(double, ratio);
    const QImage pattern = app::IndicatorImage(false, 13);
    const QPixmap pixmap = app::IndicatorPixmap(pattern, logical, ratio);
    QCOMPARE(pixmap.devicePixelRatio(), ratio);
    const int device = pixmap.width();
    QCOMPARE(pixmap.height(), device);
    QCOMPARE(device % 16, 0);
    const int scale = device / 16;
    QVERIFY(device <= logical * ratio + 1e-6);
    QVERIFY(device + 16 > logical * ratio);
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < device; ++y) {
      for (int x = 0; x < device; ++x) {
        if (image.pixel(x, y) != pattern.pixel(x / scale, y / scale)) {
          QFAIL(qPrintable(QString("device pixel %1,%2 is not its picture pixel's colour").arg(x).arg(y)));
        }
      }
    }
  }

  void indicatorsOnTheWindow() {
    SetLook(false, 10);
    Windows windows;
    for (QLabel* indicator : {windows.form->Image2, windows.form->Image3}) {
      const QPixmap pixmap = indicator->pixmap();
      QVERIFY2(indicator->width() >= 32, "large enough to read across a room");
      QCOMPARE(pixmap.devicePixelRatio(), indicator->devicePixelRatioF());
      QCOMPARE(pixmap.width() % 16, 0);
      QVERIFY(pixmap.width() / 16 >= 2);
      QVERIFY(pixmap.deviceIndependentSize().width() <= indicator->width());
    }
  }

  void closeCodeEntryEmptyAtEachOpening() {
    TForm2 dialog;
    dialog.SetCloseCode("12345");
    dialog.show();
    QTest::keyClicks(dialog.MaskEdit1, "123");
    dialog.BitBtn1Click();
    QCOMPARE(dialog.result(), int(TForm2::Wrong));
    dialog.show();
    QCOMPARE(dialog.MaskEdit1->text(), QString());
  }
};

QTEST_MAIN(LookTest)
#include "look_test.moc"
