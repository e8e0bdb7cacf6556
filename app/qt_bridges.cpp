#include "app/qt_bridges.h"

#include <QMetaObject>
#include <QThread>

namespace app {

QtPollTimer::QtPollTimer(std::function<void()> onTick) {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, std::move(onTick));
}

void QtPollTimer::Start(unsigned periodMs) { timer_.start(static_cast<int>(periodMs)); }

void QtPollTimer::Stop() { timer_.stop(); }

UiLinkBridge::UiLinkBridge(QObject* uiObject, std::function<void(const std::string&)> showLinkStatus,
                           std::function<void()> stepLinkIndicator)
    : uiObject_(uiObject),
      showLinkStatus_(std::move(showLinkStatus)),
      stepLinkIndicator_(std::move(stepLinkIndicator)) {}

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
  QMetaObject::invokeMethod(uiObject_, work, Qt::BlockingQueuedConnection);
}

}  // namespace app
