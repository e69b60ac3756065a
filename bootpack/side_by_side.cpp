#include "bootpack/side_by_side.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace boot {

void ForEachSideBySide(std::size_t count, const std::function<bool(std::size_t)>& large,
                       const std::function<void(std::size_t, unsigned)>& job) {
  static const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  std::size_t i = 0;
  while (i < count) {
    if (processors == 1 || large(i)) {
      job(i++, 0);
      continue;
    }
    std::size_t end = i + 1;
    while (end < count && !large(end)) ++end;
    std::atomic<std::size_t> next{i};
    const auto work = [&] {
      for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < end;) job(k, 1);
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < processors && t < end - i; ++t) {
      try {
        helpers.emplace_back(work);
      } catch (...) {
        break;  // a thread the system refuses leaves its share to the others
      }
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    i = end;
  }
}

}  // namespace boot
