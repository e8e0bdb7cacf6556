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
#include <chrono>
#include <random>

#include "app/indicators.h"
#include "app/program_icon.h"
#include "common/cp1251.h"
#include "link/frame.h"
#include "modem/spool.h"
#include "serial/port_discovery.h"

static_assert(modem::kCallEventFrameType == static_cast<uint32_t>(serverlink::ftCallEvent));

namespace {

using common::Ru;

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
      logs_(clock_),
      pollTimer_([this] { serialPort_.PollTick(); }),
      serialPort_(pollTimer_, ticks_),
      dialogue_(*this, clock_) {
  setObjectName("Form1");
  // The port as the window's description sets it up.
  serialPort_.SetPort(serial::pnCustom);
  serialPort_.SetPacketSize(256);
  serialPort_.SetPacketTimeout(200);
  serialPort_.SetPacketMode(serial::pmPass);
  serialPort_.SetPollingDelay(5);
  serialPort_.SetOutputTimeout(200);
  serialPort_.OnReceivePacket = [this](serial::TSerialPortDriver* sender, const uint8_t* packet, uint32_t size) {
    SerialPort1ReceivePacket(sender, packet, size);
  };
  // The driver reports from inside its poll tick; act once it has returned.
  serialPort_.OnPortLost = [this] { QTimer::singleShot(0, this, &TForm1::PortLost); };

  BuildControls();
  BuildTray();
  FormCreate();
}

TForm1::~TForm1() {
  if (!closing_) CloseConfirmed();
  FinishLink();
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
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(grid);
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
  // The window is described in its running look.
  AdvOfficeComboBox1->setEnabled(false);
  AdvGlowButton1->setEnabled(false);
  return page;
}

void TForm1::BuildTimers() {
  Timer3 = new QTimer(this);
  Timer3->setObjectName("Timer3");
  Timer3->setTimerType(Qt::PreciseTimer);
  Timer3->setInterval(50);
  connect(Timer3, &QTimer::timeout, this, &TForm1::Timer3Timer);
  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setTimerType(Qt::PreciseTimer);
  Timer1->setInterval(30000);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
  portRetryTimer_ = new QTimer(this);
  portRetryTimer_->setInterval(options_.PortRetryMs);
  connect(portRetryTimer_, &QTimer::timeout, this, &TForm1::RetryPort);
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
  if (QSystemTrayIcon::isSystemTrayAvailable()) RxTrayIcon1->show();
}

void TForm1::FormCreate() {
  dialogue_.AwaitingReply = false;
  DrawCloseCode();
  AdvGlowButton28Click();
  Label6->setText(ForDisplay(app::DateTimeText(clock_.Now())));
  programDir_ = options_.ProgramDir.empty() ? app::ProgramDir() : options_.ProgramDir;
  dialogue_.ModemActive = false;
  DrawModemIndicator();
  dialogue_.CommandQueue.clear();
  AdvGlowButton1Click();
  StartModem();
  if (options_.StartLink) StartLinkThread();
  DrawLinkIndicator();
  Timer3->start();
  PublishModemSnapshot();
}

void TForm1::DrawCloseCode() {
  const auto seed = static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> draw(0, 89998);
  closeCode_ = QString::number(draw(generator) + 10000);
  Label15->setText(closeCode_);
}

std::string TForm1::DevicePathFor(const std::string& comName) const {
  const int n = app::ComNumber(comName);
  if (n > 0) return app::ComDevicePath(programDir_, n);
  // A name outside COM1..COM32 is taken as a device under /dev.
  return comName.rfind('/', 0) == 0 ? comName : "/dev/" + comName;
}

void TForm1::StartModem() {
  if (!app::ReadSettings(programDir_, settings_)) {
    quitRequested_ = true;
    modal_.ShowMissingSettings();
    RequestExit(1);
    return;
  }
  logs_.LogOn = settings_.LogOn;
  logs_.Syslog = settings_.Syslog;
  logs_.LogPath = settings_.LogPath;

  AdvOfficeComboBox1->clear();
  AdvOfficeComboBox1->addItem(ForDisplay(settings_.ComName));
  AdvOfficeComboBox1->setCurrentIndex(0);
  if (settings_.ComName.empty()) return;

  try {
    if (!OpenConfiguredPort()) return;
  } catch (...) {
    AppendLogView(Ru("Не удается открыть порт ") + settings_.ComName);
    return;
  }
  dialogue_.StartDialogue();
  SetRunningLayout(true);
  PublishModemSnapshot();
}

bool TForm1::OpenConfiguredPort() {
  serialPort_.SetPortName(DevicePathFor(settings_.ComName));
  serialPort_.SetBaudRateValue(static_cast<uint32_t>(settings_.Speed));
  return serialPort_.OpenPort();
}

void TForm1::SetRunningLayout(bool running) {
  AdvGlowButton2->setText(running ? kStopCaption : kStartCaption);
  AdvOfficeComboBox1->setEnabled(!running);
  AdvGlowButton1->setEnabled(!running);
}

void TForm1::Disconnect() {
  AppendLogView(Ru("Отключились."));
  serialPort_.ClosePort();
  Timer1->stop();
}

void TForm1::AdvGlowButton1Click() {
  AdvOfficeComboBox1->clear();
  const auto names = serial::ScanPorts([this](int n) { return app::ComDevicePath(programDir_, n); });
  for (const auto& name : names) AdvOfficeComboBox1->addItem(ForDisplay(name));
  if (AdvOfficeComboBox1->count() > 0) AdvOfficeComboBox1->setCurrentIndex(0);
}

void TForm1::AdvGlowButton2Click() {
  if (AdvGlowButton2->text() == kStopCaption) {
    if (modal_.AskCloseCode(closeCode_) == app::ModalUi::Accepted) {
      const bool wasWaitingForPort = portRetryTimer_->isActive();
      portRetryTimer_->stop();
      if (dialogue_.ModemActive) {
        dialogue_.StopDialogue();
        Disconnect();
        DrawModemIndicator();
      } else if (wasWaitingForPort) {
        serialPort_.ClosePort();
      }
      SetRunningLayout(false);
    } else {
      modal_.ShowNotice(QStringLiteral("Неправильный пароль. В доступе отказано"));
    }
  } else {
    settings_.ComName = Stored(AdvOfficeComboBox1->currentText());
    try {
      if (app::WriteComSetting(programDir_, settings_.ComName)) StartModem();
    } catch (const std::exception& error) {
      modal_.ShowError(QString::fromStdString(error.what()));
      return;
    }
  }
  PublishModemSnapshot();
  SendModemStatus();
}

void TForm1::SendModemStatus() {
  if (!link_) return;
  link_->SendFrame(serverlink::ftModemStatus,
                   serverlink::BuildModemStatus(settings_.ComName.substr(0, 6), dialogue_.ModemActive));
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
  if (!RxTrayIcon1->isVisible()) return;
  hide();
}

void TForm1::N4Click() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::N6Click() { close(); }

void TForm1::closeEvent(QCloseEvent* event) {
  if (closing_) {
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
  if (closing_) return;
  closing_ = true;
  portRetryTimer_->stop();
  if (serialPort_.IsOpen()) serialPort_.ClosePort();
  if (link_) {
    link_->ReconnectAllowed = false;
    link_->StopRequested = true;
  }
  if (linkUi_) linkUi_->Closing = true;
  dialogue_.CommandQueue.clear();
  Timer3->stop();
  Timer1->stop();
  SpoolQueuedCallEvents();
}

void TForm1::SpoolQueuedCallEvents() {
  if (!link_) return;
  // The link thread may still write one of these at this moment: the server
  // then gets it twice, which beats losing it.
  for (const auto& payload : link_->QueuedCallEvents()) {
    if (payload.size() != modem::kCallEventSize) continue;
    modem::CallEventBytes event{};
    std::copy(payload.begin(), payload.end(), event.begin());
    const auto result = modem::WriteSpoolFile(settings_.PathForSoob, clock_.Now(), event);
    if (!result.Ok) {
      const std::string line = Ru("Не удалось записать событие в файл ") + result.Path;
      logs_.WriteSystemLog(line);
    }
  }
}

void TForm1::FinishLink(int timeoutMs) {
  if (!link_) return;
  link_->ReconnectAllowed = false;
  link_->StopRequested = true;
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
  env.Modem = [this] { return ModemSnapshotCopy(); };
  env.ReadServerHost = [](const std::string& dir) { return app::ReadServerHost(dir); };
  if (options_.AdjustLink) options_.AdjustLink(env);
  link_ = std::make_unique<serverlink::cl>(std::move(env));
  link_->Start();
}

void TForm1::PublishModemSnapshot() {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  snapshot_.ComName = settings_.ComName;
  snapshot_.ModemActive = dialogue_.ModemActive;
}

serverlink::ModemSnapshot TForm1::ModemSnapshotCopy() {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return snapshot_;
}

void TForm1::Timer3Timer() {
  dialogue_.Timer3Timer();
  PublishModemSnapshot();
}

void TForm1::Timer1Timer() { dialogue_.Timer1Timer(); }

void TForm1::SerialPort1ReceivePacket(serial::TSerialPortDriver*, const uint8_t* Packet, uint32_t DataSize) {
  dialogue_.SerialPort1ReceivePacket(Packet, DataSize);
  PublishModemSnapshot();
}

void TForm1::PortLost() {
  if (closing_ || !serialPort_.IsOpen()) return;
  AppendLogView(Ru("Связь с портом ") + settings_.ComName + Ru(" потеряна."));
  if (dialogue_.ModemActive) dialogue_.StopDialogue();
  serialPort_.ClosePort();
  Timer1->stop();
  DrawModemIndicator();
  PublishModemSnapshot();
  SendModemStatus();
  portRetryTimer_->start();
}

void TForm1::RetryPort() {
  if (closing_) return;
  bool opened = false;
  try {
    opened = OpenConfiguredPort();
  } catch (...) {
    opened = false;
  }
  if (!opened) return;
  portRetryTimer_->stop();
  AppendLogView(Ru("Порт ") + settings_.ComName + Ru(" снова доступен."));
  dialogue_.StartDialogue();
  PublishModemSnapshot();
  SendModemStatus();
}

bool TForm1::WaitingForPort() const { return portRetryTimer_->isActive(); }

void TForm1::DrawModemIndicator() {
  const QImage image = app::IndicatorImage(dialogue_.ModemActive, dialogue_.PacketCounter);
  Image2->setPixmap(app::IndicatorPixmap(image, Image2->width(), Image2->devicePixelRatioF()));
}

void TForm1::DrawLinkIndicator() {
  const bool connected = link_ && link_->Connected.load();
  const QImage image = app::IndicatorImage(connected, linkPhase_);
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

// DialogueHost

bool TForm1::SendText(std::string_view bytes) { return serialPort_.SendText(bytes); }

bool TForm1::WriteOperatorLog(std::string_view text) { return logs_.WriteOperatorLog(text); }

bool TForm1::WriteSystemLog(std::string_view text) { return logs_.WriteSystemLog(text); }

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

void TForm1::SetTimer1Enabled(bool enabled) {
  if (enabled) {
    Timer1->start();
  } else {
    Timer1->stop();
  }
}

bool TForm1::LinkConnected() { return link_ && link_->Connected.load(); }

bool TForm1::SendCallEvent(const modem::CallEventBytes& event) {
  if (!link_) return false;
  return link_->SendFrame(serverlink::ftCallEvent, serverlink::Bytes(event.begin(), event.end()));
}

modem::CallSettings TForm1::CurrentCallSettings() {
  return modem::CallSettings{settings_.Code, settings_.NumberS, settings_.PathForSoob};
}
