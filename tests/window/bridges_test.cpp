// The Qt side of the serial port on a real event loop: the socket notifier
// that wakes the driver, and the driver run by it and by a Qt poll timer
// against a pseudo-terminal, as the window runs it.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QTest>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "app/qt_bridges.h"
#include "common/ticks.h"
#include "serial/exclusive_device.h"
#include "serial/serial_port_driver.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_port.h"

class BridgesTest : public QObject {
  Q_OBJECT

 private slots:
  // A read notifier on a terminal fires for bytes, stays quiet once they
  // are read, and fires again when the far end hangs up: Qt reports a
  // hang-up (POLLHUP) to a read notifier, which is all a lost port needs.
  // Reads then give end of file, not an error, so the hang-up is what
  // tells the driver.
  void inputWatcherWakesForBytesAndForHangUp() {
    testsupport::PtyPair pty;
    ::fcntl(pty.SlaveFd(), F_SETFL, ::fcntl(pty.SlaveFd(), F_GETFL) | O_NONBLOCK);
    int wakes = 0;
    QObject owner;
    app::QtInputWatcher watcher(&owner, [&] {
      ++wakes;
      char drain[64];
      while (::read(pty.SlaveFd(), drain, sizeof drain) > 0) {
      }
    });
    watcher.Watch(pty.SlaveFd());
    QVERIFY(watcher.Watching());
    QTest::qWait(50);
    QCOMPARE(wakes, 0);

    QVERIFY(pty.WriteMaster("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(wakes > 0, 5000);
    const int afterBytes = wakes;
    QTest::qWait(100);
    QCOMPARE(wakes, afterBytes);

    pty.CloseMaster();
    QTRY_VERIFY_WITH_TIMEOUT(wakes > afterBytes, 5000);
    pollfd hungUp{pty.SlaveFd(), POLLIN, 0};
    QCOMPARE(::poll(&hungUp, 1, 0), 1);
    QVERIFY(hungUp.revents & POLLHUP);
    watcher.Stop();
    QVERIFY(!watcher.Watching());
    const int stopped = wakes;
    QTest::qWait(50);
    QCOMPARE(wakes, stopped);
  }

  // The driver as the window runs it: a reply comes out once its 200 ms
  // have passed, the poll timer runs only meanwhile, and a far end that
  // goes away is noticed with no poll running.
  void driverSleepsWhileQuietAndNoticesLoss() {
    testsupport::TempDir locks;
    serial::SetLockDirectory(locks.Path());
    testsupport::PtyPair pty;
    QObject owner;
    serial::TSerialPortDriver* port = nullptr;
    app::QtTimer poll(&owner, "SerialPort1PollTimer", [&] { port->PollTick(); });
    app::QtInputWatcher watcher(&owner, [&] { port->DeviceReadable(); });
    common::MonotonicTicks ticks;
    serial::TSerialPortDriver driver(poll, watcher, ticks);
    port = &driver;
    testsupport::UseWindowPacketSettings(driver);
    driver.SetPortName(pty.SlavePath());
    std::string received;
    qint64 receivedAfter = -1;
    QElapsedTimer sinceSent;
    driver.OnReceivePacket = [&](serial::TSerialPortDriver*, const uint8_t* packet, uint32_t size) {
      received.append(reinterpret_cast<const char*>(packet), size);
      receivedAfter = sinceSent.elapsed();
    };
    int lost = 0;
    driver.OnPortLost = [&] { ++lost; };
    QVERIFY(driver.OpenPort());
    QVERIFY(watcher.Watching());
    QVERIFY(!poll.Timer()->isActive());

    sinceSent.start();
    QVERIFY(pty.WriteMaster("\r\nOK\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(poll.Timer()->isActive(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(received, std::string("\r\nOK\r\n"), 5000);
    QVERIFY2(receivedAfter >= 200, qPrintable(QString::number(receivedAfter)));
    QVERIFY(!poll.Timer()->isActive());

    pty.CloseSlave();
    pty.CloseMaster();
    QTRY_COMPARE_WITH_TIMEOUT(lost, 1, 5000);
    QVERIFY(!watcher.Watching());
    QVERIFY(!poll.Timer()->isActive());
    QTest::qWait(50);
    QCOMPARE(lost, 1);
    driver.ClosePort();
  }
};

QTEST_GUILESS_MAIN(BridgesTest)
#include "bridges_test.moc"
