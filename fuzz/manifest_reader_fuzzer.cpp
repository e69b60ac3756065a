// The manifest reader on arbitrary bytes: never crashes or reads out of bounds, and whatever it
// accepts obeys the rules the rest of the stub relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bootstrapper/manifest/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const boot::UpdateManifest m =
      boot::ReadUpdateManifest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!m.valid) {
    if (!m.version.empty() || !m.launcher.empty() || !m.cleans.empty() || !m.updates.empty()) {
      std::abort();  // an invalid manifest must come back empty
    }
    return 0;
  }
  if (m.updates.empty()) std::abort();
  for (const auto& c : m.cleans) {
    if (c.path.empty() || static_cast<int>(c.kind) < 0 || static_cast<int>(c.kind) > 2) std::abort();
  }
  for (const auto& u : m.updates) {
    if (u.path.empty() || !u.payload.empty() || u.size < INT32_MIN || u.size > INT32_MAX) std::abort();
  }
  return 0;
}
