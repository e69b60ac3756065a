#include "bootstrapper/safe/disk_staging.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "bootstrapper/common/parallel.h"
#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"
#include "bootstrapper/payload/patch_stream.h"
#include "bootstrapper/payload/payload.h"
#include "bootstrapper/payload/sha256.h"
#include "bootstrapper/safe/installed_files.h"

namespace boot {
namespace {

// Writes `size` bytes (a pipeline piece: far below WriteFile's 4 GiB limit).
bool WriteAll(HANDLE file, const std::uint8_t* bytes, std::size_t size, DWORD& error) {
  for (std::size_t done = 0; done < size;) {
    DWORD written = 0;
    if (!::WriteFile(file, bytes + done, static_cast<DWORD>(size - done), &written, nullptr)) {
      error = ::GetLastError();
      return false;
    }
    if (written == 0) {
      error = ERROR_DISK_FULL;
      return false;
    }
    done += written;
  }
  return true;
}

// Flushes staged files on a thread of its own while the next ones are decoded and written, so
// that the disk's work overlaps the processors' instead of following it.
class BackgroundFlusher {
 public:
  BackgroundFlusher() {
    thread_ = ::CreateThread(nullptr, 0, &BackgroundFlusher::Thread, this, 0, nullptr);
  }
  ~BackgroundFlusher() { (void)Finish(/*report=*/false); }
  BackgroundFlusher(const BackgroundFlusher&) = delete;
  BackgroundFlusher& operator=(const BackgroundFlusher&) = delete;

  // Takes `file` (written in full) to be flushed and closed. Without a thread, flushes it now.
  void Add(UniqueFile file, const std::u16string& path) {
    Item item{std::move(file), path, ERROR_SUCCESS};
    if (thread_ == nullptr) {
      Flush(item);
      done_.push_back(std::move(item));
      return;
    }
    ::AcquireSRWLockExclusive(&lock_);
    // A bound on the files held open at once.
    while (queue_.size() - next_ >= kMaxQueued) ::SleepConditionVariableSRW(&taken_, &lock_, INFINITE, 0);
    queue_.push_back(std::move(item));
    ::WakeConditionVariable(&added_);
    ::ReleaseSRWLockExclusive(&lock_);
  }

  // Waits until every file taken is flushed and closed. False after the failure lines (when
  // `report`) for the first file, in the order taken, that the system could not flush.
  bool Finish(bool report = true) {
    if (thread_ != nullptr) {
      ::AcquireSRWLockExclusive(&lock_);
      closing_ = true;
      ::WakeConditionVariable(&added_);
      ::ReleaseSRWLockExclusive(&lock_);
      ::WaitForSingleObject(thread_, INFINITE);
      ::CloseHandle(thread_);
      thread_ = nullptr;
      for (Item& item : queue_) done_.push_back(std::move(item));
      queue_.clear();
    }
    for (const Item& item : done_) {
      if (item.error != ERROR_SUCCESS) {
        if (report) WriteFailureLog(u"Cannot write temporary file " + item.path, item.error);
        done_.clear();
        return false;
      }
    }
    done_.clear();
    return true;
  }

 private:
  struct Item {
    UniqueFile file;
    std::u16string path;
    DWORD error;
  };
  static constexpr std::size_t kMaxQueued = 256;

  static void Flush(Item& item) {
    if (!::FlushFileBuffers(item.file.get())) item.error = ::GetLastError();
    item.file.reset();
  }

  static DWORD WINAPI Thread(void* self) {
    static_cast<BackgroundFlusher*>(self)->Work();
    return 0;
  }

  // Flushes the queue's items in order; each stays in the queue (closed) for Finish to check.
  void Work() {
    ::AcquireSRWLockExclusive(&lock_);
    for (;;) {
      while (next_ == queue_.size() && !closing_) ::SleepConditionVariableSRW(&added_, &lock_, INFINITE, 0);
      if (next_ == queue_.size()) break;
      Item* item = &queue_[next_];
      ::ReleaseSRWLockExclusive(&lock_);
      Flush(*item);
      ::AcquireSRWLockExclusive(&lock_);
      ++next_;
      ::WakeConditionVariable(&taken_);
    }
    ::ReleaseSRWLockExclusive(&lock_);
  }

  HANDLE thread_ = nullptr;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE added_ = CONDITION_VARIABLE_INIT;
  CONDITION_VARIABLE taken_ = CONDITION_VARIABLE_INIT;
  std::deque<Item> queue_;  // guarded by lock_; items before next_ are flushed
  std::size_t next_ = 0;  // guarded by lock_
  bool closing_ = false;  // guarded by lock_
  std::vector<Item> done_;  // flushed without a thread
};

// Takes a patched file's content as it is rebuilt: hashes it and writes it to the staging file in
// pieces of up to 1 MiB.
class StagingFileSink final : public PatchSink {
 public:
  explicit StagingFileSink(HANDLE file) : file_(file), buffer_(kBuffer) { Sha256Init(digest_); }

  bool Write(const std::uint8_t* bytes, std::size_t size) override {
    Sha256Update(digest_, {bytes, size});
    while (size > 0) {
      const std::size_t n = std::min(size, kBuffer - used_);
      std::copy(bytes, bytes + n, buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
      used_ += n;
      bytes += n;
      size -= n;
      if (used_ == kBuffer && !Drain()) return false;
    }
    return true;
  }

  // Writes what is buffered. False with the system's error in error().
  bool Drain() {
    const bool ok = WriteAll(file_, buffer_.data(), used_, error_);
    used_ = 0;
    return ok;
  }

  Sha256Digest Digest() { return Sha256Final(digest_); }
  DWORD error() const { return error_; }

 private:
  static constexpr std::size_t kBuffer = std::size_t{1} << 20;
  HANDLE file_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  DWORD error_ = ERROR_SUCCESS;
  Sha256State digest_;
};

// Rebuilds a patched file into the staging file `handle` from the file installed at `target`
// (or copies that file when it already holds the new version), and gives its digest. False
// after the failure line and its error line.
bool StagePatch(const PayloadReader& reader, const PayloadStream& stream, const UpdateTask& task,
                const std::u16string& target, const std::u16string& temp, HANDLE handle,
                Sha256Digest& digest) {
  PatchHeader header;
  ByteBuffer body;
  {
    const PayloadReader::View view =
        reader.Map(stream, 0, std::min(stream.size, kPatchHeaderSize));
    if (view.bytes() == nullptr || stream.size < kPatchHeaderSize ||
        !ReadPatchHeader({view.bytes(), kPatchHeaderSize}, header) ||
        !DecodeExactly(reader, stream, kPatchHeaderSize, PatchBodySize(header), body)) {
      WriteFailureLog(u"Unable to decompress entry: " + task.path, ERROR_INVALID_DATA);
      return false;
    }
  }
  InstalledFileView old;
  DWORD error = ERROR_SUCCESS;
  if (!MapInstalledFile(target, old, error)) {
    WriteFailureLog(u"Cannot read installed file " + target, error);
    return false;
  }
  StagingFileSink sink(handle);
  // A file that already holds its new version (this update was finished before) is staged as it
  // is; the patch only applies to the old one.
  const bool already_new =
      old.bytes().size() == header.new_size && Sha256Of(old.bytes()) == task.sha256;
  const bool made = already_new ? sink.Write(old.bytes().data(), old.bytes().size())
                                : ApplyPatch(header, old.bytes(), {body.data(), body.size()}, sink);
  if (!made || sink.error() != 0) {
    // The sink's own failure, or a patch that does not fit the file now installed.
    if (sink.error() != 0) {
      WriteFailureLog(u"Cannot write temporary file " + temp, sink.error());
    } else {
      WriteFailureLog(u"Checksum failed for entry: " + task.path, ERROR_CRC);
    }
    return false;
  }
  if (!sink.Drain()) {
    WriteFailureLog(u"Cannot write temporary file " + temp, sink.error());
    return false;
  }
  digest = sink.Digest();
  return true;
}

}  // namespace

bool StagePayloadsToDisk(HMODULE module, const std::vector<UpdateTask>& updates,
                         Transaction& transaction, std::vector<StagedFile>& staged) {
  staged.clear();
  const PayloadReader reader(module);
  // Every payload is found, and of its manifest's size, before anything is made. Patches are
  // rebuilt one by one from their installed files; the other streams go through the pipeline.
  std::vector<PayloadStream> streams, patches;
  streams.reserve(updates.size());
  for (const UpdateTask& task : updates) {
    if (task.size == 0) continue;  // an empty file: no resource
    PayloadStream stream;
    if (!reader.Find(task.rtype, task.rid, stream)) {
      WriteFailureLog(u"Invalid update entry: " + task.path, ERROR_RESOURCE_NAME_NOT_FOUND);
      return false;
    }
    if (static_cast<std::uint64_t>(stream.size) != static_cast<std::uint64_t>(task.size)) {
      WriteFailureLog(u"Invalid update entry: " + task.path, ERROR_INVALID_DATA);
      return false;
    }
    (task.is_patch ? patches : streams).push_back(stream);
  }
  // Decoding and hashing run ahead on the other processors while this thread writes.
  BlockPipeline pipeline(reader, streams);
  LogFlushBatch batch;
  BackgroundFlusher flushes;
  std::size_t next_patch = 0;

  for (const UpdateTask& task : updates) {
    if (task.size != 0 && !task.is_patch && !pipeline.ready()) {
      WriteFailureLog(u"Unable to decompress entry: " + task.path, ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    StagedFile file;
    file.target = FullInstallPath(transaction.base, task.path);
    const std::u16string folder = ParentPath(file.target);
    if (!CreateMissingFolders(transaction, folder)) return false;
    UniqueFile handle;
    if (!CreateStagingFile(transaction, folder, handle, file.temp)) return false;

    // Written as it is decoded; the digest decides, before anything existing is touched.
    Sha256Digest digest = task.size == 0 ? Sha256Of({}) : Sha256Digest{};
    if (task.is_patch &&
        !StagePatch(reader, patches[next_patch++], task, file.target, file.temp, handle.get(), digest)) {
      return false;
    }
    DWORD error = 0;
    for (bool last = task.size == 0 || task.is_patch; !last;) {
      const BlockPipeline::Piece piece = pipeline.Next();
      if (!piece.ok) {
        WriteFailureLog(u"Unable to decompress entry: " + task.path, ERROR_INVALID_DATA);
        return false;
      }
      if (!WriteAll(handle.get(), piece.bytes, piece.size, error)) {
        WriteFailureLog(u"Cannot write temporary file " + file.temp, error);
        return false;
      }
      last = piece.last;
      if (last) digest = piece.digest;
    }
    if (!task.has_sha256 || digest != task.sha256) {
      WriteFailureLog(u"Checksum failed for entry: " + task.path, ERROR_CRC);
      return false;
    }
    flushes.Add(std::move(handle), file.temp);
    staged.push_back(std::move(file));
    WriteLog(u"--- " + task.path + u" --- CHECK");
  }
  // Every staged byte and every record on disk before the caller goes on to rename anything.
  return flushes.Finish() && FlushJournal(transaction);
}

}  // namespace boot
