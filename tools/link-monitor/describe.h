#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"
#include "link/frame.h"

namespace linkmonitor {

// "ftCallEvent", or the value in hexadecimal for a type we do not know.
std::string FrameTypeName(int32_t type);

// yyyy-MM-dd HH:mm:ss.zzz; a value no clock can produce (NaN, year 90000)
// is shown as the raw number instead.
std::string EventTimeText(common::DateTime t);

// One line for one received block body: type name, sequence and the decoded
// payload, e.g.
//   ftCallEvent seq=7 number=79161234567 code="Об1" time=2024-05-01 12:00:00.250
// Texts are converted from Windows-1251 to UTF-8; control bytes are escaped
// so that a line never breaks.
std::string DescribeBody(const serverlink::Bytes& body);

}  // namespace linkmonitor
