// Which predefined registry root a clean path starts with. Portable: the Win32 cleaner maps the
// result to the HKEY.
#pragma once

#include <cstddef>
#include <string_view>

#include "bootstrapper/manifest/update_rules.h"

namespace boot {

struct RegistryRootMatch {
  bool found = false;
  RegistryRoot root = RegistryRoot::LocalMachine;
  std::size_t subkey_start = 0;  // the root name's length plus one separator character
};

// Compares the beginning of `path` (ASCII letters case-insensitively) with the four root names of
// kRegistryRootNames ("HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASS_ROOT",
// "HKEY_CURRENT_CONFIG"), in that order, and returns the first that matches. The character after
// the name is the separator and is not examined. `found` is false when nothing matches.
RegistryRootMatch MatchRegistryRoot(std::u16string_view path);

}  // namespace boot
