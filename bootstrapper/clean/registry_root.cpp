#include "bootstrapper/clean/registry_root.h"

namespace boot {
namespace {

struct RootName {
  std::u16string_view name;
  RegistryRoot root;
};

constexpr RootName kRootNames[] = {
    {u"HKEY_LOCAL_MACHINE", RegistryRoot::LocalMachine},
    {u"HKEY_CURRENT_USER", RegistryRoot::CurrentUser},
    {u"HKEY_CLASS_ROOT", RegistryRoot::ClassesRoot},
    {u"HKEY_CURRENT_CONFIG", RegistryRoot::CurrentConfig},
};

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
  for (const RootName& row : kRootNames) {
    if (StartsWithIgnoringAsciiCase(path, row.name)) {
      return {true, row.root, row.name.size() + 1};
    }
  }
  return {};
}

}  // namespace boot
