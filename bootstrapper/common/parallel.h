// Spreading independent pieces of work over threads. Win32 only.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace boot {

// The processors this process may use (at most 64).
inline unsigned ProcessorCount() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return std::clamp<unsigned>(info.dwNumberOfProcessors, 1, 64);
}

// The threads ParallelFor runs `count` jobs on when asked for `threads` (0: one per processor):
// never more than there are jobs, and at least one.
inline unsigned WorkerCount(std::size_t count, unsigned threads = 0) {
  const unsigned wanted = threads == 0 ? ProcessorCount() : std::min(threads, 64u);
  return static_cast<unsigned>(std::clamp<std::size_t>(count, 1, wanted));
}

// Calls job(index) for every index in [0, count) on up to `threads` threads (0: one per
// processor), the caller's included, and returns when all are done. A job that takes a second
// argument also gets the number of the thread running it, below WorkerCount(count, threads), 0
// being the caller's: a place for what one thread keeps from one index to the next. A thread
// the system refuses to start leaves its share to the others. `job` must not throw.
template <typename Job>
void ParallelFor(std::size_t count, const Job& job, unsigned threads = 0) {
  struct Shared {
    const Job* job;
    std::size_t count;
    volatile LONG64 next;
    static void Work(Shared* shared, unsigned worker) {
      for (;;) {
        const auto index = static_cast<std::size_t>(::InterlockedIncrement64(&shared->next) - 1);
        if (index >= shared->count) return;
        if constexpr (std::is_invocable_v<const Job&, std::size_t, unsigned>) {
          (*shared->job)(index, worker);
        } else {
          (*shared->job)(index);
        }
      }
    }
  } shared{&job, count, 0};
  struct Start {
    Shared* shared;
    unsigned worker;
    static DWORD WINAPI Thread(void* start) {
      const Start* self = static_cast<const Start*>(start);
      Shared::Work(self->shared, self->worker);
      return 0;
    }
  } starts[64];
  HANDLE started[64];
  DWORD running = 0;
  const unsigned wanted = WorkerCount(count, threads);
  for (unsigned i = 1; i < wanted; ++i) {
    starts[running] = {&shared, running + 1};
    HANDLE thread = ::CreateThread(nullptr, 0, &Start::Thread, &starts[running], 0, nullptr);
    if (thread == nullptr) break;
    started[running++] = thread;
  }
  Shared::Work(&shared, 0);
  for (DWORD i = 0; i < running; ++i) {
    ::WaitForSingleObject(started[i], INFINITE);
    ::CloseHandle(started[i]);
  }
}

}  // namespace boot
