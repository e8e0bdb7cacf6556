#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <string>

#include "link/link_thread.h"
#include "serial/serial_port_driver.h"

namespace app {

// The serial driver's poll timer as a precise Qt timer on the UI thread.
class QtPollTimer : public serial::PollTimer {
 public:
  explicit QtPollTimer(std::function<void()> onTick);
  void Start(unsigned periodMs) override;
  void Stop() override;
  bool IsActive() const { return timer_.isActive(); }

 private:
  QTimer timer_;
};

// Runs the link thread's two reports on the UI thread and waits for them.
// Once the window is closing it stops handing anything over, so the UI
// thread can wait for the link thread without either waiting on the other.
class UiLinkBridge : public serverlink::LinkUi {
 public:
  UiLinkBridge(QObject* uiObject, std::function<void(const std::string&)> showLinkStatus,
               std::function<void()> stepLinkIndicator);
  void ShowLinkStatus(const std::string& statusText) override;
  void StepLinkIndicator() override;

  std::atomic<bool> Closing{false};  // UI thread writes, link thread reads

 private:
  void RunOnUiThread(const std::function<void()>& work);
  QObject* uiObject_;
  std::function<void(const std::string&)> showLinkStatus_;
  std::function<void()> stepLinkIndicator_;
};

}  // namespace app
