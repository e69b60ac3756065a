// The version-information rewrite on arbitrary bytes as the stub's VS_VERSIONINFO: it never
// crashes or reads out of bounds, and what it writes is a tree it reads back and rewrites to the
// same bytes (so re-packing an update exe changes nothing).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "bootpack/stub_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  boot::PackageIdentity identity;
  identity.product = "Demo";
  identity.copyright = "(c) Example";
  bool rebuilt = false;
  const std::vector<std::uint8_t> once = boot::RewriteVersionInfo(
      std::span<const std::uint8_t>(data, size), "1.2.3", identity, rebuilt);
  const std::vector<std::uint8_t> twice = boot::RewriteVersionInfo(once, "1.2.3", identity, rebuilt);
  if (rebuilt || twice != once) std::abort();
  return 0;
}
