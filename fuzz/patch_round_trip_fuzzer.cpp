// The delta encoder on arbitrary file pairs: the body it makes passes CheckPatchBody and
// ApplyPatch rebuilds the new file from it exactly; an empty new file is refused.
//
// Input: the old file's length in two bytes (little endian, cut to what follows), the old file,
// then the new file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bootpack/delta_encoder.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Compares what it is handed with the expected bytes, in order.
class CompareSink final : public boot::PatchSink {
 public:
  explicit CompareSink(std::span<const std::uint8_t> expected) : expected_(expected) {}
  bool Write(const std::uint8_t* bytes, std::size_t size) override {
    Check(size <= expected_.size() - at_ && std::memcmp(bytes, expected_.data() + at_, size) == 0);
    at_ += size;
    return true;
  }
  bool Done() const { return at_ == expected_.size(); }

 private:
  std::span<const std::uint8_t> expected_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t old_size = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
  const std::vector<std::uint8_t> old_file(data + 2, data + 2 + old_size);
  const std::vector<std::uint8_t> new_file(data + 2 + old_size, data + size);

  boot::PatchBody patch;
  const bool made = boot::MakePatchBody(old_file, new_file, patch);
  Check(made == !new_file.empty());
  if (!made) return 0;
  Check(patch.header.old_size == old_file.size() && patch.header.new_size == new_file.size());
  Check(boot::CheckPatchBody(patch.header, patch.body));
  CompareSink sink(new_file);
  Check(boot::ApplyPatch(patch.header, old_file, patch.body, sink));
  Check(sink.Done());
  return 0;
}
