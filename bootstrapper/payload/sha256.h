// SHA-256 (FIPS 180-4): the digest the manifest carries for every file, so the stub can check
// what it decoded and the packer can check what it wrote. Portable.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "bootstrapper/manifest/manifest.h"  // Sha256Digest

namespace boot {

// A digest in progress: start with Sha256Init, feed it with Sha256Update, end with Sha256Final.
struct Sha256State {
  std::array<std::uint32_t, 8> h{};
  std::array<std::uint8_t, 64> block{};  // bytes not yet hashed: the first `length % 64`
  std::uint64_t length = 0;  // bytes fed so far
};

void Sha256Init(Sha256State& state);
void Sha256Update(Sha256State& state, std::span<const std::uint8_t> bytes);
// The digest of everything fed; `state` must be initialised again before it is reused.
Sha256Digest Sha256Final(Sha256State& state);

// The digest of `bytes` in one call. Where the processor has SHA extensions (x86-64), they do
// the work; the digest is the same either way.
Sha256Digest Sha256Of(std::span<const std::uint8_t> bytes);

// The same digest from the portable code alone, whatever the processor: for tests that check
// the two ways against each other.
Sha256Digest Sha256OfPortable(std::span<const std::uint8_t> bytes);

// 64 lowercase hex digits, as the manifest writes a digest.
std::string Sha256Hex(const Sha256Digest& digest);

}  // namespace boot
