// Reading a big update manifest: the stub's own reader (boot::ReadUpdateManifest) on the
// manifest resource of a packed update exe, next to cJSON parsing the same text alone (the
// floor: the reader parses it with cJSON and then walks the tree once). Prints figures only.
//
// usage: manifest_bench UPDATE.exe
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "bootpack/file_io.h"
#include "bootpack/pe_image.h"
#include "bootstrapper/manifest/manifest.h"
#include "bootstrapper/manifest/update_rules.h"
#include "cJSON.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of `runs` timings of `job`, in seconds.
template <typename Job>
double BestOf(int runs, const Job& job) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    job();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: manifest_bench UPDATE.exe\n");
    return 2;
  }
  std::vector<std::uint8_t> bytes;
  std::vector<boot::PeResource> resources;
  boot::PeImage image;
  std::string why;
  if (!boot::ReadWholeFile(argv[1], bytes, why) || !boot::ParsePeImage(std::move(bytes), image, why) ||
      !boot::ReadPeResources(image, resources, why)) {
    std::fprintf(stderr, "manifest_bench: %s: %s\n", argv[1], why.c_str());
    return 1;
  }
  const boot::PeResource* manifest =
      boot::FindPeResource(resources, boot::kManifestResourceType, boot::kManifestResourceName);
  if (manifest == nullptr) {
    std::fprintf(stderr, "manifest_bench: %s: no manifest resource\n", argv[1]);
    return 1;
  }
  const std::string text(manifest->data.begin(), manifest->data.end());

  std::size_t cleans = 0, updates = 0;
  bool valid = false;
  const double read = BestOf(3, [&] {
    const boot::UpdateManifest m = boot::ReadUpdateManifest(text);
    valid = m.valid;
    cleans = m.cleans.size();
    updates = m.updates.size();
  });
  const double parse = BestOf(3, [&] { cJSON_Delete(cJSON_ParseWithLength(text.data(), text.size())); });
  if (!valid) {
    std::fprintf(stderr, "manifest_bench: %s: the stub's reader refuses the manifest\n", argv[1]);
    return 1;
  }
  std::printf("  stub reader: %zu cleans + %zu updates, %.1f MiB of JSON: %.3f s (cJSON parse alone %.3f s)\n",
              cleans, updates, static_cast<double>(text.size()) / 1048576.0, read, parse);
  return 0;
}
