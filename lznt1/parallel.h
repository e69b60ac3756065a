// Spreading independent chunks over threads. Internal to the library.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace lznt1 {

// Chunks handed to a thread at a time: 256 KiB of content, enough to make the hand-over cost
// nothing and few enough that two threads finish close together.
inline constexpr std::size_t kChunksPerBlock = 64;

// How many threads to use for `blocks` units of work when `threads` were asked for (0: one per
// processor).
inline unsigned WorkerCount(unsigned threads, std::size_t blocks) {
  // Asked once: the C library reads the count from the system on every call (on Linux, a file
  // under /sys), which cost more than compressing a small file.
  static const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  if (threads == 0) threads = processors;
  return static_cast<unsigned>(std::min<std::size_t>(threads, blocks));
}

// Calls job(worker, block) once for every block in [0, blocks), on up to `workers` threads
// counting the caller's own, worker in [0, workers). Blocks are handed out in order as threads
// come free. A thread the system refuses to start just leaves its share to the others; `job`
// must not throw.
template <typename Job>
void RunBlocks(std::size_t blocks, unsigned workers, const Job& job) {
  std::atomic<std::size_t> next{0};
  const auto work = [&](unsigned worker) {
    for (std::size_t block; (block = next.fetch_add(1, std::memory_order_relaxed)) < blocks;) job(worker, block);
  };
  std::vector<std::thread> threads;
  threads.reserve(workers);
  for (unsigned worker = 1; worker < workers; ++worker) {
    try {
      threads.emplace_back(work, worker);
    } catch (const std::system_error&) {
      break;
    }
  }
  work(0);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace lznt1
