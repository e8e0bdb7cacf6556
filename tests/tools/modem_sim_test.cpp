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

// The simulator's own modem, as every earlier release had it: one ring,
// and OK to the call's commands whatever the call is doing.
TEST(AtModem, DefaultCallIsOneRing) {
  AtModem modem;
  EXPECT_EQ(modem.Ring("+79161234567", 0), "\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n");
  EXPECT_EQ(modem.Tick(60000), "");
  EXPECT_EQ(modem.NextDueMs(), -1);
  modem.Feed("ATE0\r");
  EXPECT_EQ(Replies(modem, "ATA\r\nAT+VTS=1\r\nATH\r\nATA\r\n"), kOk + kOk + kOk + kOk);
  AtModem national;
  EXPECT_EQ(national.Ring("84951234567", 0), "\r\nRING\r\n\r\n+CLIP: \"84951234567\",129,,,,0\r\n");
}

// Each family's call from its first ring to its end, as the table in the
// profiles says it: ring and caller-identification lines, repeats, the
// answer, the tone, and whether ATH really ends the call.
TEST(AtModem, FamiliesRingAnswerAndHangUpTheirWay) {
  for (const Profile& profile : NamedProfiles()) {
    SCOPED_TRACE(profile.name);
    AtModem modem({}, profile);
    modem.Feed("ATE0\r");
    const std::string first = modem.Ring("+79161234567", 0);
    EXPECT_EQ(first, "\r\n" + profile.ring + "\r\n\r\n" + CallerIdLine(profile, "+79161234567") + "\r\n");
    EXPECT_NE(CallerIdLine(profile, "+79161234567").find("\"+79161234567\""), std::string::npos);
    std::string repeat;
    for (int64_t t = 0; t <= profile.ringEveryMs; t += 100) repeat += modem.Tick(t);
    EXPECT_NE(repeat.find(profile.ring), std::string::npos);
    EXPECT_EQ(repeat.find("+CLIP:") != std::string::npos, profile.callerIdEveryRing);
    EXPECT_TRUE(modem.Ringing());

    if (!profile.voice) {
      EXPECT_EQ(Replies(modem, "ATA\r\n"), "\r\n" + profile.answerWithoutVoice + "\r\n");
      EXPECT_EQ(Replies(modem, "AT+VTS=1\r\n"), "\r\nERROR\r\n");
      EXPECT_TRUE(modem.Ringing()) << "the call rings on";
      continue;
    }
    EXPECT_EQ(Replies(modem, "ATA\r\n"), kOk);
    EXPECT_EQ(Replies(modem, "AT+VTS=1\r\n"), kOk);
    Replies(modem, "ATH\r\n");
    EXPECT_EQ(modem.CallUp(), profile.athNeedsCvhu) << "ATH without AT+CVHU=0";
    Replies(modem, "AT+CHUP\r\n");
    EXPECT_FALSE(modem.CallUp());

    EXPECT_EQ(Replies(modem, "AT+CVHU=0\r\n"), profile.knowsCvhu ? kOk : "\r\nERROR\r\n");
    modem.Ring("", 20000);
    EXPECT_EQ(Replies(modem, "ATA\r\n"), kOk);
    Replies(modem, "ATH\r\n");
    EXPECT_FALSE(modem.CallUp()) << "ATH after AT+CVHU=0";
  }
}

TEST(AtModem, CallerGivesUpAfterTheFamilysRings) {
  const Profile& huawei = *FindProfile("huawei");
  AtModem modem({}, huawei);
  modem.Ring("", 0);
  std::string all;
  for (int64_t t = 0; t <= 60000; t += 500) all += modem.Tick(t);
  size_t rings = 1;
  for (size_t at = all.find("+CRING"); at != std::string::npos; at = all.find("+CRING", at + 1)) ++rings;
  EXPECT_EQ(rings, static_cast<size_t>(huawei.ringsBeforeCallerGivesUp));
  EXPECT_FALSE(modem.Ringing());
  EXPECT_NE(all.find("^RSSI:25"), std::string::npos) << "its own reports meanwhile";
  EXPECT_NE(all.find(huawei.callEnd), std::string::npos);
  EXPECT_EQ(Replies(modem, "ATA\r\n"), "\r\nERROR\r\n") << "no call rings any more";
}

// A test or a demonstration can make the answer wait for a number of rings.
TEST(AtModem, AnswerWaitsForItsRing) {
  AtModem modem({.ringsBeforeAnswer = 3}, *FindProfile("simcom"));
  modem.Ring("+79161234567", 0);
  EXPECT_EQ(Replies(modem, "ATA\r\n"), "");
  const std::string second = modem.Tick(5000);
  EXPECT_EQ(second.find("OK"), std::string::npos);
  const std::string third = modem.Tick(10000);
  EXPECT_TRUE(third.ends_with(kOk)) << third;
  EXPECT_TRUE(modem.CallUp());
}

TEST(AtModem, RestartGreetsAndHealthIsAsSet) {
  AtModem modem({}, *FindProfile("simcom"));
  modem.Feed("ATE0\r");
  modem.Tick(1000);
  EXPECT_EQ(Replies(modem, "AT+CFUN=1,1\r"), kOk);
  EXPECT_EQ(modem.Tick(2500), "");
  EXPECT_EQ(modem.Tick(3000), "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nCall Ready\r\n\r\nSMS Ready\r\n");
  modem.Feed("ATE0\r");
  EXPECT_EQ(Replies(modem, "AT+CPIN?\r"), "\r\n+CPIN: READY\r\n" + kOk);
  EXPECT_EQ(Replies(modem, "AT+CREG?\r"), "\r\n+CREG: 0,1\r\n" + kOk);
  EXPECT_EQ(Replies(modem, "AT+CSQ\r"), "\r\n+CSQ: 19,99\r\n" + kOk);
  ASSERT_TRUE(ApplySetting(modem.State(), "sim pin"));
  ASSERT_TRUE(ApplySetting(modem.State(), "creg 2"));
  EXPECT_EQ(Replies(modem, "AT+CPIN?\r"), "\r\n+CPIN: SIM PIN\r\n" + kOk);
  EXPECT_EQ(Replies(modem, "AT+CPMS?\r"), "\r\n+CME ERROR: 11\r\n");
  EXPECT_EQ(Replies(modem, "AT+CLIP=1\r"), "\r\n+CME ERROR: 11\r\n");
  EXPECT_EQ(Replies(modem, "AT+CREG?\r"), "\r\n+CREG: 0,2\r\n" + kOk);
  EXPECT_FALSE(ApplySetting(modem.State(), "csq 45"));
  EXPECT_FALSE(ApplySetting(modem.State(), "sim maybe"));

  AtModem silentQueries({.queriesErr = true});
  silentQueries.Feed("ATE0\r");
  EXPECT_EQ(Replies(silentQueries, "AT+CSQ\r"), "\r\nERROR\r\n");
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
      {"1 dial 123\n", "line 1: unknown action \"dial\" (expected call, withheld, send or set)"},
      {"1 set creg x\n", "line 1: set needs \"sim ready|pin|puk|absent\", \"creg <0..10>\" or \"csq <0..31|99>\""},
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
