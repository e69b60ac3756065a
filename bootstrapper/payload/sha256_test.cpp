#include "bootstrapper/payload/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace boot {
namespace {

// The FIPS 180-4 examples, hashed in one call and fed in uneven pieces across block boundaries.
TEST(Sha256Test, MatchesTheNistVectorsWholeAndInPieces) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [message, expected] : rows) {
    SCOPED_TRACE(message.substr(0, 20));
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    EXPECT_EQ(Sha256Hex(Sha256Of(bytes)), expected);
    EXPECT_EQ(Sha256Hex(Sha256OfPortable(bytes)), expected);
    Sha256State state;
    Sha256Init(state);
    for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece % 97 + 1) {
      Sha256Update(state, bytes.subspan(at, std::min(piece, bytes.size() - at)));
    }
    EXPECT_EQ(Sha256Hex(Sha256Final(state)), expected);
  }
}

// The processor's SHA instructions (where this machine has them) and the portable code agree on
// every length around the block and padding edges, and on every byte value.
TEST(Sha256Test, TheFastPathAgreesWithThePortableCode) {
  std::vector<std::uint8_t> bytes(4200);
  std::uint32_t state = 12345;
  for (std::uint8_t& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  for (std::size_t size = 0; size <= bytes.size(); size += size < 300 ? 1 : 61) {
    const std::span<const std::uint8_t> part(bytes.data(), size);
    ASSERT_EQ(Sha256Of(part), Sha256OfPortable(part)) << size;
  }
}

}  // namespace
}  // namespace boot
