// The patch reader and applier on arbitrary bytes: they never read out of bounds (header, body
// and old file each sit in a buffer of their own exact size), ApplyPatch accepts exactly what
// ReadPatchHeader and CheckPatchBody accept with an old file of the stated size, and an accepted
// patch hands the sink exactly new_size bytes in pieces of at most 1 MiB; a refused one hands
// over nothing.
//
// Input: a 24-byte header, then the body (as many bytes as the header says, when there are that
// many), then the old file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "bootstrapper/payload/patch_stream.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

class CountSink final : public boot::PatchSink {
 public:
  bool Write(const std::uint8_t* bytes, std::size_t size) override {
    Check(size > 0 && size <= (std::size_t{1} << 20));
    for (std::size_t i = 0; i < size; ++i) sum += bytes[i];  // every byte handed over is read
    received += size;
    return true;
  }
  std::uint64_t received = 0;
  unsigned sum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> resource(data, data + std::min(size, boot::kPatchHeaderSize));
  boot::PatchHeader header;
  if (!boot::ReadPatchHeader(resource, header)) return 0;
  std::size_t at = boot::kPatchHeaderSize;
  const std::uint64_t body_size = boot::PatchBodySize(header);
  const std::size_t take = body_size <= size - at ? static_cast<std::size_t>(body_size) : size - at;
  const std::vector<std::uint8_t> body(data + at, data + at + take);
  at += take;
  const std::vector<std::uint8_t> old(data + at, data + size);

  const bool valid = boot::CheckPatchBody(header, body);
  CountSink sink;
  const bool applied = boot::ApplyPatch(header, old, body, sink);
  Check(applied == (valid && old.size() == header.old_size));
  Check(applied ? sink.received == header.new_size : sink.received == 0);
  return 0;
}
