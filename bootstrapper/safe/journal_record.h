// The safe run's write-ahead journal, as text: what each record says and how it is written and
// read back. Portable; the Win32 side appends records to a file and flushes each one before the
// step it describes.
//
// The file is UTF-8: the line "BOOTSTRAPPER JOURNAL 1", then one record per line,
//   <CRC-32 of the rest of the line, 8 hex digits> <OP>[\t<path>[\t<path>]]
// Paths are full paths; no Windows file name holds a tab or a line feed, so neither needs
// escaping. A kill can tear only the record being appended, which is the last one: a last line
// without its line feed, or whose checksum does not match, is dropped on reading (the step it
// describes had not begun). A bad record before a good one means the file is not ours to act on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace boot {

enum class JournalOp {
  Backup,        // path: the backup folder is about to be created
  Folder,        // path: a missing folder is about to be created
  Temp,          // path: a new temporary file is about to be created
  Move,          // from, to: an existing file or folder is about to be moved into the backup
  Swap,          // from, to: a staged temporary file is about to be renamed to its target
  FilesInPlace,  // every new file is in place: from here on the update is finished, not undone
  RollBack,      // the run is undoing itself: a later reader must undo, whatever came before
};

struct JournalRecord {
  JournalOp op = JournalOp::Backup;
  std::u16string first;
  std::u16string second;
};

// The first line of every journal this version writes, line feed included.
std::string_view JournalHeader();

// One record as a line, line feed included.
std::string EncodeJournalRecord(const JournalRecord& record);

// Reads a whole journal. False when the header is not this version's, or a record other than
// the last is damaged or malformed; true with every intact record otherwise (a torn last record
// is left out) and `intact_length` set to the bytes they take, header included: where the
// next record goes. A file that holds only the beginning of the header (a kill while it was
// created) reads as no records with `intact_length` 0.
[[nodiscard]] bool ParseJournal(std::string_view text, std::vector<JournalRecord>& records,
                                std::size_t& intact_length);

// CRC-32 (the ISO-HDLC polynomial, as zlib computes it).
std::uint32_t Crc32(std::string_view bytes);

}  // namespace boot
