#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "app/core/modem_session.h"
#include "app/qt_bridges.h"
#include "common/datetime.h"
#include "common/ticks.h"
#include "link/link_thread.h"
#include "serial/serial_port_driver.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class QAction;

namespace app {

// The window's modal moments, replaceable so tests never block on a dialog.
class ModalUi {
 public:
  enum CodeResult { Cancelled = 0, Accepted = 1, Wrong = 3 };
  virtual ~ModalUi() = default;
  virtual CodeResult AskCloseCode(const QString& closeCode) = 0;
  virtual void ShowNotice(const QString& text) = 0;
  virtual void ShowMissingSettings() = 0;
  virtual void ShowError(const QString& text) = 0;
};

struct FormOptions {
  std::string ProgramDir;                // empty: the executable's directory
  const common::Clock* Clock = nullptr;  // null: local time of the machine
  bool StartLink = true;
  // Lets tests shorten the link's waits or give it a fake clock.
  std::function<void(serverlink::LinkEnvironment&)> AdjustLink;
  unsigned PortRetryMs = 5000;
  // Whether minimising hides the window in the notification area; null:
  // whether the desktop has one.
  std::optional<bool> NotificationArea;
  // How the window asks the main loop to end; null: QCoreApplication::exit,
  // queued so that it takes effect once the loop runs.
  std::function<void(int status)> RequestExit;
};

}  // namespace app

// The main window: its controls and handlers, the modem session they hand
// over to, and the link thread.
class TForm1 : public QWidget, private app::SessionView {
  Q_OBJECT
 public:
  TForm1(app::ModalUi& modal, app::FormOptions options = {});
  ~TForm1() override;

  // The handlers of the window, named after their controls.
  void FormCreate();
  void StartModem();
  void AdvGlowButton1Click();
  void AdvGlowButton2Click();
  void AdvGlowButton28Click();
  void AdvGlowButton47Click();
  void ApplicationEvents1Minimize();
  void N4Click();
  void N6Click();
  void Timer3Timer();
  void Timer1Timer();
  void SerialPort1ReceivePacket(serial::TSerialPortDriver* Sender, const uint8_t* Packet, uint32_t DataSize);
  void DrawModemIndicator();
  void DrawLinkIndicator();
  void ShowLinkStatus(const std::string& statusText);
  void StepLinkIndicator();

  // A confirmed close without the dialog (also the path of SIGTERM): port
  // closed, the link told to stop, queued call events spooled.
  void CloseConfirmed();
  // Waits, handling events, until the link thread has ended (bounded).
  void FinishLink(int timeoutMs = 2500);
  // True when startup asked for the program to end (no settings file).
  bool QuitRequested() const { return quitRequested_; }

  app::ModemSession& Session() { return session_; }
  serverlink::cl* Link() { return link_.get(); }

  // Controls; each keeps its name as its objectName too.
  QLabel* TopStrip = nullptr;
  QToolButton* AdvGlowButton28 = nullptr;
  QToolButton* AdvGlowButton47 = nullptr;
  QStackedWidget* Notebook1 = nullptr;
  QLabel* Image2 = nullptr;
  QLabel* Image3 = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label15 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* LabelHealth = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QComboBox* AdvOfficeComboBox1 = nullptr;
  QPushButton* AdvGlowButton2 = nullptr;
  QPushButton* AdvGlowButton1 = nullptr;
  QSystemTrayIcon* RxTrayIcon1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* N4 = nullptr;
  QAction* N6 = nullptr;
  QTimer* Timer3 = nullptr;
  QTimer* Timer1 = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // SessionView
  void AppendLogView(std::string_view text) override;
  void TrimLogView() override;
  void ShowConfiguredPort(const std::string& comName) override;
  void ShowRunningLayout(bool stopOffered) override;
  void DrawModemIndicator(bool active, int32_t phase, bool healthy) override;
  void ShowHealth(const std::string& line, bool warning) override;

  void BuildControls();
  QWidget* BuildStrip();
  QWidget* BuildStatusPage();
  QWidget* BuildPortPage();
  void BuildTimers();
  // Everything whose size follows the font: the strip's caption, the page
  // pictures, the indicators, the log view and the window's fixed size.
  void FitToFont();
  void BuildTray();
  void DrawCloseCode();
  void StartLinkThread();
  void EndForMissingSettings();
  void RequestExit(int status);

  app::ModalUi& modal_;
  app::FormOptions options_;
  common::SystemClock systemClock_;
  const common::Clock& clock_;
  common::MonotonicTicks ticks_;
  QString closeCode_;
  int linkPhase_ = 0;
  bool quitRequested_ = false;
  bool notificationArea_ = false;

  app::QtTimer pollTimer_;
  app::QtInputWatcher portWatcher_;
  app::QtTimer timer3_;
  app::QtTimer timer1_;
  app::QtTimer retryTimer_;
  app::ThreadLink linkPort_;
  app::ModemSession session_;

  std::unique_ptr<app::UiLinkBridge> linkUi_;
  std::unique_ptr<serverlink::cl> link_;
};
