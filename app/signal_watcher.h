#pragma once

#include <QObject>

class QSocketNotifier;

namespace app {

// SIGTERM, SIGINT and SIGHUP reach the UI thread through a self-pipe: the
// handler only writes one byte, and the event loop emits Received.
class SignalWatcher : public QObject {
  Q_OBJECT
 public:
  explicit SignalWatcher(QObject* parent = nullptr);
  ~SignalWatcher() override;

 signals:
  void Received(int signalNumber);

 private:
  void Drain();
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace app
