// The PE resource reader on arbitrary bytes: it never crashes or reads out of bounds, and every
// tree it accepts, written back by the resource writer, reads back identically from a valid
// image with a correct checksum.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bootpack/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  boot::PeImage image;
  std::string error;
  if (!boot::ParsePeImage(std::vector<std::uint8_t>(data, data + size), image, error)) return 0;
  std::vector<boot::PeResource> resources;
  if (!boot::ReadPeResources(image, resources, error)) return 0;

  std::vector<std::uint8_t> out;
  boot::PeWriteReport report;
  if (!boot::WritePeResources(image, resources, out, report, error)) return 0;
  boot::PeImage written;
  std::vector<boot::PeResource> again;
  if (!boot::ParsePeImage(out, written, error) || !boot::ReadPeResources(written, again, error)) {
    std::abort();  // the writer produced something its own reader refuses
  }
  if (boot::ComputePeChecksum(written.bytes, written.optional_header_offset + 64) !=
      written.checksum) {
    std::abort();
  }
  if (again.size() != resources.size()) std::abort();
  for (std::size_t i = 0; i < again.size(); ++i) {
    const boot::PeResource& a = again[i];
    const boot::PeResource& b = resources[i];
    if (!(a.type == b.type) || !(a.name == b.name) || a.language != b.language ||
        a.codepage != b.codepage || a.data != b.data) {
      std::abort();
    }
  }
  return 0;
}
