// bootpack's entry point: the arguments as UTF-8, then everything happens in RunBootpack.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "bootpack/cli.h"
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

int Run(const std::vector<std::string>& args) {
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
