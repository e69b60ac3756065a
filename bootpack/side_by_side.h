// Work on many independent items (files to pack, payloads to check) on every processor:
// large items one after another, each spread over all processors by the codec, and runs of
// small ones side by side, one item per processor. Portable.
#pragma once

#include <cstddef>
#include <functional>

namespace boot {

// Calls job(i, threads) once for every i in [0, count), in order of i except that the items of
// a run of small ones (where `large(i)` is false) are taken in order by one thread per
// processor, the caller's among them; `threads` is then 1, and 0 (all processors) for a large
// item. Returns once every call has. `job` must not throw; several calls run at once.
void ForEachSideBySide(std::size_t count, const std::function<bool(std::size_t)>& large,
                       const std::function<void(std::size_t, unsigned)>& job);

}  // namespace boot
