#include "bootstrapper/install/install_path.h"

#include <algorithm>

namespace boot {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

bool IsAbsoluteWindowsPath(std::u16string_view path) {
  if (path.size() >= 3 && path[1] == u':' && IsSeparator(path[2])) {
    const char16_t drive = static_cast<char16_t>(path[0] | 0x20);
    return drive >= u'a' && drive <= u'z';
  }
  return path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2]);
}

void NormalizeSlashes(std::u16string& path) { std::replace(path.begin(), path.end(), u'/', u'\\'); }

std::u16string JoinInstallPath(std::u16string_view base, std::u16string_view relative) {
  if (base.empty()) {
    // With a base, a leading separator of `relative` is the join's separator; without one it
    // would make the result start at the root of the current drive (or, doubled, name a UNC
    // share), so it is dropped and the result stays relative to the current directory.
    while (!relative.empty() && IsSeparator(relative.front())) relative.remove_prefix(1);
  }
  std::u16string joined;
  joined.reserve(base.size() + 1 + relative.size());
  joined.append(base);
  const bool separated = base.empty() || IsSeparator(base.back()) ||
                         (!relative.empty() && IsSeparator(relative.front()));
  if (!separated) joined.push_back(u'\\');
  joined.append(relative);
  NormalizeSlashes(joined);
  return joined;
}

}  // namespace boot
