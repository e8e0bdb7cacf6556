#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/core/close_code.h"
#include "app/indicators.h"
#include "app/look.h"
#include "app/program_icon.h"
#include "common/cp1251.h"

namespace {

QString ForDisplay(std::string_view cp1251) { return QString::fromStdString(common::Cp1251ToUtf8(cp1251)); }
std::string Stored(const QString& text) { return common::Utf8ToCp1251(text.toStdString()); }

const QString kCaption = QStringLiteral("КПО Зорвик 2008 - Zuzuriz Avizuvure vavid");
const QString kStopCaption = QStringLiteral("Остановить");
const QString kStartCaption = QStringLiteral("Запустить");
constexpr int kLogViewLines = 35;

const QSize kStandardSize(640, 460);
constexpr int kIndicatorPixels = 16;
// The log view shows at least this many characters of its font.
constexpr int kLogViewColumns = 72;
constexpr int kLogViewRows = 12;
// The widest texts of the start time, the close code and the link status line.
const QString kDateTimeSample = QStringLiteral("00.00.0000 00:00:00");
const QString kCloseCodeSample = QStringLiteral("00000");
const QString kLongestLinkStatus = QStringLiteral("Ошибки по сети - переподсоединение.");

// The sample with each "0" replaced by the font's widest digit.
QString WidestDigits(QString sample, const QFontMetrics& metrics) {
  QChar widest('0');
  for (char d = '1'; d <= '9'; ++d) {
    if (metrics.horizontalAdvance(QChar(d)) > metrics.horizontalAdvance(widest)) widest = QChar(d);
  }
  return sample.replace('0', widest);
}

}  // namespace

TForm1::TForm1(app::ModalUi& modal, app::FormOptions options)
    : modal_(modal),
      options_(std::move(options)),
      clock_(options_.Clock ? *options_.Clock : systemClock_),
      pollTimer_(this, "SerialPort1PollTimer", [this] { session_.SerialPort1().PollTick(); }),
      portWatcher_(this, [this] { session_.SerialPort1().DeviceReadable(); }),
      timer3_(this, "Timer3", [this] { Timer3Timer(); }),
      timer1_(this, "Timer1", [this] { Timer1Timer(); }),
      retryTimer_(this, "PortRetryTimer", [this] { session_.RetryPort(); }),
      session_(app::SessionEnvironment{
          .View = this,
          .Link = &linkPort_,
          .Clock = &clock_,
          .Ticks = &ticks_,
          .PollTimer = &pollTimer_,
          .PortWatcher = &portWatcher_,
          .Timer3 = &timer3_,
          .Timer1 = &timer1_,
          .RetryTimer = &retryTimer_,
          .Post = [this](std::function<void()> work) { QTimer::singleShot(0, this, std::move(work)); },
          .ProgramDir = options_.ProgramDir.empty() ? app::ProgramDir() : options_.ProgramDir,
          .PortRetryMs = options_.PortRetryMs,
      }) {
  setObjectName("Form1");
  session_.SerialPort1().OnReceivePacket = [this](serial::TSerialPortDriver* sender, const uint8_t* packet,
                                                  uint32_t size) { SerialPort1ReceivePacket(sender, packet, size); };
  BuildControls();
  BuildTray();
  FormCreate();
}

TForm1::~TForm1() {
  CloseConfirmed();
  FinishLink();
  linkPort_.Attach(nullptr);
  link_.reset();
}

void TForm1::BuildControls() {
  setWindowTitle(kCaption);
  // Fixed size: minimise and close, never maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowIcon(app::ProgramIcon());

  TopStrip = new QLabel(kCaption, this);
  TopStrip->setObjectName("TopStrip");
  TopStrip->setTextFormat(Qt::PlainText);
  QWidget* strip = BuildStrip();

  Notebook1 = new QStackedWidget(this);
  Notebook1->setObjectName("Notebook1");
  Notebook1->addWidget(BuildStatusPage());
  Notebook1->addWidget(BuildPortPage());

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(TopStrip);
  layout->addWidget(strip);
  layout->addWidget(Notebook1, 1);

  // The keyboard's order: the page buttons, the log view, the port controls.
  setTabOrder(AdvGlowButton28, AdvGlowButton47);
  setTabOrder(AdvGlowButton47, Memo1);
  setTabOrder(Memo1, AdvOfficeComboBox1);
  setTabOrder(AdvOfficeComboBox1, AdvGlowButton2);
  setTabOrder(AdvGlowButton2, AdvGlowButton1);

  BuildTimers();
  FitToFont();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

QWidget* TForm1::BuildStrip() {
  auto pageButton = [this](const char* name, const QString& text, app::Page page) {
    auto* button = new QToolButton(this);
    button->setObjectName(name);
    button->setText(text);
    button->setIcon(app::PageIcon(page));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setCheckable(true);
    button->setAutoRaise(true);
    return button;
  };
  AdvGlowButton28 = pageButton("AdvGlowButton28", QStringLiteral("Состояние"), app::Page::Status);
  AdvGlowButton47 = pageButton("AdvGlowButton47", QStringLiteral("Настройки"), app::Page::Port);
  auto* pageGroup = new QButtonGroup(this);
  pageGroup->setExclusive(true);
  pageGroup->addButton(AdvGlowButton28);
  pageGroup->addButton(AdvGlowButton47);
  AdvGlowButton28->setChecked(true);
  connect(AdvGlowButton28, &QToolButton::clicked, this, &TForm1::AdvGlowButton28Click);
  connect(AdvGlowButton47, &QToolButton::clicked, this, &TForm1::AdvGlowButton47Click);

  auto toolbar = [this](const char* name, const QString& title, QToolButton* button) {
    auto* bar = new QToolBar(title, this);
    bar->setObjectName(name);
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->addWidget(button);
    return bar;
  };
  auto* strip = new QWidget(this);
  strip->setObjectName("Strip");
  auto* stripLayout = new QHBoxLayout(strip);
  stripLayout->setContentsMargins(0, 0, 0, 0);
  stripLayout->addWidget(toolbar("AdvToolBar1", QStringLiteral("Состояние"), AdvGlowButton28));
  stripLayout->addWidget(toolbar("AdvToolBar2", QStringLiteral("Настройки"), AdvGlowButton47));
  stripLayout->addStretch();
  return strip;
}

QWidget* TForm1::BuildStatusPage() {
  auto caption = [this](const QString& text) {
    auto* label = new QLabel(text, this);
    label->setTextFormat(Qt::PlainText);
    return label;
  };
  auto valueLabel = [this](const char* name) {
    auto* label = new QLabel(this);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
  };
  auto indicator = [this](const char* name) {
    auto* label = new QLabel(this);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    return label;
  };

  auto* page = new QWidget(this);
  page->setObjectName("Default");
  Image2 = indicator("Image2");
  Image3 = indicator("Image3");
  Label6 = valueLabel("Label6");
  Label15 = valueLabel("Label15");
  QFont codeFont = Label15->font();
  codeFont.setBold(true);
  Label15->setFont(codeFont);
  Label7 = valueLabel("Label7");
  Label7->setAlignment(Qt::AlignCenter);
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);

  auto* grid = new QGridLayout;
  grid->addWidget(Image2, 0, 0);
  grid->addWidget(caption(QStringLiteral("Контроль связи с терминалом")), 0, 1);
  grid->addWidget(caption(QStringLiteral("Дата и время запуска")), 0, 3);
  grid->addWidget(Label6, 0, 4);
  grid->addWidget(Image3, 1, 0);
  grid->addWidget(caption(QStringLiteral("Связь с сервером сообщений")), 1, 1);
  grid->addWidget(caption(QStringLiteral("Пароль для закрытия")), 1, 3);
  grid->addWidget(Label15, 1, 4);
  // Column 2 is the gap between the indicators' captions and the fields.
  grid->setColumnStretch(2, 1);
  // Under the indicators: whether the station can receive calls.
  LabelHealth = valueLabel("LabelHealth");
  LabelHealth->setWordWrap(true);
  LabelHealth->hide();
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(grid);
  layout->addWidget(LabelHealth);
  layout->addWidget(Label7);
  layout->addWidget(Memo1, 1);
  return page;
}

QWidget* TForm1::BuildPortPage() {
  auto* page = new QWidget(this);
  page->setObjectName("setup");
  GroupBox1 = new QGroupBox(QStringLiteral("Com порт"), page);
  GroupBox1->setObjectName("GroupBox1");
  AdvOfficeComboBox1 = new QComboBox(GroupBox1);
  AdvOfficeComboBox1->setObjectName("AdvOfficeComboBox1");
  AdvGlowButton2 = new QPushButton(kStopCaption, GroupBox1);
  AdvGlowButton2->setObjectName("AdvGlowButton2");
  AdvGlowButton1 = new QPushButton(QStringLiteral("Сканировать заново"), GroupBox1);
  AdvGlowButton1->setObjectName("AdvGlowButton1");
  connect(AdvGlowButton2, &QPushButton::clicked, this, &TForm1::AdvGlowButton2Click);
  connect(AdvGlowButton1, &QPushButton::clicked, this, &TForm1::AdvGlowButton1Click);
  auto* groupLayout = new QHBoxLayout(GroupBox1);
  groupLayout->addWidget(AdvOfficeComboBox1);
  groupLayout->addWidget(AdvGlowButton2);
  groupLayout->addWidget(AdvGlowButton1);
  groupLayout->addStretch();
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(GroupBox1);
  layout->addStretch();
  // The window opens in its running look: the stop is offered.
  AdvOfficeComboBox1->setEnabled(false);
  AdvGlowButton1->setEnabled(false);
  return page;
}

// The session starts and stops Timer3 as the dialogue has work for it.
void TForm1::BuildTimers() {
  Timer3 = timer3_.Timer();
  Timer1 = timer1_.Timer();
}

void TForm1::FitToFont() {
  QFont stripFont = font();
  stripFont.setBold(true);
  if (stripFont.pointSizeF() > 0) stripFont.setPointSizeF(stripFont.pointSizeF() + 1);
  TopStrip->setFont(stripFont);

  const QFontMetrics metrics = fontMetrics();
  const int line = metrics.height();
  for (QToolButton* button : {AdvGlowButton28, AdvGlowButton47}) {
    // A toolbar hands its own icon size to the buttons in it.
    button->setIconSize(QSize(2 * line, 2 * line));
    if (auto* bar = qobject_cast<QToolBar*>(button->parentWidget())) {
      bar->setIconSize(QSize(2 * line, 2 * line));
      // A toolbar keeps its item's old size unless told it changed.
      bar->updateGeometry();
    }
  }
  const int pageWidth = std::max(AdvGlowButton28->sizeHint().width(), AdvGlowButton47->sizeHint().width());
  for (QToolButton* button : {AdvGlowButton28, AdvGlowButton47}) button->setMinimumWidth(pageWidth + line);

  // About two and a half lines tall, in whole multiples of the indicator's
  // 16 pixels, so that it reads across a room.
  const int indicator = kIndicatorPixels * std::max(2, qRound(2.5 * line / kIndicatorPixels));
  if (auto* grid = Image2->parentWidget()->findChild<QGridLayout*>()) grid->setColumnMinimumWidth(2, 2 * line);
  Image2->setFixedSize(indicator, indicator);
  Image3->setFixedSize(indicator, indicator);
  DrawModemIndicator();
  DrawLinkIndicator();

  // The value labels are filled after the window is built and the status
  // line changes all the time: room for their longest texts is kept.
  const QString dateTime = WidestDigits(kDateTimeSample, metrics);
  Label6->setMinimumWidth(metrics.horizontalAdvance(dateTime));
  Label15->setMinimumWidth(Label15->fontMetrics().horizontalAdvance(WidestDigits(kCloseCodeSample, Label15->fontMetrics())));
  Label7->setMinimumWidth(metrics.horizontalAdvance(dateTime + " " + kLongestLinkStatus));
  // The health line may wrap once; the window is fixed, so its room is kept.
  LabelHealth->setMinimumHeight(2 * line);

  Memo1->setMinimumSize(kLogViewColumns * metrics.averageCharWidth(), kLogViewRows * line);
  AdvOfficeComboBox1->setMinimumWidth(10 * metrics.averageCharWidth());

  // Not resizable by the operator: fixed at what the layout needs, and no
  // smaller than the window's standard size.
  const QPoint centre = geometry().center();
  setMinimumSize(0, 0);
  setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  // A layout nested in another keeps the sizes it last worked out until it
  // is told they are stale.
  for (QLayout* nested : findChildren<QLayout*>()) nested->invalidate();
  setFixedSize(sizeHint().expandedTo(kStandardSize));
  if (isVisible()) move(pos() + centre - geometry().center());
}

void TForm1::BuildTray() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  N4 = PopupMenu1->addAction(QStringLiteral("Восстановить"));
  N4->setObjectName("N4");
  PopupMenu1->addSeparator();
  N6 = PopupMenu1->addAction(QStringLiteral("Закрыть"));
  N6->setObjectName("N6");
  connect(N4, &QAction::triggered, this, &TForm1::N4Click);
  connect(N6, &QAction::triggered, this, &TForm1::N6Click);

  RxTrayIcon1 = new QSystemTrayIcon(app::ProgramIcon(), this);
  RxTrayIcon1->setObjectName("RxTrayIcon1");
  RxTrayIcon1->setToolTip(QStringLiteral("Zuzuriz Avizuvure vavid"));
  RxTrayIcon1->setContextMenu(PopupMenu1);
  const bool available = QSystemTrayIcon::isSystemTrayAvailable();
  notificationArea_ = options_.NotificationArea.value_or(available);
  if (available) RxTrayIcon1->show();
}

void TForm1::FormCreate() {
  DrawCloseCode();
  AdvGlowButton28Click();
  Label6->setText(ForDisplay(app::DateTimeText(clock_.Now())));
  // The session starts stopped: no command queued, no reply awaited.
  DrawModemIndicator();
  AdvGlowButton1Click();
  StartModem();
  if (options_.StartLink) StartLinkThread();
  DrawLinkIndicator();
}

void TForm1::DrawCloseCode() {
  closeCode_ = QString::fromStdString(app::DrawCloseCode(app::CloseCodeSeed()));
  Label15->setText(closeCode_);
}

void TForm1::StartModem() {
  if (session_.StartModem() == app::StartResult::kNoSettings) EndForMissingSettings();
}

void TForm1::EndForMissingSettings() {
  quitRequested_ = true;
  modal_.ShowMissingSettings();
  RequestExit(1);
}

void TForm1::AdvGlowButton1Click() {
  AdvOfficeComboBox1->clear();
  for (const auto& name : session_.ScanPorts()) AdvOfficeComboBox1->addItem(ForDisplay(name));
  if (AdvOfficeComboBox1->count() > 0) AdvOfficeComboBox1->setCurrentIndex(0);
}

void TForm1::AdvGlowButton2Click() {
  if (session_.StopOffered()) {
    if (modal_.AskCloseCode(closeCode_) == app::ModalUi::Accepted) {
      session_.Stop();
    } else {
      modal_.ShowNotice(QStringLiteral("Неправильный пароль. В доступе отказано"));
    }
  } else {
    try {
      if (session_.StartOn(Stored(AdvOfficeComboBox1->currentText())) == app::StartResult::kNoSettings) {
        EndForMissingSettings();
      }
    } catch (const std::exception& error) {
      modal_.ShowError(QString::fromStdString(error.what()));
      return;
    }
  }
  session_.SendModemStatus();
}

void TForm1::AdvGlowButton28Click() {
  AdvGlowButton28->setChecked(true);
  AdvGlowButton47->setChecked(false);
  Notebook1->setCurrentIndex(0);
}

void TForm1::AdvGlowButton47Click() {
  AdvGlowButton47->setChecked(true);
  AdvGlowButton28->setChecked(false);
  Notebook1->setCurrentIndex(1);
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // A desktop theme may hand over its font once the window exists.
  // Fitted once every control has taken the new font.
  if (event->type() == QEvent::FontChange) QMetaObject::invokeMethod(this, &TForm1::FitToFont, Qt::QueuedConnection);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    QTimer::singleShot(0, this, &TForm1::ApplicationEvents1Minimize);
  }
}

void TForm1::ApplicationEvents1Minimize() {
  // Without a notification area the window stays minimised normally, so
  // it can still be found on the taskbar.
  if (!notificationArea_) return;
  hide();
}

void TForm1::N4Click() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::N6Click() { close(); }

void TForm1::closeEvent(QCloseEvent* event) {
  if (session_.Closing()) {
    event->accept();
    return;
  }
  switch (modal_.AskCloseCode(closeCode_)) {
    case app::ModalUi::Accepted:
      CloseConfirmed();
      event->accept();
      RequestExit(0);
      break;
    case app::ModalUi::Wrong:
      event->ignore();
      modal_.ShowNotice(QStringLiteral("Не правильный пароль."));
      break;
    case app::ModalUi::Cancelled:
      event->ignore();
      break;
  }
}

void TForm1::RequestExit(int status) {
  if (options_.RequestExit) {
    options_.RequestExit(status);
    return;
  }
  // Exit, not quit: quit would ask every window to close, and this one
  // answers a close with the code dialog.
  QMetaObject::invokeMethod(qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
}

void TForm1::CloseConfirmed() {
  if (session_.Closing()) return;
  session_.Close();
  if (linkUi_) linkUi_->Closing = true;
}

void TForm1::FinishLink(int timeoutMs) {
  if (!link_) return;
  link_->AllowReconnect(false);
  link_->RequestStop();
  // The link thread may be waiting for a report to run here: keep handling
  // events until it has left its loop.
  QElapsedTimer waited;
  waited.start();
  while (!link_->Finished.load() && waited.elapsed() < timeoutMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  if (linkUi_) linkUi_->Closing = true;
}

void TForm1::StartLinkThread() {
  linkUi_ = std::make_unique<app::UiLinkBridge>(
      this, [this](const std::string& text) { ShowLinkStatus(text); }, [this] { StepLinkIndicator(); });
  serverlink::LinkEnvironment env;
  env.Ui = linkUi_.get();
  env.Modem = [this] { return session_.Snapshot(); };
  env.ReadServerHost = [](const std::string& dir) { return app::ReadServerHost(dir); };
  if (options_.AdjustLink) options_.AdjustLink(env);
  link_ = std::make_unique<serverlink::cl>(std::move(env));
  linkPort_.Attach(link_.get());
  link_->Start();
}

void TForm1::Timer3Timer() { session_.Timer3Timer(); }

void TForm1::Timer1Timer() { session_.Timer1Timer(); }

void TForm1::SerialPort1ReceivePacket(serial::TSerialPortDriver*, const uint8_t* Packet, uint32_t DataSize) {
  session_.SerialPort1ReceivePacket(Packet, DataSize);
}

void TForm1::DrawModemIndicator() { session_.DrawModemIndicator(); }

void TForm1::DrawLinkIndicator() {
  const QImage image = app::IndicatorImage(linkPort_.Connected(), linkPhase_);
  Image3->setPixmap(app::IndicatorPixmap(image, Image3->width(), Image3->devicePixelRatioF()));
}

void TForm1::ShowLinkStatus(const std::string& statusText) {
  Label7->setText(ForDisplay(app::DateTimeText(clock_.Now()) + " " + statusText));
}

void TForm1::StepLinkIndicator() {
  ++linkPhase_;
  if (linkPhase_ > 16) linkPhase_ = 0;
  DrawLinkIndicator();
}

// SessionView

void TForm1::AppendLogView(std::string_view text) { Memo1->appendPlainText(ForDisplay(text)); }

void TForm1::TrimLogView() {
  // Lines count as the view shows them: a wrapped block is several lines.
  auto displayedLines = [](const QTextBlock& block) {
    const QTextLayout* layout = block.layout();
    return layout && layout->lineCount() > 0 ? layout->lineCount() : 1;
  };
  QTextDocument* document = Memo1->document();
  int total = 0;
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) total += displayedLines(block);
  while (total > kLogViewLines && document->blockCount() > 1) {
    const QTextBlock first = document->begin();
    total -= displayedLines(first);
    QTextCursor cursor(first);
    cursor.select(QTextCursor::BlockUnderCursor);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  }
}

void TForm1::ShowConfiguredPort(const std::string& comName) {
  AdvOfficeComboBox1->clear();
  AdvOfficeComboBox1->addItem(ForDisplay(comName));
  AdvOfficeComboBox1->setCurrentIndex(0);
}

void TForm1::ShowRunningLayout(bool stopOffered) {
  AdvGlowButton2->setText(stopOffered ? kStopCaption : kStartCaption);
  AdvOfficeComboBox1->setEnabled(!stopOffered);
  AdvGlowButton1->setEnabled(!stopOffered);
}

void TForm1::DrawModemIndicator(bool active, int32_t phase, bool healthy) {
  const QImage image = app::IndicatorImage(active && healthy, phase);
  Image2->setPixmap(app::IndicatorPixmap(image, Image2->width(), Image2->devicePixelRatioF()));
}

void TForm1::ShowHealth(const std::string& line, bool warning) {
  const QString text = ForDisplay(line);
  LabelHealth->setText(text);
  if (LabelHealth->isVisibleTo(this) == text.isEmpty()) {
    LabelHealth->setVisible(!text.isEmpty());
    FitToFont();
  }
  QPalette palette = QApplication::palette();
  QFont font = QApplication::font();
  if (warning) {
    palette.setColor(QPalette::WindowText, app::WarningText(palette));
    font.setBold(true);
  }
  LabelHealth->setPalette(palette);
  LabelHealth->setFont(font);
  const QString title = QStringLiteral("Zuzuriz Avizuvure vavid");
  RxTrayIcon1->setToolTip(text.isEmpty() ? title : title + "\n" + text);
}
