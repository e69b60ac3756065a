#include "bootstrapper/safe/journal_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace boot {
namespace {

const std::vector<JournalRecord> kRecords = {
    {JournalOp::Backup, u"C:\\App\\AbCdEfGhIjKl.update-backup", {}},
    {JournalOp::Folder, u"C:\\App\\plugins\\\u043A\u043E\u0434\u0435\u043A\u0438", {}},
    {JournalOp::Temp, u"C:\\App\\plugins\\x.update-new", {}},
    {JournalOp::Move, u"C:\\App\\app.exe", u"C:\\App\\AbCdEfGhIjKl.update-backup\\1"},
    {JournalOp::Swap, u"C:\\App\\x.update-new", u"C:\\App\\app.exe"},
    {JournalOp::FilesInPlace, {}, {}},
    {JournalOp::RollBack, {}, {}},
};

std::string Journal(const std::vector<JournalRecord>& records) {
  std::string text(JournalHeader());
  for (const JournalRecord& r : records) text += EncodeJournalRecord(r);
  return text;
}

void ExpectSame(const std::vector<JournalRecord>& got, const std::vector<JournalRecord>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].op, want[i].op) << i;
    EXPECT_EQ(got[i].first, want[i].first) << i;
    EXPECT_EQ(got[i].second, want[i].second) << i;
  }
}

TEST(JournalRecordTest, EveryRecordReadsBackAsWritten) {
  const std::string text = Journal(kRecords);
  std::vector<JournalRecord> read;
  std::size_t intact = 0;
  ASSERT_TRUE(ParseJournal(text, read, intact));
  ExpectSame(read, kRecords);
  EXPECT_EQ(intact, text.size());
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);  // the CRC-32 check value
}

// What a kill or a stray edit can leave, and what a reader makes of it: only the last record
// may be torn; anything else damaged means the file is not to be acted on.
struct DamageRow {
  const char* name;
  std::string (*damage)(std::string text, std::size_t last_record_start);
  bool readable;
  std::size_t records;  // intact records read when readable
};

class JournalDamageTest : public testing::TestWithParam<DamageRow> {};

TEST_P(JournalDamageTest, DropsOnlyATornLastRecord) {
  const std::string whole = Journal(kRecords);
  const std::size_t last = whole.size() - EncodeJournalRecord(kRecords.back()).size();
  const std::string text = GetParam().damage(whole, last);
  std::vector<JournalRecord> read;
  std::size_t intact = 0;
  ASSERT_EQ(ParseJournal(text, read, intact), GetParam().readable);
  if (!GetParam().readable) return;
  ExpectSame(read, std::vector<JournalRecord>(kRecords.begin(),
                                              kRecords.begin() + static_cast<long>(GetParam().records)));
  EXPECT_EQ(intact, read.empty() && text.size() < JournalHeader().size() ? 0 : Journal(read).size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JournalDamageTest,
    testing::Values(
        DamageRow{"HeaderOnly", [](std::string, std::size_t) { return std::string(JournalHeader()); }, true, 0},
        DamageRow{"TornHeader", [](std::string, std::size_t) { return std::string(JournalHeader().substr(0, 7)); }, true, 0},
        DamageRow{"LastWithoutLineFeed", [](std::string text, std::size_t) { text.pop_back(); return text; }, true, 6},
        DamageRow{"LastCutShort", [](std::string text, std::size_t last) { return text.substr(0, last + 5); }, true, 6},
        DamageRow{"LastChecksumWrong", [](std::string text, std::size_t last) { text[last] ^= 1; return text; }, true, 6},
        DamageRow{"EarlierChecksumWrong", [](std::string text, std::size_t) { text[JournalHeader().size() + 12] ^= 1; return text; }, false, 0},
        DamageRow{"OtherVersion", [](std::string text, std::size_t) { text[JournalHeader().size() - 2] = '2'; return text; }, false, 0},
        DamageRow{"NotAJournal", [](std::string, std::size_t) { return std::string("MZ\x90"); }, false, 0},
        // A well-formed line with a good checksum but an operation this version does not know.
        DamageRow{"UnknownOperation", [](std::string text, std::size_t) {
                    const std::string body = "DELETE\tC:\\x";
                    char crc[9];
                    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(Crc32(body)));
                    return text + crc + " " + body + "\n" + EncodeJournalRecord(kRecords[0]);
                  }, false, 0}),
    [](const testing::TestParamInfo<DamageRow>& param) { return param.param.name; });

}  // namespace
}  // namespace boot
