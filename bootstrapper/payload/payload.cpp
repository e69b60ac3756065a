#include "bootstrapper/payload/payload.h"

#include <algorithm>
#include <string>

#include "bootstrapper/common/parallel.h"
#include "bootstrapper/manifest/update_rules.h"
#include "bootstrapper/payload/sha256.h"

namespace boot {
namespace {

// NTSTATUS NTAPI RtlDecompressBuffer(USHORT format, PUCHAR out, ULONG out_size, PUCHAR in,
//                                    ULONG in_size, PULONG final_size)
using RtlDecompressBufferFn = LONG(NTAPI*)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);

constexpr USHORT kCompressionFormatLznt1 = 2;  // COMPRESSION_FORMAT_LZNT1
constexpr LONG kStatusSuccess = 0;
// Chunks per block: 256 KiB of content, enough to make the hand-over cost nothing and small
// enough to keep every processor busy on files of a few hundred kilobytes.
constexpr std::size_t kChunksPerBlock = 64;
constexpr std::size_t kBlockContent = kChunksPerBlock * kChunkSize;
// The largest count RtlDecompressBuffer takes.
constexpr std::uint64_t kMaxCount = 0xFFFFFFFF;

// Found on the first decompression and kept for the rest of the process. Looked up before any
// worker starts, so the workers only read it.
RtlDecompressBufferFn Decompressor = nullptr;

RtlDecompressBufferFn FindDecompressor() {
  if (Decompressor == nullptr) {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    // Through void(*)() so that the compiler accepts the change of signature.
    Decompressor = reinterpret_cast<RtlDecompressBufferFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "RtlDecompressBuffer")));
  }
  return Decompressor;
}

// One call of the system's decompressor. The input is only read; the pointer type is the API's.
// The decompressor does not reliably report a buffer that is too small (Wine cuts the output at
// the buffer's end and reports success): callers give one byte more room than they accept, and
// a result that fills it is how an over-long stream shows itself.
bool DecodeInto(const std::uint8_t* source, std::size_t source_size, std::uint8_t* out,
                std::uint64_t capacity, std::uint64_t& produced) {
  ULONG final_size = 0;
  const LONG status = Decompressor(
      kCompressionFormatLznt1, out, static_cast<ULONG>(std::min(capacity, kMaxCount)),
      const_cast<PUCHAR>(source), static_cast<ULONG>(source_size), &final_size);
  produced = final_size;
  // Anything but STATUS_SUCCESS, warnings and informational statuses included, is a failure.
  return status == kStatusSuccess;
}

// Fresh committed pages read as zero without being touched, so room that is never written
// costs no memory.
std::uint8_t* AllocatePages(std::size_t size) {
  return static_cast<std::uint8_t*>(
      ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void ReleasePages(std::uint8_t* data, std::size_t) { ::VirtualFree(data, 0, MEM_RELEASE); }

// Gives the pages past the first `used` bytes of a buffer of `capacity` back to the system.
void DecommitTail(std::uint8_t* data, std::size_t used, std::size_t capacity) {
  constexpr std::size_t kPage = 4096;
  const std::size_t keep = (used + kPage - 1) / kPage * kPage;
  if (keep < capacity) ::VirtualFree(data + keep, capacity - keep, MEM_DECOMMIT);
}

// Where `size` bytes at `bytes` in the loaded image `module` lie in its file: found through the
// section that holds them. False when they lie outside every section's file data.
bool ImageFileOffset(HMODULE module, const std::uint8_t* bytes, std::size_t size,
                     std::uint64_t& offset) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  const auto rva = static_cast<std::uint64_t>(bytes - base);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    const std::uint64_t start = section->VirtualAddress;
    const std::uint64_t length = std::min(section->SizeOfRawData, section->Misc.VirtualSize);
    if (rva >= start && rva + size <= start + length) {
      offset = section->PointerToRawData + (rva - start);
      return true;
    }
  }
  return false;
}

std::uint64_t ExpansionBound(std::size_t size) { return kMaxExpansion * size; }

}  // namespace

PayloadReader::PayloadReader(HMODULE module) : module_(module) {
  if (module == nullptr) return;
  // A module loaded as a data file (low bits set) has no file name and is not laid out as an
  // image; it is read in place.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return;
    path.resize(path.size() * 2);
  }
  // Shared for everything: the loader and anyone else keep their access to the file.
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size;
  if (::GetFileSizeEx(file, &size)) {
    file_size_ = static_cast<std::uint64_t>(size.QuadPart);
    mapping_ = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  }
  ::CloseHandle(file);  // the mapping keeps the file open
}

PayloadReader::~PayloadReader() {
  if (mapping_ != nullptr) ::CloseHandle(mapping_);
}

bool PayloadReader::Find(std::int32_t type, std::int32_t name, PayloadStream& stream) const {
  if (module_ == nullptr) return false;
  HRSRC info = ::FindResourceW(module_, MAKEINTRESOURCEW(static_cast<WORD>(name)),
                               MAKEINTRESOURCEW(static_cast<WORD>(type)));
  if (info == nullptr) return false;
  const DWORD size = ::SizeofResource(module_, info);
  if (size == 0) return false;
  HGLOBAL loaded = ::LoadResource(module_, info);
  if (loaded == nullptr) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(::LockResource(loaded));
  if (bytes == nullptr) return false;
  stream = PayloadStream{bytes, size, 0, false};
  if (mapping_ != nullptr) stream.in_file = ImageFileOffset(module_, bytes, size, stream.file_offset);
  return true;
}

PayloadReader::View::View(View&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), base_(std::exchange(other.base_, nullptr)) {}

PayloadReader::View::~View() {
  if (base_ != nullptr) ::UnmapViewOfFile(base_);
}

void* PayloadReader::MapFrom(std::uint64_t at, std::uint64_t end, std::uint64_t& start) const {
  static const DWORD granularity = [] {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwAllocationGranularity;
  }();
  start = at / granularity * granularity;
  return ::MapViewOfFile(mapping_, FILE_MAP_READ, static_cast<DWORD>(start >> 32),
                         static_cast<DWORD>(start), static_cast<SIZE_T>(end - start));
}

PayloadReader::View PayloadReader::Map(const PayloadStream& stream, std::size_t offset,
                                       std::size_t size) const {
  if (mapping_ == nullptr || !stream.in_file || size == 0) return View(stream.bytes + offset, nullptr);
  const std::uint64_t at = stream.file_offset + offset;
  std::uint64_t start = 0;
  void* base = MapFrom(at, at + size, start);
  if (base == nullptr) return View(stream.bytes + offset, nullptr);
  return View(static_cast<const std::uint8_t*>(base) + (at - start), base);
}

PayloadReader::Window::Window(Window&& other) noexcept
    : reader_(other.reader_), base_(std::exchange(other.base_, nullptr)), start_(other.start_), end_(other.end_) {}

PayloadReader::Window::~Window() {
  if (base_ != nullptr) ::UnmapViewOfFile(base_);
}

const std::uint8_t* PayloadReader::Window::Bytes(const PayloadStream& stream, std::size_t offset,
                                                 std::size_t size) {
  const PayloadReader& reader = *reader_;
  if (reader.mapping_ == nullptr || !stream.in_file || size == 0) return stream.bytes + offset;
  const std::uint64_t at = stream.file_offset + offset;
  if (base_ == nullptr || at < start_ || at + size > end_) {
    if (base_ != nullptr) ::UnmapViewOfFile(base_);
    end_ = std::max(at + size, std::min(at + kWindowSize, reader.file_size_));
    base_ = reader.MapFrom(at, end_, start_);
    // Where the system refuses, the image's own bytes do.
    if (base_ == nullptr) return stream.bytes + offset;
  }
  return static_cast<const std::uint8_t*>(base_) + (at - start_);
}

namespace {

// A window for every thread ParallelFor may run on.
std::vector<PayloadReader::Window> MakeWindows(const PayloadReader& reader) {
  std::vector<PayloadReader::Window> windows;
  for (unsigned w = ProcessorCount(); w > 0; --w) windows.emplace_back(reader);
  return windows;
}

// The result of one block's decoding.
struct BlockResult {
  bool ok = false;
  std::uint64_t produced = 0;
};

struct JobPlan {
  StreamBlocks split;
  std::size_t first_item = 0;  // index of its first block among all blocks
  std::size_t capacity = 0;
};

// The room a stream's content gets: four times the stream and one byte, as the rules ask, but
// no more than its chunks can fill (and one byte), so that a large payload does not commit four
// times its size.
std::uint64_t ContentRoom(std::size_t size, const StreamBlocks& split) {
  return std::min(ExpansionBound(size), split.chunks * kChunkSize) + 1;
}

// The room block `index` of `split` may fill in content of `capacity` bytes: a block before the
// last exactly its chunks' room, the last the rest, and neither past the capacity (chunks that
// would reach beyond it are cut there, and the stream is then refused). 0: the block starts
// beyond the capacity.
std::uint64_t BlockRoom(const StreamBlocks& split, std::size_t index, std::size_t capacity) {
  const StreamBlock& block = split.blocks[index];
  if (block.output_offset >= capacity) return 0;
  const std::uint64_t left = capacity - block.output_offset;
  return index + 1 == split.blocks.size() ? left : std::min(left, block.chunks * kChunkSize);
}

// What the blocks' results (one per block of `split`) make of the stream.
struct JoinedBlocks {
  bool ok = true;  // every block decoded
  // Every block before the last decoded to its whole chunks. When one did not, only a pass over
  // the whole stream decodes it as the system would.
  bool whole_chunks = true;
  std::uint64_t produced = 0;  // the content's length, when both hold
};

JoinedBlocks JoinBlocks(const StreamBlocks& split, const BlockResult* results) {
  JoinedBlocks joined;
  const std::size_t count = split.blocks.size();
  for (std::size_t b = 0; b < count; ++b) {
    joined.ok = joined.ok && results[b].ok;
    if (b + 1 < count && results[b].produced != split.blocks[b].chunks * kChunkSize) {
      joined.whole_chunks = false;
    }
  }
  joined.produced = split.blocks.back().output_offset + results[count - 1].produced;
  return joined;
}

// One pass over the whole stream, for a stream whose chunks do not keep to 4096 bytes each:
// whatever the system makes of it is the result.
bool DecodeInOnePass(const PayloadReader& reader, DecodeJob& job) {
  const std::uint64_t capacity = std::min(ExpansionBound(job.stream.size) + 1, kMaxCount);
  std::uint8_t* out = AllocatePages(static_cast<std::size_t>(capacity));
  if (out == nullptr) return false;
  ByteBuffer content(out, 0, static_cast<std::size_t>(capacity), ReleasePages);
  const PayloadReader::View view = reader.Map(job.stream, 0, job.stream.size);
  std::uint64_t produced = 0;
  if (!DecodeInto(view.bytes(), job.stream.size, out, capacity, produced) || produced == 0 ||
      produced > ExpansionBound(job.stream.size)) {
    return false;
  }
  DecommitTail(out, static_cast<std::size_t>(produced), static_cast<std::size_t>(capacity));
  content.set_size(static_cast<std::size_t>(produced));
  job.content = std::move(content);
  return true;
}

}  // namespace

void DecodePayloads(const PayloadReader& reader, std::span<DecodeJob> jobs) {
  for (DecodeJob& job : jobs) {
    job.decoded = job.verified = false;
    job.content.Reset();
  }
  if (jobs.empty() || FindDecompressor() == nullptr) return;

  // 1. Every stream split at its chunk headers, and its content's pages reserved.
  std::vector<JobPlan> plans(jobs.size());
  std::vector<PayloadReader::Window> windows = MakeWindows(reader);
  ParallelFor(jobs.size(), [&](std::size_t i, unsigned worker) {
    DecodeJob& job = jobs[i];
    JobPlan& plan = plans[i];
    plan.split = SplitStream(windows[worker].Bytes(job.stream, 0, job.stream.size), job.stream.size,
                             kChunksPerBlock);
    plan.capacity = static_cast<std::size_t>(ContentRoom(job.stream.size, plan.split));
    if (std::uint8_t* pages = AllocatePages(plan.capacity)) {
      job.content = ByteBuffer(pages, 0, plan.capacity, ReleasePages);
    }
  });
  std::size_t items = 0;
  for (JobPlan& plan : plans) {
    plan.first_item = items;
    items += plan.split.blocks.size();
  }

  // 2. Every block of every stream into its own part of its content.
  windows = MakeWindows(reader);  // a whole stream's view is not kept while blocks decode
  std::vector<BlockResult> results(items);
  std::vector<std::size_t> owner(items);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    for (std::size_t b = 0; b < plans[i].split.blocks.size(); ++b) owner[plans[i].first_item + b] = i;
  }
  ParallelFor(items, [&](std::size_t item, unsigned worker) {
    DecodeJob& job = jobs[owner[item]];
    const JobPlan& plan = plans[owner[item]];
    if (job.content.data() == nullptr) return;
    const StreamBlock& block = plan.split.blocks[item - plan.first_item];
    const std::uint64_t room = BlockRoom(plan.split, item - plan.first_item, plan.capacity);
    if (room == 0) return;
    const std::uint8_t* bytes = windows[worker].Bytes(job.stream, block.source_offset, block.source_size);
    BlockResult& result = results[item];
    result.ok = DecodeInto(bytes, block.source_size, job.content.data() + block.output_offset, room,
                           result.produced);
  });
  windows.clear();

  // 3. Every stream's blocks joined, its rules checked and its digest compared.
  ParallelFor(jobs.size(), [&](std::size_t i) {
    DecodeJob& job = jobs[i];
    const JobPlan& plan = plans[i];
    if (job.content.data() == nullptr) return;
    const JoinedBlocks joined = JoinBlocks(plan.split, &results[plan.first_item]);
    if (!joined.whole_chunks) {
      // Chunks that decode short: the one-pass result is the reference, so that is what is made.
      job.content.Reset();
      job.decoded = DecodeInOnePass(reader, job);
    } else {
      const std::uint64_t produced = joined.produced;
      job.decoded = joined.ok && produced != 0 && produced <= ExpansionBound(job.stream.size) &&
                    produced < plan.capacity;
      if (job.decoded) {
        DecommitTail(job.content.data(), static_cast<std::size_t>(produced), plan.capacity);
        job.content.set_size(static_cast<std::size_t>(produced));
      }
    }
    if (!job.decoded) {
      job.content.Reset();
      return;
    }
    job.verified = !job.check_sha256 ||
                   Sha256Of(std::span<const std::uint8_t>(job.content.data(), job.content.size())) == job.sha256;
  });
}

bool DecodeExactly(const PayloadReader& reader, const PayloadStream& stream, std::size_t offset,
                   std::uint64_t expected, ByteBuffer& out) {
  out.Reset();
  if (offset > stream.size || expected >= kMaxCount || FindDecompressor() == nullptr) return false;
  const std::size_t size = stream.size - offset;
  const PayloadReader::View view = reader.Map(stream, offset, size);
  if (view.bytes() == nullptr) return false;
  const StreamBlocks split = SplitStream(view.bytes(), size, kChunksPerBlock);
  // One byte more than asked for: a stream that fills it is longer than it should be.
  const auto capacity = static_cast<std::size_t>(expected + 1);
  std::uint8_t* pages = AllocatePages(capacity);
  if (pages == nullptr) return false;
  ByteBuffer content(pages, 0, capacity, ReleasePages);
  std::vector<BlockResult> results(split.blocks.size());
  ParallelFor(split.blocks.size(), [&](std::size_t b) {
    const StreamBlock& block = split.blocks[b];
    const std::uint64_t room = BlockRoom(split, b, capacity);
    if (room == 0) return;
    results[b].ok = DecodeInto(view.bytes() + block.source_offset, block.source_size,
                               pages + block.output_offset, room, results[b].produced);
  });
  JoinedBlocks joined = JoinBlocks(split, results.data());
  if (!joined.whole_chunks) {
    joined.ok = DecodeInto(view.bytes(), size, pages, capacity, joined.produced);
  }
  if (!joined.ok || joined.produced != expected) return false;
  content.set_size(static_cast<std::size_t>(joined.produced));
  out = std::move(content);
  return true;
}

bool DecodePayload(const std::uint8_t* data, std::size_t size, ByteBuffer& out) {
  if (size == 0) return false;
  PayloadReader reader(nullptr);
  DecodeJob job;
  job.stream = PayloadStream{data, size, 0, false};
  DecodePayloads(reader, std::span<DecodeJob>(&job, 1));
  if (!job.decoded) return false;
  out = std::move(job.content);
  return true;
}

struct BlockPipeline::State {
  struct Item {
    std::size_t stream = 0;
    StreamBlock block;
    bool last = false;
  };
  struct Slot {
    std::size_t item = SIZE_MAX;  // the item whose result the slot holds
    bool ok = false;
    std::uint64_t produced = 0;
    Sha256Digest digest{};  // of the whole stream, in its last item's slot once hashed
  };
  // A block's content and one byte that only an over-long block reaches, in whole pages.
  static constexpr std::size_t kSlotSize = kBlockContent + 4096;

  State(const PayloadReader& r, std::span<const PayloadStream> s) : reader(r), streams(s), own_window(r) {}

  std::uint8_t* SlotBytes(std::size_t item) const { return ring + (item % slots) * kSlotSize; }

  // Decodes `item` into its slot, reading it through `window`; the slot must be free.
  Slot Decode(std::size_t index, PayloadReader::Window& window) const {
    const Item& item = items[index];
    Slot slot;
    slot.item = index;
    const std::uint8_t* bytes =
        window.Bytes(streams[item.stream], item.block.source_offset, item.block.source_size);
    const std::uint64_t room = item.block.chunks * kChunkSize + (item.last ? 1 : 0);
    slot.ok = DecodeInto(bytes, item.block.source_size, SlotBytes(index), room, slot.produced);
    return slot;
  }

  // Adds item `index`'s bytes to the running digest; the last item of a stream finishes it.
  void Hash(std::size_t index, Slot& slot) {
    const Item& item = items[index];
    if (item.block.output_offset == 0) Sha256Init(running);
    if (slot.ok) Sha256Update(running, std::span<const std::uint8_t>(SlotBytes(index), slot.produced));
    if (item.last) slot.digest = Sha256Final(running);
  }

  // Hashes the decoded items in order for as long as the next one is ready and no other thread
  // is at it. Called with the lock held, which it lets go while hashing.
  void HashInOrder() {
    while (!hashing && hash_next < items.size() && slot_state[hash_next % slots].item == hash_next) {
      hashing = true;
      const std::size_t index = hash_next;
      ::ReleaseSRWLockExclusive(&lock);
      Hash(index, slot_state[index % slots]);  // the slot is this thread's until hash_next moves
      ::AcquireSRWLockExclusive(&lock);
      hashing = false;
      ++hash_next;
      ::WakeAllConditionVariable(&item_ready);
    }
  }

  void Work() {
    PayloadReader::Window window(reader);
    for (;;) {
      ::AcquireSRWLockExclusive(&lock);
      while (!stop && next_claim < items.size() && next_claim >= consumed + slots) {
        ::SleepConditionVariableSRW(&slot_free, &lock, INFINITE, 0);
      }
      if (stop || next_claim >= items.size()) {
        ::ReleaseSRWLockExclusive(&lock);
        return;
      }
      const std::size_t index = next_claim++;
      ::ReleaseSRWLockExclusive(&lock);
      const Slot result = Decode(index, window);
      ::AcquireSRWLockExclusive(&lock);
      slot_state[index % slots] = result;
      HashInOrder();
      ::ReleaseSRWLockExclusive(&lock);
    }
  }

  static DWORD WINAPI Thread(void* state) {
    static_cast<State*>(state)->Work();
    return 0;
  }

  const PayloadReader& reader;
  std::span<const PayloadStream> streams;
  std::vector<Item> items;
  std::uint8_t* ring = nullptr;
  std::size_t slots = 0;
  std::vector<Slot> slot_state;
  std::vector<HANDLE> threads;
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE slot_free = CONDITION_VARIABLE_INIT;
  CONDITION_VARIABLE item_ready = CONDITION_VARIABLE_INIT;
  std::size_t next_claim = 0;  // guarded by `lock`
  std::size_t consumed = 0;  // items handed over and let go; guarded by `lock`
  std::size_t hash_next = 0;  // the next item to hash; guarded by `lock`
  bool hashing = false;  // a thread is hashing item hash_next; guarded by `lock`
  Sha256State running;  // the digest of the stream being hashed, of the hashing thread
  bool stop = false;  // guarded by `lock`
  std::size_t reading = SIZE_MAX;  // the item last handed over, the reader's own
  std::uint64_t stream_total = 0;  // content of the current stream so far, the reader's own
  PayloadReader::Window own_window;  // the reader's, when it decodes without workers
};

BlockPipeline::BlockPipeline(const PayloadReader& reader, std::span<const PayloadStream> streams)
    : state_(std::make_unique<State>(reader, streams)) {
  State& s = *state_;
  if (FindDecompressor() == nullptr) return;
  std::vector<StreamBlocks> splits(streams.size());
  std::vector<PayloadReader::Window> windows = MakeWindows(reader);
  ParallelFor(streams.size(), [&](std::size_t i, unsigned worker) {
    splits[i] = SplitStream(windows[worker].Bytes(streams[i], 0, streams[i].size), streams[i].size,
                            kChunksPerBlock);
  });
  windows.clear();
  for (std::size_t i = 0; i < splits.size(); ++i) {
    for (std::size_t b = 0; b < splits[i].blocks.size(); ++b) {
      s.items.push_back({i, splits[i].blocks[b], b + 1 == splits[i].blocks.size()});
    }
  }
  const unsigned workers = ProcessorCount();
  s.slots = 3 * static_cast<std::size_t>(workers) + 2;
  s.ring = AllocatePages(s.slots * State::kSlotSize);
  if (s.ring == nullptr) return;
  s.slot_state.resize(s.slots);
  for (unsigned i = 0; i < workers && !s.items.empty(); ++i) {
    HANDLE thread = ::CreateThread(nullptr, 0, &State::Thread, &s, 0, nullptr);
    if (thread == nullptr) break;
    s.threads.push_back(thread);
  }
}

BlockPipeline::~BlockPipeline() {
  State& s = *state_;
  ::AcquireSRWLockExclusive(&s.lock);
  s.stop = true;
  ::WakeAllConditionVariable(&s.slot_free);
  ::WakeAllConditionVariable(&s.item_ready);
  ::ReleaseSRWLockExclusive(&s.lock);
  for (HANDLE thread : s.threads) {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  }
  if (s.ring != nullptr) ::VirtualFree(s.ring, 0, MEM_RELEASE);
}

bool BlockPipeline::ready() const { return state_->ring != nullptr; }

BlockPipeline::Piece BlockPipeline::Next() {
  State& s = *state_;
  const std::size_t index = s.reading == SIZE_MAX ? 0 : s.reading + 1;
  if (s.reading != SIZE_MAX) {
    ::AcquireSRWLockExclusive(&s.lock);
    s.consumed = index;
    ::WakeAllConditionVariable(&s.slot_free);
    ::ReleaseSRWLockExclusive(&s.lock);
  }
  Piece piece;
  piece.last = true;
  if (s.ring == nullptr || index >= s.items.size()) return piece;
  s.reading = index;
  State::Slot result;
  if (s.threads.empty()) {
    result = s.Decode(index, s.own_window);
    s.Hash(index, result);
  } else {
    ::AcquireSRWLockExclusive(&s.lock);
    while (s.hash_next <= index) {
      ::SleepConditionVariableSRW(&s.item_ready, &s.lock, INFINITE, 0);
    }
    result = s.slot_state[index % s.slots];
    ::ReleaseSRWLockExclusive(&s.lock);
  }
  const State::Item& item = s.items[index];
  if (item.block.output_offset == 0) s.stream_total = 0;
  s.stream_total += result.produced;
  piece.bytes = s.SlotBytes(index);
  piece.size = static_cast<std::size_t>(result.produced);
  piece.last = item.last;
  piece.digest = result.digest;
  const std::uint64_t whole = item.block.chunks * kChunkSize;
  piece.ok = result.ok && (item.last ? result.produced <= whole : result.produced == whole) &&
             s.stream_total <= ExpansionBound(s.streams[item.stream].size) &&
             (!item.last || s.stream_total != 0);
  return piece;
}

}  // namespace boot
