// The decoder on arbitrary bytes with an arbitrary capacity: it never reads or writes out of
// bounds (the sanitizers watch both buffers, each sized exactly), never reports more than the
// capacity, and its answer does not depend on spare room: the same stream decodes to the same
// bytes in a buffer of exactly the reported size, and fails to fit one byte less. Decoding on
// one thread and on two (which splits a stream of enough chunks into blocks) agrees.
//
// Input: the capacity in two bytes (little endian, up to 16 chunks' worth), then the stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lznt1/lznt1.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

lznt1::DecodeResult DecodeInto(const std::uint8_t* stream, std::size_t size, std::size_t capacity,
                               std::unique_ptr<std::uint8_t[]>& out, unsigned threads = 1) {
  out.reset(new std::uint8_t[capacity]);
  return lznt1::Decompress(stream, size, out.get(), capacity, threads);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t capacity = static_cast<std::size_t>(data[0] | data[1] << 8);
  // An exact-size copy of the stream, so a read one past its end is caught.
  const std::size_t stream_size = size - 2;
  std::unique_ptr<std::uint8_t[]> stream(new std::uint8_t[stream_size ? stream_size : 1]);
  if (stream_size) std::memcpy(stream.get(), data + 2, stream_size);

  std::unique_ptr<std::uint8_t[]> first;
  const lznt1::DecodeResult r = DecodeInto(stream.get(), stream_size, capacity, first);
  Check(r.size <= capacity);
  Check(r.status == lznt1::DecodeStatus::Ok || r.size == 0);
  Check(std::strlen(lznt1::DescribeStatus(r.status)) > 0);
  std::unique_ptr<std::uint8_t[]> threaded;
  const lznt1::DecodeResult two = DecodeInto(stream.get(), stream_size, capacity, threaded, 2);
  Check(two.status == r.status && two.size == r.size);
  Check(r.size == 0 || std::memcmp(first.get(), threaded.get(), r.size) == 0);
  if (r.status != lznt1::DecodeStatus::Ok) return 0;
  Check(r.size <= lznt1::DecodedSizeBound(stream.get(), stream_size));

  std::unique_ptr<std::uint8_t[]> exact;
  const lznt1::DecodeResult again = DecodeInto(stream.get(), stream_size, r.size, exact);
  Check(again.status == lznt1::DecodeStatus::Ok && again.size == r.size);
  Check(r.size == 0 || std::memcmp(first.get(), exact.get(), r.size) == 0);
  if (r.size > 0) {
    std::unique_ptr<std::uint8_t[]> short_by_one;
    Check(DecodeInto(stream.get(), stream_size, r.size - 1, short_by_one).status ==
          lznt1::DecodeStatus::OutputTooSmall);
  }
  return 0;
}
