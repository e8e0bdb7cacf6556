// The tools' command lines, parsed in process: what each option sets, and
// the words a refusal is given in (the program prints them and exits 2).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/link-monitor/options.h"
#include "tools/modem-sim/options.h"
#include "tools/modem-sim/script.h"

namespace {

using Args = std::vector<std::string>;

struct Refusal {
  Args args;
  std::string problem;
};

TEST(ModemSimOptions, EachOptionSetsItsField) {
  const auto parsed = modemsim::ParseOptions({"--link", "/tmp/ttyGSM", "--number", "84950000002", "--call-every",
                                              "2.5", "--script", "calls", "--error", "--silent", "--delay", "50",
                                              "--split", "3", "--gap", "1", "--quiet"});
  ASSERT_EQ(parsed.problem, "");
  EXPECT_FALSE(parsed.help);
  const modemsim::Options& o = parsed.options;
  EXPECT_EQ(o.link, "/tmp/ttyGSM");
  EXPECT_EQ(o.number, "84950000002");
  EXPECT_EQ(o.callEvery, 2.5);
  EXPECT_EQ(o.script, "calls");
  EXPECT_TRUE(o.quirks.errorAll);
  EXPECT_TRUE(o.quirks.silent);
  EXPECT_EQ(o.delayMs, 50);
  EXPECT_EQ(o.split, 3);
  EXPECT_EQ(o.gapMs, 1);
  EXPECT_TRUE(o.quiet);
}

TEST(ModemSimOptions, DefaultsAndHelp) {
  const auto none = modemsim::ParseOptions({});
  EXPECT_EQ(none.problem, "");
  EXPECT_EQ(none.options.number, "+79161234567");
  EXPECT_EQ(none.options.gapMs, 20);
  EXPECT_EQ(none.options.callEvery, 0);
  for (const Args& args : {Args{"--help"}, Args{"-h", "--bogus"}}) {
    const auto parsed = modemsim::ParseOptions(args);
    EXPECT_TRUE(parsed.help) << args[0];
    EXPECT_EQ(parsed.problem, "") << "help comes before what follows it";
  }
  const auto refusedFirst = modemsim::ParseOptions({"--split", "0", "--help"});
  EXPECT_FALSE(refusedFirst.help) << "a refusal before it comes first";
  EXPECT_NE(refusedFirst.problem, "");
}

TEST(ModemSimOptions, Refusals) {
  const Refusal rows[] = {
      {{"--split", "0"}, "--split: \"0\" is not a number from 1.000000 to 65536.000000"},
      {{"--call-every", "soon"}, "--call-every: \"soon\" is not a number from 0.100000 to 86400.000000"},
      {{"--delay", "5ms"}, "--delay: \"5ms\" is not a number from 0.000000 to 600000.000000"},
      {{"--gap", "inf"}, "--gap: \"inf\" is not a number from 0.000000 to 60000.000000"},
      {{"--delay"}, "--delay needs a value (see --help)"},
      {{"--number", ""}, "--number: empty"},
      {{"--bogus"}, "unknown option --bogus (see --help)"},
      {{"--quiet", "--bogus", "--split", "0"}, "unknown option --bogus (see --help)"},  // the first problem
  };
  for (const Refusal& row : rows) {
    EXPECT_EQ(modemsim::ParseOptions(row.args).problem, row.problem) << row.args[0];
  }
  // The reason for a number no modem would send comes from the script parser.
  EXPECT_NE(modemsim::ParseOptions({"--number", "+7\"1"}).problem.rfind("--number: ", 0), std::string::npos);
}

TEST(ModemSimScript, LoadedFromAFileOrRefusedWithItsPath) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.File("calls"), "# one call, early\n0.3 call 84950000002\n");
  std::string error;
  const auto script = modemsim::LoadScript(dir.File("calls"), &error);
  ASSERT_TRUE(script) << error;
  ASSERT_EQ(script->size(), 1u);
  EXPECT_EQ((*script)[0].at, 0.3);
  EXPECT_EQ((*script)[0].action.argument, "84950000002");

  EXPECT_FALSE(modemsim::LoadScript(dir.File("missing"), &error));
  EXPECT_EQ(error, "cannot read the script " + dir.File("missing") + ": No such file or directory");
  testsupport::WriteFile(dir.File("bad"), "later call\n");
  EXPECT_FALSE(modemsim::LoadScript(dir.File("bad"), &error));
  EXPECT_EQ(error.rfind(dir.File("bad") + ": ", 0), 0u) << error;
}

TEST(LinkMonitorOptions, EachOptionSetsItsField) {
  const auto parsed = linkmonitor::ParseOptions({"--address", "127.0.0.2", "--port", "0", "--deny", "--poll-every",
                                                 "0.5", "--disconnect-after", "0", "--close-after", "12"});
  ASSERT_EQ(parsed.problem, "");
  const linkmonitor::Options& o = parsed.options;
  EXPECT_EQ(o.address, "127.0.0.2");
  EXPECT_EQ(o.port, 0);
  EXPECT_TRUE(o.deny);
  EXPECT_EQ(o.pollEvery, 0.5);
  EXPECT_EQ(o.disconnectAfter, 0);
  EXPECT_EQ(o.closeAfter, 12);

  const auto none = linkmonitor::ParseOptions({});
  EXPECT_EQ(none.options.port, 12543);
  EXPECT_LT(none.options.disconnectAfter, 0) << "never, unless asked";
  EXPECT_LT(none.options.closeAfter, 0);
}

TEST(LinkMonitorOptions, Refusals) {
  const Refusal rows[] = {
      {{"--port", "70000"}, "--port: \"70000\" is not a number from 0.000000 to 65535.000000"},
      {{"--port", "1.5"}, "--port: a whole number, please"},
      {{"--address", "example"}, "--address: \"example\" is not an IPv4 address"},
      {{"--poll-every", "0"}, "--poll-every: \"0\" is not a number from 0.100000 to 86400.000000"},
      {{"--close-after"}, "--close-after needs a value (see --help)"},
      {{"--bogus"}, "unknown option --bogus (see --help)"},
  };
  for (const Refusal& row : rows) {
    EXPECT_EQ(linkmonitor::ParseOptions(row.args).problem, row.problem) << row.args[0];
  }
}

}  // namespace
