#pragma once

// Walking a tool's command line, shared by both tools and the benchmark.
// The caller asks each option for its value in the form it wants; the first
// problem is kept, worded for the user, and ends the walk. Only
// OptionsOrExit prints or exits, so a table of command lines can be tested
// in process.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// argv without the program's own name.
std::vector<std::string> Arguments(int argc, char** argv);

class OptionReader {
 public:
  explicit OptionReader(std::vector<std::string> args) : args_(std::move(args)) {}

  // Moves to the next option: false at the end or once a problem is known.
  bool Next();
  const std::string& Name() const { return name_; }
  // The word after the option.
  std::optional<std::string> Text();
  // The word after the option as a number from min to max.
  std::optional<double> Number(double min, double max);
  void Unknown();
  void Fail(std::string problem);
  const std::string& Problem() const { return problem_; }

 private:
  std::vector<std::string> args_;
  size_t next_ = 0;
  std::string name_;
  std::string problem_;
};

// What a tool's parser gives its main: the options, or a wish for the help
// text, or the problem that refuses the command line.
template <typename Options>
struct ParsedOptions {
  Options options;
  bool help = false;
  std::string problem;  // empty: the options are good
};

// The walk every tool makes: --help (or -h) stops it, anything take does
// not know (it returns false) is refused.
template <typename Options>
ParsedOptions<Options> ParseWith(const std::vector<std::string>& args,
                                 const std::function<bool(OptionReader&, Options&)>& take) {
  ParsedOptions<Options> parsed;
  OptionReader reader(args);
  while (reader.Next()) {
    if (reader.Name() == "--help" || reader.Name() == "-h") {
      parsed.help = true;
      return parsed;
    }
    if (!take(reader, parsed.options)) reader.Unknown();
  }
  parsed.problem = reader.Problem();
  return parsed;
}

// For a tool's main: the help text and status 0, or the problem and status 2,
// or the options.
template <typename Options>
const Options& OptionsOrExit(const ParsedOptions<Options>& parsed, const char* tool, const char* usage) {
  if (parsed.help) {
    std::fputs(usage, stdout);
    std::exit(0);
  }
  if (!parsed.problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", tool, parsed.problem.c_str());
    std::exit(2);
  }
  return parsed.options;
}

}  // namespace tools
