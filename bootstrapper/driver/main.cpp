// bootstrapper.exe: the update stub. Everything happens in RunUpdate; this file only makes the
// process safe to run from a download folder and keeps the exit code at 0.
#include <windows.h>

#include "bootstrapper/driver/run_update.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Only System32 may satisfy a DLL load from here on: the shell functions used later load
  // further DLLs, and a planted copy beside the stub (say, in Downloads) must not be one of them.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  try {
    return boot::RunUpdate(instance);
  } catch (...) {
    // Out of memory: nothing sensible is left to do, and the exit code stays 0 on every path.
    return 0;
  }
}
