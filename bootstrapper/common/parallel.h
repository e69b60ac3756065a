// Spreading independent pieces of work over threads. Win32 only.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>

namespace boot {

// The processors this process may use (at most 64).
inline unsigned ProcessorCount() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return std::clamp<unsigned>(info.dwNumberOfProcessors, 1, 64);
}

// Calls job(index) for every index in [0, count) on up to `threads` threads (0: one per
// processor), the caller's included, and returns when all are done. A thread the system
// refuses to start leaves its share to the others. `job` must not throw.
template <typename Job>
void ParallelFor(std::size_t count, const Job& job, unsigned threads = 0) {
  struct Shared {
    const Job* job;
    std::size_t count;
    volatile LONG64 next;
    static void Work(Shared* shared) {
      for (;;) {
        const auto index = static_cast<std::size_t>(::InterlockedIncrement64(&shared->next) - 1);
        if (index >= shared->count) return;
        (*shared->job)(index);
      }
    }
    static DWORD WINAPI Thread(void* shared) {
      Work(static_cast<Shared*>(shared));
      return 0;
    }
  } shared{&job, count, 0};
  HANDLE started[64];
  DWORD running = 0;
  const std::size_t wanted =
      std::min<std::size_t>({threads == 0 ? ProcessorCount() : std::min(threads, 64u), count});
  for (std::size_t i = 1; i < wanted; ++i) {
    HANDLE thread = ::CreateThread(nullptr, 0, &Shared::Thread, &shared, 0, nullptr);
    if (thread == nullptr) break;
    started[running++] = thread;
  }
  Shared::Work(&shared);
  for (DWORD i = 0; i < running; ++i) {
    ::WaitForSingleObject(started[i], INFINITE);
    ::CloseHandle(started[i]);
  }
}

}  // namespace boot
