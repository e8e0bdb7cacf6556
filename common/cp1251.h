#pragma once

#include <string>
#include <string_view>

namespace common {

// Everything the driver stores, logs or sends is Windows-1251 bytes; UTF-8
// exists only in our source literals and on screen. Bytes that have no
// counterpart are replaced by '?' rather than failing.
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);

// Whether both conversions can be opened. Without them (a C library without
// its gconv modules) the two functions above pass their input through, and
// UTF-8 would reach the modem, the logs and the server; the program refuses
// to start instead.
bool Cp1251Available();

// The program's own texts, written as UTF-8 literals, as they are stored,
// logged and sent.
inline std::string ToCp1251(std::string_view utf8) { return Utf8ToCp1251(utf8); }

}  // namespace common
