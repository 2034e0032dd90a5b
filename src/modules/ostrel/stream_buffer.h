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

/* One libcurl chunk through a stream decoder. Whole records are decoded
 * straight from the chunk; only a record cut by the chunk's end is copied
 * into buf, and the next chunk first tops it up to exactly that record.
 *
 *   need(data, n): how many bytes the record at data needs in all, judged
 *     from the n bytes present (its header's size while the header is
 *     incomplete);
 *   decode(data, n, &ok): decodes the complete records at data, returns
 *     the bytes it took; ok false refuses the stream at the record where it
 *     stopped. It may set *skip for bytes to pass over as they arrive.
 *
 * False when refused; the refused record and what followed it in the chunk
 * are then left in buf. */
template <typename Need, typename Decode>
inline bool decode_chunk(zorv_dyn_buffer_t *buf, uint64_t *skip,
                         const char *bytes, size_t m, Need need,
                         Decode decode) {
  size_t pos = 0;
  for (;;) {
    pos += pass_over(skip, m - pos);
    if (pos == m) return true;
    bool ok = true;
    if (zorv_dyn_buffer_used(buf) > 0) {
      for (;;) {
        const size_t have = zorv_dyn_buffer_used(buf);
        const size_t want = need(zorv_dyn_buffer_data(buf), have);
        if (want <= have || pos == m) break;
        const size_t add = want - have < m - pos ? want - have : m - pos;
        zorv_dyn_buffer_add(buf, bytes + pos, add);
        pos += add;
      }
      const size_t took = decode(zorv_dyn_buffer_data(buf),
                                 zorv_dyn_buffer_used(buf), &ok);
      discard_front(buf, took);
      if (!ok) {
        zorv_dyn_buffer_add(buf, bytes + pos, m - pos);
        return false;
      }
      // Still incomplete: the chunk is used up.
      if (zorv_dyn_buffer_used(buf) > 0) return true;
      continue;
    }
    const size_t took = decode(bytes + pos, m - pos, &ok);
    pos += took;
    if (!ok || *skip == 0) {
      // The record cut by the chunk's end (or the refused one and the rest).
      if (pos < m) zorv_dyn_buffer_add(buf, bytes + pos, m - pos);
      return ok;
    }
  }
}

#endif
