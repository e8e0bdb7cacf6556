#pragma once


#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "common/ticks.h"
#include "modem/dialogue.h"
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
  CallSettings settings;

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

// Wall time and the monotonic ticks, moved together unless a test steps
// the wall clock alone.
class FakeClock : public common::Clock, public common::TickSource {
 public:
  common::DateTime now = common::MakeDateTime({2024, 3, 15, 12, 30, 45, 123});
  uint32_t ticks = 1000;
  common::DateTime Now() const override { return now; }
  uint32_t Ticks() const override { return ticks; }
  void AdvanceMs(uint32_t ms) {
    now += ms / 86400000.0;
    ticks += ms;
  }
  void StepWallMs(double ms) { now += ms / 86400000.0; }
};

// The shared temporary directory, with the listing the spool tests need.
class TempDir {
 public:
  std::string prefix() const { return dir_.Path() + "/"; }
  std::filesystem::path path() const { return dir_.Path(); }
  std::vector<std::string> files() const { return ListFiles(dir_.Path()); }
  static std::vector<std::string> ListFiles(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  testsupport::TempDir dir_;
};

inline void Feed(Dialogue& dialogue, std::string_view block) {
  dialogue.SerialPort1ReceivePacket(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()));
}

}  // namespace modem::testing
