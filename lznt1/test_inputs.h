// Inputs for the codec's tests: generated data of every kind a payload holds, at sizes around
// the chunk boundaries, and real PE files when this machine has them. Test-only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lznt1::testutil {

using Bytes = std::vector<std::uint8_t>;

struct TestInput {
  std::string name;
  Bytes bytes;
};

// Runs, random bytes, text, sparse records and mixtures, from 1 byte to several chunks
// (including 4095, 4096 and 4097 bytes). Deterministic.
std::vector<TestInput> GeneratedInputs();

// `size` bytes of the generated inputs one after another (repeated as often as needed): every
// kind of data, over enough chunks for several blocks of work when `size` is large.
Bytes Mixture(std::size_t size);

// PE files from the Wine and MinGW packages that exist here (possibly none), each cut to at
// most `max_size` bytes. On Windows (under Wine) the Unix paths are read through drive Z:.
std::vector<TestInput> PeSamples(std::size_t max_size);

// Reads a whole file; empty when it is missing or unreadable.
Bytes ReadFile(const std::string& path);

}  // namespace lznt1::testutil
