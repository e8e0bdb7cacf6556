#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/modem-sim/at_modem.h"
#include "tools/modem-sim/script.h"

namespace modemsim {
namespace {

std::string All(AtModem& modem, std::string_view bytes) {
  std::string all;
  for (const auto& piece : modem.Feed(bytes)) all += piece.bytes;
  return all;
}

std::string Replies(AtModem& modem, std::string_view bytes) {
  std::string replies;
  for (const auto& piece : modem.Feed(bytes)) {
    if (piece.reply) replies += piece.bytes;
  }
  return replies;
}

struct DialogueCase {
  const char* name;
  Quirks quirks;
  std::vector<std::pair<std::string, std::string>> exchange;  // bytes in, bytes out
};

class DialogueTest : public testing::TestWithParam<DialogueCase> {};

TEST_P(DialogueTest, AnswersLikeAModem) {
  AtModem modem(GetParam().quirks);
  for (const auto& [in, out] : GetParam().exchange) EXPECT_EQ(All(modem, in), out) << in;
}

const std::string kOk = "\r\nOK\r\n";

INSTANTIATE_TEST_SUITE_P(
    Commands, DialogueTest,
    testing::Values(
        DialogueCase{"EchoOnAtStart", {}, {{"AT\r", "AT\r" + kOk}}},
        DialogueCase{"EchoOffThenIdentity",
                     {},
                     {{"ATE0\r", "ATE0\r" + kOk},
                      {"AT+CGMI\r", "\r\nACME\r\n" + kOk},
                      {"AT+CGMM\r", "\r\nGSM-1\r\n" + kOk},
                      {"AT+CPMS?\r", "\r\n+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30\r\n" + kOk}}},
        // The line ends at "\r"; an echoed "\n" would sit where the driver
        // expects the reply's first line feed.
        DialogueCase{"LineFeedAfterCrIgnored", {}, {{"AT+CGMI\r", "AT+CGMI\r\r\nACME\r\n" + kOk}, {"\nAT\r\n", "AT\r" + kOk}}},
        DialogueCase{"ResetsTurnEchoBackOn",
                     {},
                     {{"ATE0\r", "ATE0\r" + kOk},
                      {"ATZ\r", kOk},
                      {"AT\r", "AT\r" + kOk},
                      {"ATE0\r", "ATE0\r" + kOk},
                      {"AT+CFUN=1,1\r", kOk},
                      {"AT\r", "AT\r" + kOk}}},
        DialogueCase{"CallCommands",
                     {},
                     {{"ATE0\r", "ATE0\r" + kOk},
                      {"AT+CLIP=1\r", kOk},
                      {"ATA\r\n", kOk},
                      {"AT+VTS=1\r\n", kOk},
                      {"ATH\r\n", kOk}}},
        DialogueCase{"LowerCaseAccepted", {}, {{"ate0\r", "ate0\r" + kOk}, {"at+cgmm\r", "\r\nGSM-1\r\n" + kOk}}},
        DialogueCase{"UnknownIsError",
                     {},
                     {{"ATE0\r", "ATE0\r" + kOk},
                      {"AT+CMGL=4\r", "\r\nERROR\r\n"},
                      {"AT+VTS=12\r", "\r\nERROR\r\n"},
                      {"hello\r", "\r\nERROR\r\n"},
                      {"\r", ""}}},
        DialogueCase{"ErrorQuirk", {.errorAll = true}, {{"AT\r", "AT\r\r\nERROR\r\n"}}},
        DialogueCase{"SilentQuirk", {.silent = true}, {{"AT\r", ""}, {"AT+CGMI\r", ""}}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(AtModem, SameAnswerHoweverTheBytesAreSplit) {
  const std::string input = "AT\r\nATE0\rAT+CGMI\r\nAT+X\r";
  AtModem whole;
  const std::string expected = All(whole, input);
  for (size_t cut = 1; cut < input.size(); ++cut) {
    AtModem modem;
    std::string out = All(modem, input.substr(0, cut));
    out += All(modem, input.substr(cut));
    EXPECT_EQ(out, expected) << cut;
  }
}

TEST(AtModem, OverlongLineIsAnErrorAndDoesNotLinger) {
  AtModem modem;
  modem.Feed("ATE0\r");
  EXPECT_EQ(Replies(modem, std::string(100000, 'A') + "\r"), "\r\nERROR\r\n");
  EXPECT_EQ(Replies(modem, "AT\r"), kOk);
}

TEST(AtModem, DroppedLineForgetsHalfACommandButKeepsEcho) {
  AtModem modem;
  modem.Feed("ATE0\rAT+CG");
  modem.LineDropped();
  EXPECT_EQ(All(modem, "MI\r"), "\r\nERROR\r\n");
  EXPECT_FALSE(modem.echo());
}

TEST(IncomingCallText, InternationalAndNationalNumbers) {
  EXPECT_EQ(IncomingCallText("+79161234567"), "\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n");
  EXPECT_EQ(IncomingCallText("84951234567"), "\r\nRING\r\n\r\n+CLIP: \"84951234567\",129,,,,0\r\n");
}

TEST(Unescape, EscapesAndBrokenEscapes) {
  EXPECT_EQ(Unescape(R"(\r\nRING\r\n)"), "\r\nRING\r\n");
  EXPECT_EQ(Unescape(R"(\x1A\\\"q)"), std::string("\x1A\\\"q"));
  EXPECT_EQ(Unescape(R"(\xZZ \x4)"), R"(\xZZ \x4)");
  EXPECT_EQ(Unescape("end\\"), "end\\");
}

TEST(ParseScript, OrdersByTimeAndKeepsFileOrderForTies) {
  std::string error;
  const auto script = ParseScript("# demo\n5.0 call +79160000001\n\n2.5 send \\r\\nRING\\r\\n\r\n2.5 call\n", &error);
  ASSERT_TRUE(script) << error;
  ASSERT_EQ(script->size(), 3u);
  EXPECT_EQ((*script)[0].at, 2.5);
  EXPECT_EQ((*script)[0].action.kind, Action::kSend);
  EXPECT_EQ((*script)[0].action.argument, "\r\nRING\r\n");
  EXPECT_EQ((*script)[1].action.kind, Action::kCall);
  EXPECT_EQ((*script)[1].action.argument, "");
  EXPECT_EQ((*script)[2].at, 5.0);
  EXPECT_EQ((*script)[2].action.argument, "+79160000001");
}

TEST(ParseScript, BadLinesNamedByNumber) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"call\n", "line 1: expected a time in seconds first"},
      {"1 call\n-2 call\n", "line 2: expected a time in seconds first"},
      {"nan call\n", "line 1: expected a time in seconds first"},
      {"1e300 call\n", "line 1: expected a time in seconds first"},
      {"3\n", "line 1: expected an action after the time"},
      {"1 dial 123\n", "line 1: unknown action \"dial\" (expected call or send)"},
      {"1 call +7\"916\n", "line 1: a number may not hold blanks, quotes or control characters"},
      {"1 call +7 916\n", "line 1: a number may not hold blanks, quotes or control characters"},
      {"1 send\n", "line 1: send needs the text to send"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseScript(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

}  // namespace
}  // namespace modemsim
