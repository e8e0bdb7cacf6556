#pragma once

// A scripted modem that talks like one family of GSM modems: the modem
// simulator's profile drives its replies, its ring repeats and reports, so
// the tests and the simulator share one description of each family.
#include <chrono>
#include <mutex>
#include <string>

#include "tests/support/scripted_modem.h"
#include "tools/modem-sim/at_modem.h"

namespace testsupport {

class FamilyModem {
 public:
  FamilyModem(ScriptedModem& line, const modemsim::Profile& profile, modemsim::Quirks quirks = {})
      : line_(line), modem_(quirks, profile) {
    line_.SetAnswer([this](const std::string& command) {
      std::lock_guard lock(mutex_);
      modem_.Tick(NowMs());
      std::string out;
      for (const auto& piece : modem_.Feed(command + "\r")) out += piece.bytes;
      return out;
    });
    line_.SetTicker([this] {
      std::lock_guard lock(mutex_);
      return modem_.Tick(NowMs());
    });
  }
  ~FamilyModem() {
    line_.SetTicker(nullptr);
    line_.SetAnswer(ScriptedModem::StandardAnswer);
  }
  FamilyModem(const FamilyModem&) = delete;
  FamilyModem& operator=(const FamilyModem&) = delete;

  // An incoming call; an empty number is withheld.
  void Call(const std::string& number) {
    std::string burst;
    {
      std::lock_guard lock(mutex_);
      burst = modem_.Ring(number, NowMs());
    }
    line_.Send(burst);
  }
  // "sim pin", "creg 2", "csq 0", as the simulator's scripts say it.
  bool Set(const std::string& setting) {
    std::lock_guard lock(mutex_);
    return modemsim::ApplySetting(modem_.State(), setting);
  }
  bool Ringing() {
    std::lock_guard lock(mutex_);
    return modem_.Ringing();
  }
  bool CallUp() {
    std::lock_guard lock(mutex_);
    return modem_.CallUp();
  }

 private:
  int64_t NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
  }

  ScriptedModem& line_;
  std::mutex mutex_;
  modemsim::AtModem modem_;  // guarded by mutex_
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace testsupport
