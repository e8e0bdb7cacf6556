#include "tools/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tools {

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

bool OptionReader::Next() {
  if (!problem_.empty() || next_ >= args_.size()) return false;
  name_ = args_[next_++];
  return true;
}

std::optional<std::string> OptionReader::Text() {
  if (next_ >= args_.size()) {
    Fail(name_ + " needs a value (see --help)");
    return std::nullopt;
  }
  return args_[next_++];
}

std::optional<double> OptionReader::Number(double min, double max) {
  const auto text = Text();
  if (!text) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text->c_str(), &end);
  if (errno != 0 || end == text->c_str() || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
    Fail(name_ + ": \"" + *text + "\" is not a number from " + std::to_string(min) + " to " + std::to_string(max));
    return std::nullopt;
  }
  return v;
}

void OptionReader::Unknown() { Fail("unknown option " + name_ + " (see --help)"); }

void OptionReader::Fail(std::string problem) {
  if (problem_.empty()) problem_ = std::move(problem);
}

}  // namespace tools
