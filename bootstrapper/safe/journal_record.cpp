#include "bootstrapper/safe/journal_record.h"

#include <array>

#include "bootstrapper/manifest/manifest.h"

namespace boot {
namespace {

constexpr std::string_view kHeader = "BOOTSTRAPPER JOURNAL 1\n";

struct OpName {
  JournalOp op;
  std::string_view name;
  int paths;
};
constexpr OpName kOps[] = {
    {JournalOp::Backup, "BACKUP", 1},  {JournalOp::Folder, "FOLDER", 1},
    {JournalOp::Temp, "TEMP", 1},      {JournalOp::Move, "MOVE", 2},
    {JournalOp::Swap, "SWAP", 2},      {JournalOp::FilesInPlace, "FILES-IN-PLACE", 0},
    {JournalOp::RollBack, "ROLLBACK", 0},
};

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

std::string Hex8(std::uint32_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = digits[value & 15];
  return text;
}

// One line without its line feed; false when it is damaged or says nothing we know.
bool ParseRecord(std::string_view line, JournalRecord& record) {
  if (line.size() < 10 || line[8] != ' ') return false;
  const std::string_view body = line.substr(9);
  if (Hex8(Crc32(body)) != line.substr(0, 8)) return false;

  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = body.find('\t', start);
    fields.push_back(body.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  for (const OpName& op : kOps) {
    if (op.name != fields[0]) continue;
    if (fields.size() != static_cast<std::size_t>(op.paths) + 1) return false;
    record = JournalRecord{op.op, {}, {}};
    if (op.paths >= 1) record.first = Utf8ToUtf16(fields[1]);
    if (op.paths >= 2) record.second = Utf8ToUtf16(fields[2]);
    return (op.paths < 1 || !record.first.empty()) && (op.paths < 2 || !record.second.empty());
  }
  return false;
}

}  // namespace

std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = MakeCrcTable();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) crc = table[(crc ^ static_cast<std::uint8_t>(c)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::string_view JournalHeader() { return kHeader; }

std::string EncodeJournalRecord(const JournalRecord& record) {
  std::string body;
  int paths = 0;
  for (const OpName& op : kOps) {
    if (op.op == record.op) {
      body = op.name;
      paths = op.paths;
    }
  }
  if (paths >= 1) body += "\t" + Utf16ToUtf8(record.first);
  if (paths >= 2) body += "\t" + Utf16ToUtf8(record.second);
  return Hex8(Crc32(body)) + " " + body + "\n";
}

bool ParseJournal(std::string_view text, std::vector<JournalRecord>& records,
                  std::size_t& intact_length) {
  // Killed while the header itself was written: no step had begun.
  if (text.size() < kHeader.size() && kHeader.substr(0, text.size()) == text) {
    records.clear();
    intact_length = 0;
    return true;
  }
  if (text.substr(0, kHeader.size()) != kHeader) return false;
  const std::size_t total = text.size();
  text.remove_prefix(kHeader.size());
  std::vector<JournalRecord> parsed;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) break;  // torn last record: its step never began
    JournalRecord record;
    if (!ParseRecord(text.substr(0, end), record)) {
      // Damage is only believable in the last record, the one being written at the kill.
      if (text.find('\n', end + 1) != std::string_view::npos) return false;
      break;
    }
    parsed.push_back(std::move(record));
    text.remove_prefix(end + 1);
  }
  records = std::move(parsed);
  intact_length = total - text.size();
  return true;
}

}  // namespace boot
