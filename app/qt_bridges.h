#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "link/link_thread.h"
#include "common/timer.h"
#include "serial/input_watcher.h"

namespace app {

// A precise Qt timer on the UI thread as the core's periodic timer. The
// QTimer is a child of parent, named so that the window's timers keep the
// names they are known by.
class QtTimer : public common::PeriodicTimer {
 public:
  QtTimer(QObject* parent, const char* name, std::function<void()> onTick);
  void Start(unsigned periodMs) override;
  void Stop() override;
  QTimer* Timer() const { return timer_; }

 private:
  QTimer* timer_;
};

// A QSocketNotifier on the UI thread as the serial driver's input watcher.
// A read notifier also fires when the device hangs up or fails, which is
// how a lost port is noticed while the line is quiet.
class QtInputWatcher : public serial::InputWatcher {
 public:
  QtInputWatcher(QObject* parent, std::function<void()> onReady);
  void Watch(int fd) override;
  void Stop() override;
  bool Watching() const { return notifier_->isEnabled(); }

 private:
  // One notifier, switched between descriptors: it is never deleted, so
  // Stop may be called from inside its own activation.
  QSocketNotifier* notifier_;
};

// Runs the link thread's two reports on the UI thread and waits for them.
// Once the window is closing it stops handing anything over, and a report
// still waiting is dropped, so the UI thread can wait for the link thread
// without either waiting on the other.
//
// The hand-over is a mutex, a condition variable and a self-pipe watched by
// the UI thread's event loop rather than a blocking queued call: every byte
// the two threads share is then guarded by a lock the thread checker sees.
// Made on the UI thread.
class UiLinkBridge : public serverlink::LinkUi {
 public:
  UiLinkBridge(QObject* uiObject, std::function<void(const std::string&)> showLinkStatus,
               std::function<void()> stepLinkIndicator);
  ~UiLinkBridge() override;
  UiLinkBridge(const UiLinkBridge&) = delete;
  UiLinkBridge& operator=(const UiLinkBridge&) = delete;

  void ShowLinkStatus(const std::string& statusText) override;
  void StepLinkIndicator() override;

  std::atomic<bool> Closing{false};  // UI thread writes, link thread reads

 private:
  void RunOnUiThread(const std::function<void()>& work);
  void RunPendingReport();  // UI thread, when the pipe is readable

  QObject* uiObject_;
  std::function<void(const std::string&)> showLinkStatus_;
  std::function<void()> stepLinkIndicator_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::unique_ptr<QSocketNotifier> wakeNotifier_;
  std::mutex mutex_;
  std::condition_variable reportRan_;
  const std::function<void()>* pending_ = nullptr;  // guarded by mutex_
};

}  // namespace app
