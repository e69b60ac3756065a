// The delta encoder: speed and what its bodies compress to. On a synthetic rebuild of a few MB
// (code-like bytes with a 4-byte address every few bytes, zero padding, a block inserted and
// one removed, every address behind them moved), on a pair of files given on the command line
// (two builds of one program, say), and on inputs that repeat themselves or match nothing.
// Prints figures only.
//
// Speeds are the best of three runs in the process's CPU time (a shared machine's waits not
// counted). Sizes: the body and the new file each compressed as a raw LZNT1 stream, and in the
// payload form, which the stub's 4 x buffer keeps at no less than a quarter of its content.
//
// usage: delta_encoder_bench [--mb N] [OLD NEW]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bootpack/delta_encoder.h"
#include "bootpack/file_io.h"
#include "lznt1/lznt1.h"
#include "bootpack/test_random.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using Rng = boot::testutil::SplitMix64;

// A code-like image of about `size` bytes. With `moved` > 0, the next build: `moved` new bytes
// at a third of the image, `moved` / 2 bytes gone at two thirds, addresses behind each moved.
Bytes MakeImage(std::size_t size, std::size_t moved) {
  static constexpr std::uint8_t kOpcodes[] = {0x48, 0x89, 0x8B, 0xE8, 0xFF, 0x15, 0x0F, 0x84,
                                              0xC3, 0x90, 0x41, 0x5C, 0x24, 0x83, 0xEC, 0x00};
  const std::size_t insert_at = size / 3, remove_at = 2 * size / 3, removed = moved / 2;
  Rng rng{42}, block{7};
  Bytes out;
  bool inserted = moved == 0;
  for (std::size_t old_at = 0; old_at < size;) {
    if (!inserted && old_at >= insert_at) {
      for (std::size_t i = 0; i < moved; ++i) out.push_back(kOpcodes[block() % 16]);
      inserted = true;
    }
    const bool gone = moved > 0 && old_at >= remove_at && old_at < remove_at + removed;
    const std::size_t mark = out.size();
    if (rng() % 64 == 0) {
      out.insert(out.end(), 16 + rng() % 512, 0);  // padding between functions
    } else {
      for (std::size_t n = 2 + rng() % 11; n > 0; --n) out.push_back(kOpcodes[rng() % 16]);
      const std::uint64_t target = rng() % size;
      std::uint64_t address = 0x140001000 + target;
      if (moved > 0 && target >= insert_at) address += moved;
      if (moved > 0 && target >= remove_at + removed) address -= removed;
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    }
    old_at += out.size() - mark;
    if (gone) out.resize(mark);
  }
  return out;
}

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

void Measure(const char* what, const Bytes& old_file, const Bytes& new_file, bool sizes) {
  boot::PatchBody patch;
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const double start = CpuSeconds();
    if (!boot::MakePatchBody(old_file, new_file, patch)) {
      std::printf("%-28s refused\n", what);
      return;
    }
    best = std::min(best, CpuSeconds() - start);
  }
  const double mb = static_cast<double>(new_file.size()) / 1e6;
  std::printf("%-28s old %8.2f MB  new %8.2f MB  %7.1f MB/s  %u ops\n", what,
              static_cast<double>(old_file.size()) / 1e6, mb, mb / std::max(best, 1e-6), patch.header.op_count);
  if (!sizes) return;
  std::uint64_t diff = 0, extra = 0, changed = 0;
  for (std::uint32_t i = 0; i < patch.header.op_count; ++i) {
    const boot::PatchOp op = boot::ReadPatchOp(patch.body, i);
    diff += op.diff;
    extra += op.extra;
  }
  const std::uint8_t* diff_bytes = patch.body.data() + std::size_t{patch.header.op_count} * boot::kPatchOpSize;
  for (std::uint64_t i = 0; i < diff; ++i) changed += diff_bytes[i] != 0;
  std::printf("    diff bytes %llu (%llu not zero), extra bytes %llu\n", static_cast<unsigned long long>(diff),
              static_cast<unsigned long long>(changed), static_cast<unsigned long long>(extra));
  const Bytes body_raw = lznt1::Compress(patch.body.data(), patch.body.size(), lznt1::Level::Default);
  const Bytes new_raw = lznt1::Compress(new_file.data(), new_file.size(), lznt1::Level::Default);
  Bytes body_payload, new_payload;
  std::string error;
  if (!lznt1::CompressPayload(patch.body.data(), patch.body.size(), lznt1::Level::Default, body_payload, error) ||
      !lznt1::CompressPayload(new_file.data(), new_file.size(), lznt1::Level::Default, new_payload, error)) {
    std::printf("    payload compression failed: %s\n", error.c_str());
    return;
  }
  std::printf("    raw LZNT1:    body %9zu  new file %9zu  (%.1f %%)\n", body_raw.size(), new_raw.size(),
              100.0 * static_cast<double>(body_raw.size()) / static_cast<double>(new_raw.size()));
  std::printf("    payload form: body %9zu  new file %9zu  (%.1f %%)\n", body_payload.size(), new_payload.size(),
              100.0 * static_cast<double>(body_payload.size()) / static_cast<double>(new_payload.size()));
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mb = 4;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mb" && i + 1 < argc) {
      mb = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 0 && files.size() != 2) {
    std::fprintf(stderr, "usage: delta_encoder_bench [--mb N] [OLD NEW]\n");
    return 2;
  }
  const std::size_t size = mb << 20;
  Measure("synthetic rebuild", MakeImage(size, 0), MakeImage(size, 64 << 10), true);
  if (files.size() == 2) {
    Bytes old_file, new_file;
    std::string error;
    if (!boot::ReadWholeFile(files[0], old_file, error) || !boot::ReadWholeFile(files[1], new_file, error)) {
      std::fprintf(stderr, "delta_encoder_bench: %s\n", error.c_str());
      return 1;
    }
    Measure("given files", old_file, new_file, true);
  }
  Bytes random_old(size), random_new(size);
  Rng rng{1};
  for (std::uint8_t& b : random_old) b = static_cast<std::uint8_t>(rng());
  for (std::uint8_t& b : random_new) b = static_cast<std::uint8_t>(rng());
  Bytes pattern_old(size), pattern_new(size + 5);
  for (std::size_t i = 0; i < pattern_old.size(); ++i) pattern_old[i] = static_cast<std::uint8_t>(1 + i % 4);
  for (std::size_t i = 0; i < pattern_new.size(); ++i) pattern_new[i] = static_cast<std::uint8_t>(1 + (i + 1) % 4);
  Measure("zeros", Bytes(size, 0), Bytes(size + size / 8, 0), false);
  Measure("zeros to one repeated byte", Bytes(size, 0), Bytes(size, 0xAB), false);
  Measure("4-byte pattern, new phase", pattern_old, pattern_new, false);
  Measure("random to random", random_old, random_new, false);
  Measure("random, unchanged", random_old, random_old, false);
  return 0;
}
