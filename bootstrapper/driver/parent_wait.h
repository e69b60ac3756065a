// The wait for the application that started the update: its files stay in use until it exits.
// Win32 only.
#pragma once

#include <cstdint>

namespace boot {

// Writes "Make sure parent process " + pid + " to exit", then returns once no process with
// that id is listed, looking at the process list once a second with no time limit. A process
// list that cannot be read counts as "gone". An id equal to this process's own is not waited
// for (it would never end). Only the id is compared, so an unrelated process that reuses it
// keeps the wait going.
void WaitForParentExit(std::uint32_t parent_process_id);

}  // namespace boot
