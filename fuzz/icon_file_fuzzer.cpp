// The .ico reader on arbitrary bytes: it never crashes or reads out of bounds, and every icon it
// accepts gives images that are parts of the file, and a group that names each of them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "bootpack/stub_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<boot::IconImage> images;
  std::string why;
  if (!boot::ParseIconFile(std::span<const std::uint8_t>(data, size), images, why)) {
    if (why.empty()) std::abort();
    return 0;
  }
  if (images.empty()) std::abort();
  const std::span<const std::uint8_t> file(data, size);
  for (const boot::IconImage& image : images) {
    if (image.data.empty() || std::search(file.begin(), file.end(), image.data.begin(),
                                          image.data.end()) == file.end()) {
      std::abort();
    }
  }
  std::vector<boot::PeResource> resources;
  boot::ReplaceIcon(resources, images);
  if (resources.size() != images.size() + 1) std::abort();
  return 0;
}
