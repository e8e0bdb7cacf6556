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
#include "app/core/close_code.h"
#include "app/indicators.h"
#include "app/program_icon.h"
#include "common/cp1251.h"

namespace {

QString ForDisplay(std::string_view cp1251) { return QString::fromStdString(common::Cp1251ToUtf8(cp1251)); }
std::string Stored(const QString& text) { return common::Utf8ToCp1251(text.toStdString()); }

const QString kCaption = QStringLiteral("КПО Зорвик 2008 - Zuzuriz Avizuvure vavid");
const QString kStopCaption = QStringLiteral("Остановить");
const QString kStartCaption = QStringLiteral("Запустить");
constexpr int kLogViewLines = 35;

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
  BuildHealthLine();
  BuildTimers();
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
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowIcon(app::ProgramIcon());

  TopStrip = new QLabel(kCaption, this);
  TopStrip->setObjectName("TopStrip");
  TopStrip->setTextFormat(Qt::PlainText);
  QFont stripFont = TopStrip->font();
  stripFont.setBold(true);
  stripFont.setPointSize(stripFont.pointSize() + 1);
  TopStrip->setFont(stripFont);

  auto pageButton = [this](const char* name, const QString& text, QStyle::StandardPixmap pixmap) {
    auto* button = new QToolButton(this);
    button->setObjectName(name);
    button->setText(text);
    button->setIcon(style()->standardIcon(pixmap));
    button->setIconSize(QSize(32, 32));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setMinimumWidth(96);
    return button;
  };
  AdvGlowButton28 = pageButton("AdvGlowButton28", QStringLiteral("Состояние"), QStyle::SP_ComputerIcon);
  AdvGlowButton47 = pageButton("AdvGlowButton47", QStringLiteral("Настройки"), QStyle::SP_FileDialogDetailedView);
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
  QToolBar* stateBar = toolbar("AdvToolBar1", QStringLiteral("Состояние"), AdvGlowButton28);
  QToolBar* setupBar = toolbar("AdvToolBar2", QStringLiteral("Настройки"), AdvGlowButton47);

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
    label->setFixedSize(16, 16);
    return label;
  };

  // Status page "Default".
  auto* statusPage = new QWidget(this);
  statusPage->setObjectName("Default");
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
  grid->addWidget(caption(QStringLiteral("Дата и время запуска")), 0, 2);
  grid->addWidget(Label6, 0, 3);
  grid->addWidget(Image3, 1, 0);
  grid->addWidget(caption(QStringLiteral("Связь с сервером сообщений")), 1, 1);
  grid->addWidget(caption(QStringLiteral("Пароль для закрытия")), 1, 2);
  grid->addWidget(Label15, 1, 3);
  grid->setColumnStretch(1, 1);
  auto* statusLayout = new QVBoxLayout(statusPage);
  statusLayout->addLayout(grid);
  statusLayout->addWidget(Label7);
  statusLayout->addWidget(Memo1, 1);

  // Port page "setup".
  auto* setupPage = new QWidget(this);
  setupPage->setObjectName("setup");
  GroupBox1 = new QGroupBox(QStringLiteral("Com порт"), setupPage);
  GroupBox1->setObjectName("GroupBox1");
  AdvOfficeComboBox1 = new QComboBox(GroupBox1);
  AdvOfficeComboBox1->setObjectName("AdvOfficeComboBox1");
  AdvOfficeComboBox1->setMinimumWidth(140);
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
  auto* setupLayout = new QVBoxLayout(setupPage);
  setupLayout->addWidget(GroupBox1);
  setupLayout->addStretch();
  // The window opens in its running look: the stop is offered.
  AdvOfficeComboBox1->setEnabled(false);
  AdvGlowButton1->setEnabled(false);

  Notebook1 = new QStackedWidget(this);
  Notebook1->setObjectName("Notebook1");
  Notebook1->addWidget(statusPage);
  Notebook1->addWidget(setupPage);

  auto* strip = new QWidget(this);
  strip->setObjectName("Strip");
  auto* stripLayout = new QHBoxLayout(strip);
  stripLayout->addWidget(stateBar);
  stripLayout->addWidget(setupBar);
  stripLayout->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(TopStrip);
  layout->addWidget(strip);
  layout->addWidget(Notebook1, 1);

  setFixedSize(640, 460);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
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

// Under the indicators: whether the station can receive calls.
void TForm1::BuildHealthLine() {
  LabelHealth = new QLabel(this);
  LabelHealth->setObjectName("LabelHealth");
  LabelHealth->setTextFormat(Qt::PlainText);
  LabelHealth->setWordWrap(true);
  LabelHealth->hide();
  QWidget* statusPage = Notebook1->widget(0);
  if (auto* layout = qobject_cast<QVBoxLayout*>(statusPage->layout())) layout->insertWidget(1, LabelHealth);
}

// The session starts and stops Timer3 as the dialogue has work for it.
void TForm1::BuildTimers() {
  Timer3 = timer3_.Timer();
  Timer1 = timer1_.Timer();
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
  Image3->setPixmap(QPixmap::fromImage(app::IndicatorImage(linkPort_.Connected(), linkPhase_)));
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
  Image2->setPixmap(QPixmap::fromImage(app::IndicatorImage(active && healthy, phase)));
}

void TForm1::ShowHealth(const std::string& line, bool warning) {
  const QString text = ForDisplay(line);
  LabelHealth->setText(text);
  LabelHealth->setVisible(!text.isEmpty());
  LabelHealth->setStyleSheet(warning ? QStringLiteral("QLabel { color: #b00020; font-weight: bold; }") : QString());
  const QString title = QStringLiteral("Zuzuriz Avizuvure vavid");
  RxTrayIcon1->setToolTip(text.isEmpty() ? title : title + "\n" + text);
}
