// The kit's portable parts, natively: quoting, log decoding and the outcome of a log. Whether
// the quoting is what Windows reads back is checked by CommandLineToArgvW itself, under Wine
// (update_kit_win_test.cpp).
#include "kit/update_kit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bootkit {
namespace {

struct QuoteRow {
  std::u16string argument;
  std::u16string quoted;
};

class QuoteArgumentTest : public testing::TestWithParam<QuoteRow> {};

TEST_P(QuoteArgumentTest, QuotesByTheRulesOfCommandLineToArgvW) {
  EXPECT_EQ(QuoteArgument(GetParam().argument), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, QuoteArgumentTest,
    testing::Values(
        // Nothing to quote: backslashes not before a quote are literal.
        QuoteRow{u"-base=C:\\Apps\\Demo\\", u"-base=C:\\Apps\\Demo\\"},
        QuoteRow{u"", u"\"\""},
        // A trailing backslash before the closing quote is doubled.
        QuoteRow{u"-base=C:\\My App\\", u"\"-base=C:\\My App\\\\\""},
        QuoteRow{u"a b\\\\", u"\"a b\\\\\\\\\""},
        // A quote is escaped, and so is each backslash before it.
        QuoteRow{u"a\"b", u"\"a\\\"b\""},
        QuoteRow{u"a\\\"b", u"\"a\\\\\\\"b\""},
        // Backslashes inside, not before a quote, stay single.
        QuoteRow{u"a\\b c", u"\"a\\b c\""},
        QuoteRow{u"tab\there", u"\"tab\there\""}));

TEST(BuildUpdateCommandLineTest, PutsTheOptionsAfterTheQuotedProgram) {
  EXPECT_EQ(BuildUpdateCommandLine(u"C:\\Program Files\\App\\update.exe", u"C:\\Program Files\\App\\", 4242),
            u"\"C:\\Program Files\\App\\update.exe\" -update \"-base=C:\\Program Files\\App\\\\\" -ppid=4242");
  EXPECT_EQ(BuildUpdateCommandLine(u"u.exe", u"D:\\A", 0), u"\"u.exe\" -update -base=D:\\A -ppid=0");
}

TEST(BuildUpdateCommandLineTest, RefusesWhatNoCommandLineCanCarry) {
  EXPECT_EQ(BuildUpdateCommandLine(u"", u"D:\\A", 1), u"");
  EXPECT_EQ(BuildUpdateCommandLine(u"u.exe", u"", 1), u"");
  EXPECT_EQ(BuildUpdateCommandLine(u"a\"b.exe", u"D:\\A", 1), u"");
  EXPECT_EQ(BuildUpdateCommandLine(std::u16string(u"u\0.exe", 6), u"D:\\A", 1), u"");
  EXPECT_EQ(BuildUpdateCommandLine(u"u.exe", std::u16string(u"D:\\\0A", 5), 1), u"");
}

TEST(IsUpdateLogNameTest, AcceptsOnlyTheStubsNames) {
  EXPECT_TRUE(IsUpdateLogName(u"20261208_031500_upd.txt"));
  EXPECT_TRUE(IsUpdateLogName(u"20261208_031500_UPD.TXT"));
  EXPECT_FALSE(IsUpdateLogName(u"20261208_03150_upd.txt"));
  EXPECT_FALSE(IsUpdateLogName(u"2026120a_031500_upd.txt"));
  EXPECT_FALSE(IsUpdateLogName(u"20261208_031500_upd.txt.bak"));
}

// UTF-16LE bytes of `text`.
std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (const char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

struct DecodeRow {
  const char* name;
  std::string bytes;
  std::vector<std::u16string> lines;
};

class DecodeLogLinesTest : public testing::TestWithParam<DecodeRow> {};

TEST_P(DecodeLogLinesTest, SplitsWhatTheBytesHold) {
  EXPECT_EQ(DecodeLogLines(GetParam().bytes), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DecodeLogLinesTest,
    testing::Values(
        DecodeRow{"Empty", "", {}},
        DecodeRow{"OneOddByte", "A", {}},
        DecodeRow{"LineFeeds", Utf16Le(u"Will update to: C:\\Ä\nDone, Bye.\n"),
                  {u"Will update to: C:\\Ä", u"Done, Bye."}},
        DecodeRow{"BomAndCrLf", Utf16Le(u"\xFEFFone\r\n\r\ntwo\r\n"), {u"one", u"two"}},
        // Cut inside a unit: the odd byte goes, what came before it stays.
        DecodeRow{"CutInAUnit", Utf16Le(u"one\ntwo").substr(0, 13), {u"one", u"tw"}},
        DecodeRow{"NullsAtTheEnd", Utf16Le(u"one\n") + std::string(64, '\0'), {u"one"}},
        // A surrogate pair stays as it is, an unpaired one too.
        DecodeRow{"Surrogates", Utf16Le(u"\U0001F600 \xD800\n"), {u"\U0001F600 \xD800"}}),
    [](const testing::TestParamInfo<DecodeRow>& param) { return param.param.name; });

struct OutcomeRow {
  const char* name;
  std::vector<std::u16string> lines;
  UpdateResult result;
  std::u16string line;
  std::u16string error;
};

class ReadUpdateOutcomeTest : public testing::TestWithParam<OutcomeRow> {};

TEST_P(ReadUpdateOutcomeTest, TellsHowTheRunEnded) {
  const OutcomeRow& row = GetParam();
  const UpdateOutcome outcome = ReadUpdateOutcome(row.lines);
  EXPECT_EQ(outcome.result, row.result);
  EXPECT_EQ(outcome.line, row.line);
  EXPECT_EQ(outcome.error, row.error);
}

// Logs whose ends the runs under Wine do not produce on demand (update_kit_win_test.cpp reads
// real ones of each kind).
INSTANTIATE_TEST_SUITE_P(
    Rows, ReadUpdateOutcomeTest,
    testing::Values(
        OutcomeRow{"EmptyLog", {}, UpdateResult::Failed, u"", u""},
        // "Done, Bye." only counts as the last line after the update was in place.
        OutcomeRow{"ByeWithoutUpdate", {u"Check update manifest...", u"Done, Bye."},
                   UpdateResult::Failed, u"Done, Bye.", u""},
        OutcomeRow{"ByeNotLast",
                   {u"Updated, now startup the launcher", u"Done, Bye.", u"No update specified, exit"},
                   UpdateResult::Failed, u"No update specified, exit", u""},
        // The old launcher fails to start after the rollback: still rolled back, for the
        // failure before it.
        OutcomeRow{"LaunchFailsAfterRollback",
                   {u"Ok, Let's do update now", u"Cannot move C:\\A\\lib.dll",
                    u"Error 32: in use", u"Update task failed...", u"Rolling back the update...",
                    u"Rolled back, the installation is as it was", u"Launch failed...",
                    u"Error 2: not found"},
                   UpdateResult::RolledBack, u"Cannot move C:\\A\\lib.dll", u"Error 32: in use"},
        OutcomeRow{"RollbackFails",
                   {u"Update task failed...", u"Rolling back the update...",
                    u"Rollback failed, the journal is kept for the next run: C:\\A\\j"},
                   UpdateResult::Failed,
                   u"Rollback failed, the journal is kept for the next run: C:\\A\\j", u""},
        // Killed part way: the last line it wrote.
        OutcomeRow{"Killed", {u"Ok, Let's do update now", u"Back up file C:\\A\\lib.dll"},
                   UpdateResult::Failed, u"Back up file C:\\A\\lib.dll", u""},
        OutcomeRow{"EndsWithAnErrorLine",
                   {u"Will update to: A", u"Install directory is not an existing absolute path: A",
                    u"Error 161: bad path"},
                   UpdateResult::Failed, u"Install directory is not an existing absolute path: A",
                   u"Error 161: bad path"},
        // A delta update made for another release touched nothing; the launcher line follows.
        OutcomeRow{"WrongRelease",
                   {u"Update to version 2.0,with 3 entries",
                    u"Installed file differs from what this update expects: C:\\A\\lib.dll",
                    u"Will launch with app.exe"},
                   UpdateResult::WrongRelease,
                   u"Installed file differs from what this update expects: C:\\A\\lib.dll", u""},
        // Not an error line: no code, or no colon after it.
        OutcomeRow{"ErrorWithoutCode", {u"x", u"Error : y"}, UpdateResult::Failed, u"Error : y", u""}),
    [](const testing::TestParamInfo<OutcomeRow>& param) { return param.param.name; });

TEST(ReadUpdateOutcomeTest, TakesTheVersionFromTheManifestLine) {
  EXPECT_EQ(ReadUpdateOutcome({u"Update to version 2.0,with 3 entries"}).version, u"2.0");
  EXPECT_EQ(ReadUpdateOutcome({u"Update to version 1,with x,with 3 entries"}).version, u"1,with x");
}

}  // namespace
}  // namespace bootkit
