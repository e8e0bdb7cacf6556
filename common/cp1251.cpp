#include "common/cp1251.h"

#include <cerrno>
#include <iconv.h>

namespace common {
namespace {

std::string Convert(const char* to, const char* from, std::string_view input) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(input);
  std::string out;
  out.resize(input.size() * 4 + 4);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) break;  // cannot happen with the size above
    // An unconvertible or broken sequence: mark it and step over one byte.
    if (dstLeft == 0) break;
    *dst++ = '?';
    --dstLeft;
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

bool CanOpen(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

}  // namespace

bool Cp1251Available() {
  static const bool available = CanOpen("CP1251", "UTF-8") && CanOpen("UTF-8", "CP1251");
  return available;
}

std::string Utf8ToCp1251(std::string_view utf8) { return Convert("CP1251", "UTF-8", utf8); }

std::string Cp1251ToUtf8(std::string_view cp1251) { return Convert("UTF-8", "CP1251", cp1251); }

}  // namespace common
