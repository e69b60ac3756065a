#include "bootstrapper/clean/registry_root.h"

namespace boot {
namespace {

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool StartsWithIgnoringAsciiCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

}  // namespace

RegistryRootMatch MatchRegistryRoot(std::u16string_view path) {
  for (const RegistryRootName& row : kRegistryRootNames) {
    if (StartsWithIgnoringAsciiCase(path, row.name)) {
      return {true, row.root, row.name.size() + 1};
    }
  }
  return {};
}

}  // namespace boot
