// Byte-order helpers for the feed encoders. Record lengths and diff
// framing are big-endian; the element info inside them is little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace standin::wire {

inline void append_be32(std::string &out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(bytes, 4);
}

inline void append_le32(std::string &out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                         static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  out.append(bytes, 4);
}

inline void append_le64(std::string &out, uint64_t v) {
  append_le32(out, static_cast<uint32_t>(v));
  append_le32(out, static_cast<uint32_t>(v >> 32));
}

inline constexpr uint32_t kElementInfoSize = 16;

// seq (8 bytes LE); one LE word with the tombstone in bit 0 and the tag
// length in bits 1..31; 4 bytes of padding, sent as zeros.
inline void append_element_info(std::string &out, uint64_t seq, uint32_t len,
                                bool tombstone) {
  append_le64(out, seq);
  append_le32(out, len << 1 | (tombstone ? 1u : 0u));
  append_le32(out, 0);
}

}  // namespace standin::wire
