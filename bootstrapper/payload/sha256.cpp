#include "bootstrapper/payload/sha256.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define BOOT_SHA_NI 1
#endif

namespace boot {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void HashBlock(std::array<std::uint32_t, 8>& h, const std::uint8_t* p) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<std::uint32_t>(p[4 * i]) << 24 | static_cast<std::uint32_t>(p[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 =
        k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += k;
}

using BlockFunction = void (*)(std::array<std::uint32_t, 8>& h, const std::uint8_t* p,
                               std::size_t blocks);

void HashBlocksPortable(std::array<std::uint32_t, 8>& h, const std::uint8_t* p,
                        std::size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) HashBlock(h, p);
}

#ifdef BOOT_SHA_NI
// The same compression with the processor's SHA extensions (four rounds per two instructions);
// several times faster than the portable code, and the packer hashes every file twice.
__attribute__((target("sha,sse4.1"))) void HashBlocksShaNi(std::array<std::uint32_t, 8>& h,
                                                            const std::uint8_t* p,
                                                            std::size_t blocks) {
  // Big-endian words within each 16-byte lane.
  const __m128i byte_order = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  // The instructions keep the state as ABEF and CDGH.
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0])), 0xB1);
  __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4])), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i w[4];  // message words 4g..4g+3 of group g live in w[g % 4]
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)),
                                byte_order);
      } else {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
        const int j = g - 4;
        const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w[j % 4], w[(j + 1) % 4]),
                                              _mm_alignr_epi8(w[(j + 3) % 4], w[(j + 2) % 4], 4));
        w[g % 4] = _mm_sha256msg2_epu32(partial, w[(j + 3) % 4]);
      }
      __m128i message = _mm_add_epi32(
          w[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), _mm_alignr_epi8(dchg, feba, 8));
}

bool HasShaExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29));
}
#endif

BlockFunction FastestBlockFunction() {
#ifdef BOOT_SHA_NI
  static const BlockFunction chosen = HasShaExtensions() ? HashBlocksShaNi : HashBlocksPortable;
  return chosen;
#else
  return HashBlocksPortable;
#endif
}

void Update(Sha256State& state, std::span<const std::uint8_t> bytes, BlockFunction blocks) {
  std::size_t held = static_cast<std::size_t>(state.length % 64);
  state.length += bytes.size();
  std::size_t i = 0;
  if (held > 0) {
    for (; i < bytes.size() && held < 64; ++i) state.block[held++] = bytes[i];
    if (held < 64) return;
    blocks(state.h, state.block.data(), 1);
  }
  const std::size_t whole = (bytes.size() - i) / 64;
  blocks(state.h, bytes.data() + i, whole);
  i += whole * 64;
  for (std::size_t j = 0; i < bytes.size(); ++i, ++j) state.block[j] = bytes[i];
}

Sha256Digest Final(Sha256State& state, BlockFunction blocks) {
  const std::uint64_t bits = state.length * 8;
  // A one bit, zeros up to 56 bytes into a block, then the message length in bits (big-endian).
  std::uint8_t tail[72] = {0x80};
  const std::size_t held = static_cast<std::size_t>(state.length % 64);
  const std::size_t zeros = (held < 56 ? 56 : 120) - held;
  for (int i = 0; i < 8; ++i) tail[zeros + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  Update(state, std::span<const std::uint8_t>(tail, zeros + 8), blocks);
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(state.h[i] >> (24 - 8 * j));
  }
  return digest;
}

Sha256Digest DigestWith(std::span<const std::uint8_t> bytes, BlockFunction blocks) {
  Sha256State state;
  Sha256Init(state);
  Update(state, bytes, blocks);
  return Final(state, blocks);
}

}  // namespace

void Sha256Init(Sha256State& state) {
  state = Sha256State{};
  state.h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
}

void Sha256Update(Sha256State& state, std::span<const std::uint8_t> bytes) {
  Update(state, bytes, FastestBlockFunction());
}

Sha256Digest Sha256Final(Sha256State& state) { return Final(state, FastestBlockFunction()); }

Sha256Digest Sha256Of(std::span<const std::uint8_t> bytes) {
  return DigestWith(bytes, FastestBlockFunction());
}

Sha256Digest Sha256OfPortable(std::span<const std::uint8_t> bytes) {
  return DigestWith(bytes, HashBlocksPortable);
}

std::string Sha256Hex(const Sha256Digest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : digest) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace boot
