#include "lznt1/test_inputs.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

namespace lznt1::testutil {

Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::vector<TestInput> GeneratedInputs() {
  std::mt19937 rng(2024);
  std::vector<TestInput> inputs;
  const std::size_t sizes[] = {1, 2, 3, 17, 4095, 4096, 4097, 3 * 4096 + 1000, 9 * 4096};
  for (std::size_t size : sizes) {
    const std::string at = "/" + std::to_string(size);
    inputs.push_back({"zeros" + at, Bytes(size, 0)});
    Bytes run(size);
    for (std::size_t i = 0; i < size; ++i) run[i] = static_cast<std::uint8_t>(i / 1000 % 2 ? 0xAB : 0x00);
    inputs.push_back({"runs" + at, run});
    Bytes random(size);
    for (auto& b : random) b = static_cast<std::uint8_t>(rng());
    inputs.push_back({"random" + at, random});
    Bytes text;
    static const char* const kWords[] = {"chunk ", "header ", "token ", "offset ", "length ", "the ",
                                         "of ", "a ", "stream\n", "decode ", "4096 ", "LZNT1 "};
    while (text.size() < size) {
      const std::string word = kWords[rng() % std::size(kWords)];
      text.insert(text.end(), word.begin(), word.end());
    }
    text.resize(size);
    inputs.push_back({"text" + at, text});
    Bytes sparse(size);
    for (std::size_t i = 0; i < size; ++i) sparse[i] = i % 16 < 2 ? static_cast<std::uint8_t>(rng() % 5) : 0;
    inputs.push_back({"sparse" + at, sparse});
    Bytes periodic(size);
    for (std::size_t i = 0; i < size; ++i) periodic[i] = static_cast<std::uint8_t>(i % 7 == 3 ? rng() : i % 3);
    inputs.push_back({"periodic" + at, periodic});
  }
  return inputs;
}

Bytes Mixture(std::size_t size) {
  const std::vector<TestInput> inputs = GeneratedInputs();
  Bytes out;
  while (out.size() < size)
    for (const TestInput& input : inputs) out.insert(out.end(), input.bytes.begin(), input.bytes.end());
  out.resize(size);
  return out;
}

std::vector<TestInput> PeSamples(std::size_t max_size) {
  static const char* const kPaths[] = {
      "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll",
      "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/comctl32.dll",
      "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe",
      "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/msvcrt.dll",
      "/usr/x86_64-w64-mingw32/lib/zlib1.dll",
      "/usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll",
      "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll",
  };
  std::vector<TestInput> samples;
  for (const char* unix_path : kPaths) {
#ifdef _WIN32
    std::string path = std::string("Z:") + unix_path;
    std::replace(path.begin(), path.end(), '/', '\\');
#else
    const std::string path = unix_path;
#endif
    Bytes bytes = ReadFile(path);
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') continue;
    if (bytes.size() > max_size) bytes.resize(max_size);
    samples.push_back({unix_path, std::move(bytes)});
  }
  return samples;
}

}  // namespace lznt1::testutil
