/* Byte helpers shared by the two stream decoders. */
#ifndef OSTREL_STREAM_BUFFER_H
#define OSTREL_STREAM_BUFFER_H

#include <string.h>

#include "zorv/buffer.h"

inline uint32_t read_be32(const unsigned char *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
         (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint32_t read_le32(const unsigned char *p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
         (uint32_t{p[3]} << 24);
}
inline uint64_t read_le64(const unsigned char *p) {
  return uint64_t{read_le32(p)} | (uint64_t{read_le32(p + 4)} << 32);
}

/* Takes from a chunk of n bytes those that the record's decoder is still
 * passing over (skip_pending); returns how many that was. */
inline size_t pass_over(uint64_t *skip_pending, size_t n) {
  size_t take = *skip_pending < n ? static_cast<size_t>(*skip_pending) : n;
  *skip_pending -= take;
  return take;
}

/* Drops the first `consumed` bytes of buf, moving the rest to its front.
 * Done once per callback, after every complete record has been decoded, so
 * a chunk of many small records costs one move, not one per record. */
inline void discard_front(zorv_dyn_buffer_t *buf, size_t consumed) {
  if (consumed == 0) return;
  size_t used = zorv_dyn_buffer_used(buf);
  size_t rest = used - consumed;
  char *data = zorv_dyn_buffer_data(buf);
  // reset writes a NUL at the front; move the bytes afterwards.
  zorv_dyn_buffer_reset(buf);
  if (rest > 0) {
    memmove(data, data + consumed, rest);
    zorv_dyn_buffer_advance(buf, rest);
  }
}

#endif
