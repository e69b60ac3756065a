#include "bootstrapper/payload/payload.h"

#include <bcrypt.h>

#include <algorithm>
#include <memory>

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

struct AlgorithmCloser {
  void operator()(BCRYPT_ALG_HANDLE h) const { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashDestroyer {
  void operator()(BCRYPT_HASH_HANDLE h) const { ::BCryptDestroyHash(h); }
};

}  // namespace

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

bool ComputeSha256(const std::uint8_t* data, std::size_t size, Sha256Digest& out) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (status < 0) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  std::unique_ptr<void, AlgorithmCloser> algorithm_owner(algorithm);
  BCRYPT_HASH_HANDLE hash = nullptr;
  // No hash object buffer: the provider allocates its own (Windows 7 and later).
  status = ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  if (status < 0) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  std::unique_ptr<void, HashDestroyer> hash_owner(hash);
  // BCryptHashData takes a 32-bit count: large payloads go in pieces.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  for (std::size_t done = 0; done < size;) {
    const std::size_t piece = std::min(kPiece, size - done);
    status = ::BCryptHashData(hash, const_cast<PUCHAR>(data + done), static_cast<ULONG>(piece), 0);
    if (status < 0) {
      ::SetLastError(ERROR_NOT_SUPPORTED);
      return false;
    }
    done += piece;
  }
  Sha256Digest digest{};
  if (::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) < 0) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  out = digest;
  return true;
}

}  // namespace boot
