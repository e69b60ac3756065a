// bootstrapper.exe: the update stub. Everything happens in RunUpdate; this file only makes the
// process safe to run from a download folder, keeps the exit code at 0, and makes sure that a
// run which ends in a way nobody planned still leaves its last line in the log.
#include <windows.h>

#include <exception>
#include <new>

#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/driver/run_update.h"

namespace {

// A fault no code expected (an access violation, a stack overflow), on any thread.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  wchar_t line[64];
  ::wsprintfW(line, L"Unexpected failure 0x%08X, exit",
              static_cast<unsigned>(exception->ExceptionRecord->ExceptionCode));
  boot::WriteFatalLog(reinterpret_cast<const char16_t*>(line));
  return EXCEPTION_EXECUTE_HANDLER;  // ends the process with the fault's code
}

[[noreturn]] void OnTerminate() {
  boot::WriteFatalLog(u"Unexpected failure, exit");
  ::ExitProcess(3);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Only System32 may satisfy a DLL load from here on: the shell functions used later load
  // further DLLs, and a planted copy beside the stub (say, in Downloads) must not be one of them.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetUnhandledExceptionFilter(OnUnhandledException);
  std::set_terminate(OnTerminate);
  try {
    return boot::RunUpdate(instance);
  } catch (const std::bad_alloc&) {
    // The unwinding has let go of what the run held, but the log line is written without the
    // heap all the same.
    boot::WriteFatalLog(u"Out of memory, exit");
  } catch (...) {
    boot::WriteFatalLog(u"Unexpected failure, exit");
  }
  return 0;
}
