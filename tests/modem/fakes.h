#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "modem/dialogue.h"
#include "tests/support/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace modem::testing {

// Records every call; each failure mode can be switched on by a test.
class FakeHost : public DialogueHost {
 public:
  enum class Failure { kNone, kReturnsFalse, kThrows };

  std::vector<std::string> sent;
  std::vector<std::string> operatorLog;
  std::vector<std::string> systemLog;
  std::vector<std::string> view;
  std::vector<CallEventBytes> events;
  std::vector<bool> timer1;
  int trims = 0;
  int indicatorDraws = 0;

  Failure operatorLogFailure = Failure::kNone;
  Failure systemLogFailure = Failure::kNone;
  bool sendThrows = false;
  bool indicatorThrows = false;
  bool connected = false;
  Failure linkFailure = Failure::kNone;
  // Events that go to a spool file land in a directory of the host's own,
  // never in the working directory of the test.
  testsupport::TempDir spool{"mcalld-modem-test"};
  CallSettings settings{"", 0, spool.Dir()};

  bool SendText(std::string_view bytes) override {
    if (sendThrows) throw std::runtime_error("port gone");
    sent.emplace_back(bytes);
    return true;
  }
  bool WriteOperatorLog(std::string_view text) override { return Write(operatorLog, operatorLogFailure, text); }
  bool WriteSystemLog(std::string_view text) override { return Write(systemLog, systemLogFailure, text); }
  void AppendLogView(std::string_view text) override { view.emplace_back(text); }
  void TrimLogView() override { ++trims; }
  void DrawModemIndicator() override {
    ++indicatorDraws;
    if (indicatorThrows) throw std::runtime_error("no canvas");
  }
  void SetTimer1Enabled(bool enabled) override { timer1.push_back(enabled); }
  bool LinkConnected() override { return connected; }
  bool SendCallEvent(const CallEventBytes& event) override {
    if (linkFailure == Failure::kThrows) throw std::runtime_error("link broke");
    if (linkFailure == Failure::kReturnsFalse) return false;
    events.push_back(event);
    return true;
  }
  CallSettings CurrentCallSettings() override { return settings; }
  void HealthUpdated() override { ++healthUpdates; }
  int healthUpdates = 0;

 private:
  static bool Write(std::vector<std::string>& log, Failure failure, std::string_view text) {
    if (failure == Failure::kThrows) throw std::runtime_error("disk full");
    if (failure == Failure::kReturnsFalse) return false;
    log.emplace_back(text);
    return true;
  }
};

// A dialogue with a recording host and a clock that moves only when told.
class DialogueTest : public ::testing::Test {
 protected:
  FakeHost host;
  testsupport::ManualClock clock;
  Dialogue d{host, clock, clock};
};

inline void Feed(Dialogue& dialogue, std::string_view block) {
  dialogue.SerialPort1ReceivePacket(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()));
}

}  // namespace modem::testing
