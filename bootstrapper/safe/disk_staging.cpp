#include "bootstrapper/safe/disk_staging.h"

#include <algorithm>
#include <deque>

#include "bootstrapper/common/parallel.h"
#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"
#include "bootstrapper/payload/payload.h"
#include "bootstrapper/payload/sha256.h"

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

}  // namespace

bool StagePayloadsToDisk(HMODULE module, const std::vector<UpdateTask>& updates,
                         Transaction& transaction, std::vector<StagedFile>& staged) {
  staged.clear();
  const PayloadReader reader(module);
  // Every payload is found, and of its manifest's size, before anything is made.
  std::vector<PayloadStream> streams;
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
    streams.push_back(stream);
  }
  // Decoding and hashing run ahead on the other processors while this thread writes.
  BlockPipeline pipeline(reader, streams);
  LogFlushBatch batch;
  BackgroundFlusher flushes;

  for (const UpdateTask& task : updates) {
    if (task.size != 0 && !pipeline.ready()) {
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
    DWORD error = 0;
    for (bool last = task.size == 0; !last;) {
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
