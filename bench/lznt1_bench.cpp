// LZNT1 benchmark: compressed size and speed per level against the optimal parse, and decoder
// speed against memcpy, on a corpus built the same way on every run from files of the Wine and
// MinGW packages, C headers, and generated zero-heavy and random data. Prints figures only.
//
// Speeds are the best of a few runs. On one thread they are in the process's CPU time (which
// does not count the waits of a machine shared with other work), wall-clock figures following
// in brackets; on all the machine's threads (or --threads N) they are wall-clock.
//
// usage: lznt1_bench [--quick] [--corpus-mb N] [--threads N] [--dump FILE]
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lznt1/lznt1.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// One part of the corpus, kept apart so its own figures can be shown.
struct Part {
  std::string name;
  Bytes bytes;
};

std::uint64_t Fnv1a(const std::string& text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

// Files under `roots` whose names end in one of `suffixes`, in an order that depends only on
// their paths (a hash shuffles them so a budget takes a spread, not one alphabet range), added
// whole until `budget` bytes are reached.
Bytes GatherFiles(const std::vector<std::string>& roots, const std::vector<std::string>& suffixes,
                  std::size_t budget, std::size_t max_file) {
  std::vector<std::pair<std::uint64_t, std::string>> found;
  for (const std::string& root : roots) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) continue;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      const std::string path = it->path().string();
      for (const std::string& suffix : suffixes) {
        if (path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
          found.emplace_back(Fnv1a(path), path);
          break;
        }
      }
    }
  }
  std::sort(found.begin(), found.end());
  Bytes out;
  for (const auto& [hash, path] : found) {
    if (out.size() >= budget) break;
    std::ifstream file(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.empty() || bytes.size() > max_file) continue;
    const std::size_t take = std::min(bytes.size(), budget - out.size());
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
  }
  return out;
}

struct Rng {
  std::uint64_t state;
  std::uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

// Mostly zeros, as in sparse tables, bitmaps, padded records and uninitialised sections.
Bytes ZeroHeavy(std::size_t size) {
  Rng rng{0x5eed5eed12345ull};
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    switch (rng.Next() % 4) {
      case 0:  // a zero run
        out.insert(out.end(), 16 + rng.Next() % 3000, 0);
        break;
      case 1:  // records of small numbers padded with zeros
        for (int i = 0, count = 4 + static_cast<int>(rng.Next() % 60); i < count; ++i) {
          std::uint8_t record[16] = {};
          record[0] = static_cast<std::uint8_t>(rng.Next() % 7);
          record[4] = static_cast<std::uint8_t>(rng.Next());
          if (rng.Next() % 3 == 0) record[8] = static_cast<std::uint8_t>(rng.Next());
          out.insert(out.end(), record, record + sizeof record);
        }
        break;
      case 2:  // a sparse bitmap
        for (int i = 0, count = 64 + static_cast<int>(rng.Next() % 1000); i < count; ++i)
          out.push_back(rng.Next() % 23 == 0 ? static_cast<std::uint8_t>(1u << (rng.Next() % 8)) : 0);
        break;
      default:  // a few noisy bytes
        for (int i = 0, count = 1 + static_cast<int>(rng.Next() % 40); i < count; ++i)
          out.push_back(static_cast<std::uint8_t>(rng.Next()));
        break;
    }
  }
  out.resize(size);
  return out;
}

Bytes RandomBytes(std::size_t size) {
  Rng rng{0x9e3779b97f4a7c15ull};
  Bytes out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng.Next() >> 24);
  return out;
}

std::vector<Part> BuildCorpus(std::size_t total) {
  const std::size_t pe = total * 20 / 32, text = total * 6 / 32, zeros = total * 4 / 32;
  std::vector<Part> parts;
  parts.push_back({"pe", GatherFiles({"/usr/x86_64-w64-mingw32/lib", "/usr/lib/gcc/x86_64-w64-mingw32",
                                      "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"},
                                     {".dll", ".exe"}, pe, 8u << 20)});
  parts.push_back({"text", GatherFiles({"/usr/include"}, {".h"}, text, 1u << 20)});
  parts.push_back({"zeros", ZeroHeavy(zeros)});
  std::size_t used = 0;
  for (const Part& part : parts) used += part.bytes.size();
  parts.push_back({"random", RandomBytes(total > used ? total - used : 0)});
  return parts;
}

double MBps(std::size_t bytes, double seconds) { return bytes / 1e6 / seconds; }

struct Timing {
  double cpu = 1e30;   // seconds of process CPU time
  double wall = 1e30;  // seconds on the clock
};

// Best of `repeats` timings of fn().
template <typename Fn>
Timing BestTime(int repeats, Fn&& fn) {
  Timing best;
  for (int i = 0; i < repeats; ++i) {
    const std::clock_t cpu_start = std::clock();
    const auto wall_start = Clock::now();
    fn();
    best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - wall_start).count());
    best.cpu = std::min(best.cpu, static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t corpus_mb = 32;
  bool quick = false;
  std::string dump;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) quick = true;
    else if (!std::strcmp(argv[i], "--corpus-mb") && i + 1 < argc) corpus_mb = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::max(1ul, std::strtoul(argv[++i], nullptr, 10));
    else if (!std::strcmp(argv[i], "--dump") && i + 1 < argc) dump = argv[++i];
    else {
      std::fprintf(stderr, "usage: lznt1_bench [--quick] [--corpus-mb N] [--threads N] [--dump FILE]\n");
      return 2;
    }
  }
  const std::vector<Part> parts = BuildCorpus(corpus_mb << 20);
  Bytes corpus;
  for (const Part& part : parts) corpus.insert(corpus.end(), part.bytes.begin(), part.bytes.end());
  if (!dump.empty()) std::ofstream(dump, std::ios::binary).write(reinterpret_cast<const char*>(corpus.data()), static_cast<std::streamsize>(corpus.size()));
  std::printf("corpus: %.1f MB (", corpus.size() / 1e6);
  for (std::size_t i = 0; i < parts.size(); ++i)
    std::printf("%s%s %.1f MB", i ? ", " : "", parts[i].name.c_str(), parts[i].bytes.size() / 1e6);
  std::printf(")\n");
  const int repeats = quick ? 1 : 3;

  struct Row {
    lznt1::Level level;
    std::size_t size = 0;
    Timing one;   // on one thread
    Timing many;  // on `threads`
    std::vector<std::size_t> part_sizes;
    Bytes stream;
  };
  std::vector<Row> rows = {{lznt1::Level::Max}, {lznt1::Level::Default}, {lznt1::Level::Fast}};
  for (Row& row : rows) {
    const int runs = row.level == lznt1::Level::Max ? 1 : repeats;
    row.one = BestTime(runs, [&] { row.stream = lznt1::Compress(corpus.data(), corpus.size(), row.level, 1); });
    Bytes stream;
    row.many = BestTime(runs, [&] { stream = lznt1::Compress(corpus.data(), corpus.size(), row.level, threads); });
    if (stream != row.stream) {
      std::fprintf(stderr, "lznt1_bench: %s writes another stream on %u threads\n", lznt1::LevelName(row.level), threads);
      return 1;
    }
    row.size = row.stream.size();
    for (const Part& part : parts)
      row.part_sizes.push_back(lznt1::Compress(part.bytes.data(), part.bytes.size(), row.level).size());
  }
  const double optimal = static_cast<double>(rows[0].size);
  std::printf("%-8s %11s %7s %10s %24s %12s   per part (x optimal)\n", "level", "compressed", "ratio", "x optimal",
              "MB/s 1 thread cpu [wall]", threads == 1 ? "" : (std::to_string(threads) + " threads").c_str());
  for (const Row& row : rows) {
    std::printf("%-8s %11zu %7.4f %10.4f %15.1f [%6.1f] %12.1f  ", lznt1::LevelName(row.level), row.size,
                row.size / static_cast<double>(corpus.size()), row.size / optimal, MBps(corpus.size(), row.one.cpu),
                MBps(corpus.size(), row.one.wall), MBps(corpus.size(), row.many.wall));
    for (std::size_t i = 0; i < parts.size(); ++i)
      std::printf(" %s %.4f", parts[i].name.c_str(), row.part_sizes[i] / static_cast<double>(rows[0].part_sizes[i]));
    std::printf("\n");
  }

  Bytes copy(corpus.size());
  const Timing copy_time = BestTime(quick ? 3 : 10, [&] { std::memcpy(copy.data(), corpus.data(), corpus.size()); });
  Bytes out(corpus.size());
  for (const Row& row : {rows[0], rows[2]}) {
    for (unsigned n : {1u, threads}) {
      lznt1::DecodeResult result{};
      std::fill(out.begin(), out.end(), 0xA5);
      const Timing decode = BestTime(quick ? 3 : 10, [&] {
        result = lznt1::Decompress(row.stream.data(), row.stream.size(), out.data(), out.size(), n);
      });
      if (result.status != lznt1::DecodeStatus::Ok || result.size != corpus.size() ||
          std::memcmp(out.data(), corpus.data(), corpus.size()) != 0) {
        std::fprintf(stderr, "lznt1_bench: the %s stream does not decode to the corpus on %u threads\n",
                     lznt1::LevelName(row.level), n);
        return 1;
      }
      if (n == 1) {
        std::printf("decoder  %9.1f MB/s cpu [%6.1f wall] on the %s stream, 1 thread; memcpy %.1f MB/s, %.3f of it\n",
                    MBps(corpus.size(), decode.cpu), MBps(corpus.size(), decode.wall), lznt1::LevelName(row.level),
                    MBps(corpus.size(), copy_time.cpu), copy_time.cpu / decode.cpu);
      } else {
        std::printf("decoder  %9.1f MB/s wall on the %s stream, %u threads\n", MBps(corpus.size(), decode.wall),
                    lznt1::LevelName(row.level), n);
      }
      if (threads == 1) break;
    }
  }
  return 0;
}
