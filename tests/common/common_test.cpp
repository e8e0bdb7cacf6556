#include <gtest/gtest.h>

#include "common/cp1251.h"
#include "common/datetime.h"

namespace {

TEST(Cp1251, RoundTripsRussianText) {
  const std::string bytes = common::Utf8ToCp1251("Отключились.");
  ASSERT_EQ(bytes.size(), 12u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xCEu);
  EXPECT_EQ(common::Cp1251ToUtf8(bytes), "Отключились.");
}

TEST(Cp1251, UnmappableBytesBecomeQuestionMarks) {
  EXPECT_EQ(common::Utf8ToCp1251("a\xe2\x82\xacz"), "a\x88z");  // euro sign exists in 1251
  EXPECT_EQ(common::Utf8ToCp1251("a\xff" "b"), "a?b");          // broken UTF-8
  EXPECT_EQ(common::Cp1251ToUtf8(std::string("\x98", 1)), "?");  // the one unassigned byte
}

TEST(DateTime, SplitsAndJoinsDaysSince1899) {
  struct Row {
    double value;
    common::DateTimeParts parts;
  };
  const Row rows[] = {
      {0.0, {1899, 12, 30, 0, 0, 0, 0}},
      {2.0, {1900, 1, 1, 0, 0, 0, 0}},
      {39787.5, {2008, 12, 5, 12, 0, 0, 0}},
      {45000.0 + (12 * 3600 + 30 * 60 + 45.123) / 86400.0, {2023, 3, 15, 12, 30, 45, 123}},
  };
  for (const auto& row : rows) {
    const auto p = common::SplitDateTime(row.value);
    EXPECT_EQ(p.year, row.parts.year) << row.value;
    EXPECT_EQ(p.month, row.parts.month) << row.value;
    EXPECT_EQ(p.day, row.parts.day) << row.value;
    EXPECT_EQ(p.hour, row.parts.hour) << row.value;
    EXPECT_EQ(p.minute, row.parts.minute) << row.value;
    EXPECT_EQ(p.second, row.parts.second) << row.value;
    EXPECT_EQ(p.millisecond, row.parts.millisecond) << row.value;
    EXPECT_NEAR(common::MakeDateTime(row.parts), row.value, 1e-9);
  }
}

}  // namespace
