#pragma once

#include <cstdint>

namespace common {

// Local date and time as a count of days since 30 December 1899, the
// fraction being the time of day. Call events carry it on the wire and the
// dialogue's reply time-out compares it.
using DateTime = double;

constexpr double kOneSecond = 1.0 / 86400.0;

struct DateTimeParts {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Splits to whole milliseconds (rounded to the nearest).
DateTimeParts SplitDateTime(DateTime t);
DateTime MakeDateTime(const DateTimeParts& parts);

class Clock {
 public:
  virtual ~Clock() = default;
  virtual DateTime Now() const = 0;
};

// The machine's local time.
class SystemClock : public Clock {
 public:
  DateTime Now() const override;
};

}  // namespace common
