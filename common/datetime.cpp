#include "common/datetime.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace common {
namespace {

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

constexpr int64_t kEpochOffsetDays = 25569;  // 1899-12-30 to 1970-01-01
constexpr int64_t kMsPerDay = 86400000;

}  // namespace

DateTimeParts SplitDateTime(DateTime t) {
  // Beyond ten thousand years the conversion below would overflow; such a
  // value only comes from a broken record, and day 0 is a harmless answer.
  if (!std::isfinite(t) || std::fabs(t) > 3e6) t = 0;
  const double totalMs = std::round(t * static_cast<double>(kMsPerDay));
  const auto ms = static_cast<int64_t>(totalMs);
  int64_t days = ms / kMsPerDay;
  int64_t inDay = ms % kMsPerDay;
  if (inDay < 0) {
    inDay += kMsPerDay;
    --days;
  }
  DateTimeParts p;
  CivilFromDays(days - kEpochOffsetDays, p.year, p.month, p.day);
  p.hour = static_cast<int>(inDay / 3600000);
  p.minute = static_cast<int>(inDay / 60000 % 60);
  p.second = static_cast<int>(inDay / 1000 % 60);
  p.millisecond = static_cast<int>(inDay % 1000);
  return p;
}

DateTime MakeDateTime(const DateTimeParts& p) {
  const int64_t days = DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) + kEpochOffsetDays;
  const int64_t ms = ((static_cast<int64_t>(p.hour) * 60 + p.minute) * 60 + p.second) * 1000 + p.millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

DateTime SystemClock::Now() const {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  DateTimeParts p;
  p.year = local.tm_year + 1900;
  p.month = local.tm_mon + 1;
  p.day = local.tm_mday;
  p.hour = local.tm_hour;
  p.minute = local.tm_min;
  p.second = local.tm_sec;
  p.millisecond = static_cast<int>(ms % 1000);
  return MakeDateTime(p);
}

}  // namespace common
