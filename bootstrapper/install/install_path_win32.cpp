// The run's own install directory, and manifest paths joined to it.
#include "bootstrapper/install/install_path.h"

#include <windows.h>

#include "bootstrapper/common/wide.h"

namespace boot {

std::u16string BaseDirectory;

std::u16string JoinInstallPath(std::u16string_view relative) {
  return JoinInstallPath(BaseDirectory, relative);
}

std::u16string FullInstallPath(const std::u16string& base, std::u16string_view relative) {
  const std::u16string joined = JoinInstallPath(base, relative);
  std::u16string full = joined;
  const DWORD needed = ::GetFullPathNameW(AsWide(joined), 0, nullptr, nullptr);
  if (needed != 0) {
    std::wstring buffer(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(AsWide(joined), needed, buffer.data(), nullptr);
    if (length != 0 && length < needed) full = ToU16(std::wstring_view(buffer.data(), length));
  }
  while (full.size() > 3 && full.back() == u'\\') full.pop_back();
  return full;
}

}  // namespace boot
