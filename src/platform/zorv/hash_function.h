/* Inside libzorv only: the byte hash of the hash tables.
 *
 * A multiply-mix over 8-byte words (the 64x64->128 multiply folded to 64
 * bits): every input bit reaches every output bit in two rounds, short keys
 * cost a handful of cycles, and a 36-character UUID text takes four
 * multiplies. The seed is chosen at random per process so that keys that a
 * remote peer picks cannot be aimed at one probe sequence. */
#ifndef ZORV_HASH_FUNCTION_H
#define ZORV_HASH_FUNCTION_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorv::hash {

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t read64(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t read32(const unsigned char *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

/* Odd constants with well spread bits. */
constexpr uint64_t kP0 = 0xa0761d6478bd642full;
constexpr uint64_t kP1 = 0xe7037ed1a0b428dbull;
constexpr uint64_t kP2 = 0x8ebc6af09c88c6e3ull;

inline uint64_t hash_bytes(const void *data, size_t len, uint64_t seed) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  uint64_t h = seed ^ kP0;
  uint64_t a, b;
  if (len <= 16) {
    if (len >= 8) {
      a = read64(p);
      b = read64(p + len - 8);
    } else if (len >= 4) {
      a = read32(p);
      b = read32(p + len - 4);
    } else if (len > 0) {
      a = (uint64_t{p[0]} << 16) | (uint64_t{p[len >> 1]} << 8) | p[len - 1];
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    size_t left = len;
    while (left > 16) {
      h = mix(read64(p) ^ kP1, read64(p + 8) ^ h);
      p += 16;
      left -= 16;
    }
    // The last 16 bytes, overlapping what the loop already took.
    a = read64(p + left - 16);
    b = read64(p + left - 8);
  }
  return mix(kP2 ^ len, mix(a ^ kP1, b ^ h));
}

/* The process's seed, fixed at load time. */
extern const uint64_t g_seed;

/* The 32 bits a slot keeps. */
inline uint32_t hash32(const void *key, size_t len) {
  uint64_t h = hash_bytes(key, len, g_seed);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace zorv::hash

#endif
