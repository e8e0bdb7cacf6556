#pragma once

#include <string>
#include <string_view>

#include "common/datetime.h"

namespace app {

// dd.MM.yyyy, then " HH:mm:ss" unless the time is exactly midnight to the second.
std::string DateTimeText(common::DateTime t);

// The operator log "mcall.log" (working directory) and the daily system
// log LogPath + date + ".lgs". Windows-1251 bytes, CR LF line ends; each
// line is one open for appending, one write, one close.
class Logs {
 public:
  explicit Logs(const common::Clock& clock) : clock_(clock) {}

  bool LogOn = false;
  bool Syslog = false;
  std::string LogPath;

  // False when the line could not be written; true when written or switched off.
  bool WriteOperatorLog(std::string_view text);
  bool WriteSystemLog(std::string_view text);

 private:
  const common::Clock& clock_;
};

}  // namespace app
