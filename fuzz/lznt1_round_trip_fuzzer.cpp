// Compress then decompress gives back the input at every level, the payload form keeps its
// content within four times the stream, and the optimal level is never beaten by the others.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lznt1/lznt1.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckDecodesTo(const std::vector<std::uint8_t>& stream, const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out(size + 1);
  const lznt1::DecodeResult r = lznt1::Decompress(stream.data(), stream.size(), out.data(), out.size());
  Check(r.status == lznt1::DecodeStatus::Ok && r.size == size);
  Check(size == 0 || std::memcmp(out.data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t sizes[3];
  int i = 0;
  for (lznt1::Level level : {lznt1::Level::Max, lznt1::Level::Default, lznt1::Level::Fast}) {
    const std::vector<std::uint8_t> stream = lznt1::Compress(data, size, level);
    CheckDecodesTo(stream, data, size);
    sizes[i++] = stream.size();
  }
  Check(sizes[0] <= sizes[1] && sizes[0] <= sizes[2]);

  std::vector<std::uint8_t> payload;
  std::string error;
  const lznt1::Level level = size ? static_cast<lznt1::Level>(data[0] % 3) : lznt1::Level::Default;
  const bool ok = lznt1::CompressPayload(data, size, level, payload, error);
  Check(ok == (size > 0));
  if (!ok) return 0;
  Check(size <= 4 * payload.size());
  CheckDecodesTo(payload, data, size);
  return 0;
}
