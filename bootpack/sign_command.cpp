#include "bootpack/sign_command.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "bootpack/package.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace boot {

bool SubstituteSignFile(std::string_view command, std::string_view file, std::string& out,
                        std::string& why) {
  if (command.find(kSignFilePlaceholder) == std::string_view::npos) {
    why = "the signing command must name the file to sign as {file}";
    return false;
  }
  std::string quoted;
#ifdef _WIN32
  if (file.find_first_of("\"%!") != std::string_view::npos) {
    why = "the output path holds '\"', '%' or '!', which cmd.exe would not pass on as they are";
    return false;
  }
  quoted = "\"" + std::string(file) + "\"";
#else
  quoted = "'";
  for (char c : file) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
#endif
  out.clear();
  std::size_t at = 0;
  for (std::size_t found; (found = command.find(kSignFilePlaceholder, at)) != std::string_view::npos;
       at = found + kSignFilePlaceholder.size()) {
    out.append(command.substr(at, found - at));
    out += quoted;
  }
  out.append(command.substr(at));
  return true;
}

bool RunSignCommand(std::string_view command, const std::filesystem::path& file, std::string& why) {
  std::string line;
  if (!SubstituteSignFile(command, PathToUtf8(file), line, why)) return false;
#ifdef _WIN32
  // cmd.exe /s /c "LINE": /s takes everything between the outer quotes as it is.
  wchar_t shell[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(L"ComSpec", shell, MAX_PATH);
  const bool from_comspec = length > 0 && length < MAX_PATH;
  const std::wstring program = from_comspec ? std::wstring(shell, length) : L"cmd.exe";
  const std::u16string wide = Utf8ToUtf16(line);
  std::wstring arguments = L"\"" + program + L"\" /d /s /c \"" +
                           std::wstring(wide.begin(), wide.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  // Without ComSpec the command line names cmd.exe, and the system searches for it.
  if (!::CreateProcessW(from_comspec ? program.c_str() : nullptr, arguments.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
    why = "the signing command could not start (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  ::GetExitCodeProcess(process.hProcess, &status);
  ::CloseHandle(process.hProcess);
  if (status != 0) {
    why = "the signing command failed (exit status " + std::to_string(status) + ")";
    return false;
  }
  return true;
#else
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  std::string sh = "/bin/sh", dash_c = "-c";
  std::vector<char*> argv = {sh.data(), dash_c.data(), line.data(), nullptr};
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    why = std::string("the signing command could not start: ") + std::strerror(error);
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      why = std::string("lost the signing command: ") + std::strerror(errno);
      return false;
    }
  }
  if (WIFSIGNALED(status)) {
    why = "the signing command was killed by signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    why = "the signing command failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    return false;
  }
  return true;
#endif
}

}  // namespace boot
