// bootpack's entry point: the arguments as UTF-8, then everything happens in RunBootpack.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

#include "bootpack/cli.h"
#include "bootpack/file_io.h"
#include "bootstrapper/manifest/manifest.h"

namespace {

// A progress line is for someone watching: both streams on a terminal (not a CI log, not a
// pipe into another program).
bool IsInteractive() {
#ifdef _WIN32
  return ::_isatty(::_fileno(stdout)) != 0 && ::_isatty(::_fileno(stderr)) != 0;
#else
  return ::isatty(::fileno(stdout)) != 0 && ::isatty(::fileno(stderr)) != 0;
#endif
}

#ifdef _WIN32
// Ctrl-C, Ctrl-Break and closing the console: the temporary file of a pack goes, then the
// process ends with STATUS_CONTROL_C_EXIT, the status the default handler gives. It ends at
// once: this handler runs on a thread of its own while the others may hold the C runtime's
// locks, which an orderly exit would wait for.
BOOL WINAPI OnConsoleControl(DWORD) {
  boot::RunInterruptCleanup();
  ::TerminateProcess(::GetCurrentProcess(), 0xC000013A);
  return TRUE;
}

void RemoveTemporaryFileOnInterrupt() { ::SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
#else
// SIGINT, SIGTERM, SIGHUP: the temporary file of a pack goes, then the signal is raised again
// with its default action (SA_RESETHAND; it arrives when the handler returns), so the process ends as killed by it and a shell sees
// the conventional status 128 + the signal. Only async-signal-safe calls.
extern "C" void OnTerminatingSignal(int signal) {
  boot::RunInterruptCleanup();
  ::raise(signal);
}

void RemoveTemporaryFileOnInterrupt() {
  struct sigaction action = {};
  action.sa_handler = OnTerminatingSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the parent set to be ignored (nohup, a background job) stays ignored.
    struct sigaction previous = {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}
#endif

int Run(const std::vector<std::string>& args) {
  RemoveTemporaryFileOnInterrupt();
  // The program edge: project code reports failures as results, so only allocation failure
  // arrives here as an exception.
  try {
    return boot::RunBootpack(args, std::cout, std::cerr, IsInteractive());
  } catch (...) {
    std::fputs("bootpack: out of memory\n", stderr);
    return boot::kExitFailed;
  }
}

}  // namespace

#ifdef _WIN32
// wmain: the narrow argv of a Windows program is in the ANSI code page and loses every
// character outside it; the wide one converts to UTF-8 without loss.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(boot::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
