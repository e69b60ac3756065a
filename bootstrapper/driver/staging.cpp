#include "bootstrapper/driver/staging.h"

#include <memory>
#include <string>

#include "bootstrapper/diag/debug_log.h"

namespace boot {
namespace {

// NTSTATUS NTAPI RtlDecompressBuffer(USHORT format, PUCHAR out, ULONG out_size, PUCHAR in,
//                                    ULONG in_size, PULONG final_size)
using RtlDecompressBufferFn = LONG(NTAPI*)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);

constexpr USHORT kCompressionFormatLznt1 = 2;  // COMPRESSION_FORMAT_LZNT1
constexpr LONG kStatusSuccess = 0;
// LZNT1 output is allowed to be at most four times its input. The capacity is one byte more
// than that bound: the system's decompressor does not reliably report a buffer that is too
// small (Wine cuts the output at the buffer's end and reports success), so a result that fills
// the extra byte is how an over-long stream shows itself. Streams of 1 GiB or more would need
// a capacity beyond the 32-bit count the decompressor takes.
constexpr std::size_t kMaxExpansion = 4;
constexpr std::size_t kMaxCompressedSize = std::size_t{1} << 30;

// Found on the first decompression and kept for the rest of the process.
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

struct VirtualFreeDeleter {
  void operator()(std::uint8_t* p) const { ::VirtualFree(p, 0, MEM_RELEASE); }
};
using PageBuffer = std::unique_ptr<std::uint8_t, VirtualFreeDeleter>;

// Fresh committed pages read as zero without being touched, so a capacity of 4n costs memory
// only for the bytes the decompressor actually writes.
PageBuffer AllocateZeroedPages(std::size_t size) {
  return PageBuffer(static_cast<std::uint8_t*>(
      ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)));
}

// The bytes of resource (type, name) in `module`, read in place. False when it is missing,
// empty, or cannot be loaded or locked.
bool FindPayloadResource(HMODULE module, std::int32_t type, std::int32_t name,
                         const std::uint8_t*& bytes, std::size_t& size) {
  HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(static_cast<WORD>(name)),
                               MAKEINTRESOURCEW(static_cast<WORD>(type)));
  if (info == nullptr) return false;
  size = ::SizeofResource(module, info);
  if (size == 0) return false;
  HGLOBAL loaded = ::LoadResource(module, info);
  if (loaded == nullptr) return false;
  bytes = static_cast<const std::uint8_t*>(::LockResource(loaded));
  return bytes != nullptr;
}

}  // namespace

bool DecompressPayload(const std::uint8_t* data, std::size_t size,
                       std::vector<std::uint8_t>& out) {
  if (size == 0 || size >= kMaxCompressedSize) return false;
  RtlDecompressBufferFn decompress = FindDecompressor();
  if (decompress == nullptr) return false;

  // The compressed copy: the decompressor takes a writable pointer, and the resource lies in
  // the image's read-only pages.
  std::vector<std::uint8_t> compressed(data, data + size);
  const std::size_t bound = kMaxExpansion * size;
  PageBuffer buffer = AllocateZeroedPages(bound + 1);
  if (!buffer) return false;

  ULONG produced = 0;
  const LONG status =
      decompress(kCompressionFormatLznt1, buffer.get(), static_cast<ULONG>(bound + 1),
                 compressed.data(), static_cast<ULONG>(size), &produced);
  // Anything but STATUS_SUCCESS, warnings and informational statuses included, is a failure.
  if (status != kStatusSuccess || produced == 0 || produced > bound) return false;
  out.assign(buffer.get(), buffer.get() + produced);
  return true;
}

bool StagePayloads(HMODULE module, std::vector<UpdateTask>& updates) {
  for (UpdateTask& task : updates) {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    // The length is compared before anything is copied or decompressed.
    if (!FindPayloadResource(module, task.rtype, task.rid, bytes, size) ||
        static_cast<std::uint64_t>(size) != static_cast<std::uint64_t>(task.size)) {
      WriteLog(u"Invalid update entry: " + task.path);
      return false;
    }
    std::vector<std::uint8_t> payload;
    if (!DecompressPayload(bytes, size, payload)) {
      WriteLog(u"Unable to decompress entry: " + task.path);
      return false;
    }
    task.payload = std::move(payload);
    WriteLog(u"--- " + task.path + u" --- CHECK");
  }
  return true;
}

}  // namespace boot
