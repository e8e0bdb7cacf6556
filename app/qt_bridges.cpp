#include "app/qt_bridges.h"

#include <fcntl.h>
#include <unistd.h>

#include <QThread>
#include <chrono>

namespace app {

QtTimer::QtTimer(QObject* parent, const char* name, std::function<void()> onTick) : timer_(new QTimer(parent)) {
  timer_->setObjectName(name);
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, std::move(onTick));
}

void QtTimer::Start(unsigned periodMs) { timer_->start(static_cast<int>(periodMs)); }

void QtTimer::Stop() { timer_->stop(); }

QtInputWatcher::QtInputWatcher(QObject* parent, std::function<void()> onReady)
    : notifier_(new QSocketNotifier(QSocketNotifier::Read, parent)) {
  QObject::connect(notifier_, &QSocketNotifier::activated, std::move(onReady));
}

void QtInputWatcher::Watch(int fd) {
  notifier_->setEnabled(false);
  notifier_->setSocket(fd);
  notifier_->setEnabled(true);
}

void QtInputWatcher::Stop() { notifier_->setEnabled(false); }

UiLinkBridge::UiLinkBridge(QObject* uiObject, std::function<void(const std::string&)> showLinkStatus,
                           std::function<void()> stepLinkIndicator)
    : uiObject_(uiObject),
      showLinkStatus_(std::move(showLinkStatus)),
      stepLinkIndicator_(std::move(stepLinkIndicator)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    wakeNotifier_ = std::make_unique<QSocketNotifier>(wakeRead_, QSocketNotifier::Read);
    QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, [this] { RunPendingReport(); });
  }
}

UiLinkBridge::~UiLinkBridge() {
  wakeNotifier_.reset();
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void UiLinkBridge::ShowLinkStatus(const std::string& statusText) {
  RunOnUiThread([&] { showLinkStatus_(statusText); });
}

void UiLinkBridge::StepLinkIndicator() {
  RunOnUiThread([&] { stepLinkIndicator_(); });
}

void UiLinkBridge::RunOnUiThread(const std::function<void()>& work) {
  if (Closing.load()) return;
  if (QThread::currentThread() == uiObject_->thread()) {
    work();
    return;
  }
  if (wakeWrite_ < 0) return;  // no pipe: the reports are only cosmetic
  std::unique_lock lock(mutex_);
  pending_ = &work;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const auto written = ::write(wakeWrite_, "r", 1);
  // Closing is set without a notification; looking at it every 50 ms is
  // soon enough for a window that is shutting down.
  while (pending_ != nullptr && !Closing.load()) {
    reportRan_.wait_for(lock, std::chrono::milliseconds(50));
  }
  pending_ = nullptr;  // the UI thread runs it under the lock, so it cannot be mid-way
}

void UiLinkBridge::RunPendingReport() {
  char drain[64];
  while (::read(wakeRead_, drain, sizeof drain) > 0) {
  }
  std::lock_guard lock(mutex_);
  if (pending_ == nullptr) return;
  (*pending_)();
  pending_ = nullptr;
  reportRan_.notify_all();
}

}  // namespace app
