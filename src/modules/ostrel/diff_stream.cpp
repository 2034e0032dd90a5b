/* read_diff: the diff stream, self-contained messages of one element each.
 *
 *   message := L (4, big-endian: bytes that follow)
 *              N (4, big-endian: name length, 36)
 *              check UUID (36) | element info (16) | tag text (len)
 *
 * A well-formed message has L = len + 56. A bad message is skipped, and so
 * is a check's element whose tag is longer than max_tag_bytes: its bytes
 * are passed over as they arrive, never buffered. No message stops the
 * pull. */
#include <string.h>

#include "modules/ostrel/internal.h"
#include "modules/ostrel/stream_buffer.h"

static constexpr size_t kFixedPart = 60;  // L, N, name and info

/* L of the longest message that is buffered whole: N, name, info and the
 * longest tag kept. A longer one is decided from its fixed part. */
static uint64_t max_buffered_body() { return 56 + uint64_t{max_tag_bytes}; }

/* The loop of decode_messages. */
static size_t decode_into(cluster *c, const char *data, size_t n,
                          store_batch *batch) {
  size_t off = 0;
  while (n - off >= 4) {
    const auto *msg = reinterpret_cast<const unsigned char *>(data + off);
    const size_t avail = n - off;
    const uint64_t len_field = read_be32(msg);
    if (len_field > max_buffered_body()) {
      // Decided from the fixed part (L > 56 here, so it lies inside the
      // message) and passed over as it comes: a tag longer than any kept,
      // a malformed message, or a message of another kind.
      if (avail < kFixedPart) break;
      if (read_be32(msg + 4) == 36) {
        store_batch_flush(batch);
        const uint32_t tag_len = read_le32(msg + 52) >> 1;
        if (len_field == uint64_t{tag_len} + 56) {
          char name[37];
          memcpy(name, msg + 8, 36);
          name[36] = '\0';
          note_oversized(c, name, tag_len);
        } else {
          zorvL(errorls, "[%d] ostrel malformed diff message\n", c->cluster_id);
        }
      }
      const uint64_t whole = len_field + 4;
      const uint64_t take = avail < whole ? avail : whole;
      c->skip_pending = whole - take;
      off += take;
      continue;
    }
    if (avail < len_field + 4) break;  // completed by a later call

    // The fixed part is read only when it lies inside the bytes at hand.
    // A message with an empty tag text (L = 56) ends exactly at 60 bytes;
    // it is complete, so it is taken even when nothing follows it yet.
    const bool fixed_readable =
        avail > kFixedPart || (avail == kFixedPart && len_field >= 56);
    if (avail >= 8 && read_be32(msg + 4) == 36 && fixed_readable) {
      // The check's name ends at its first NUL, as a C string would.
      const char *name = reinterpret_cast<const char *>(msg + 8);
      const void *nul = memchr(name, '\0', 36);
      const uint32_t name_len =
          nul ? static_cast<uint32_t>(static_cast<const char *>(nul) - name) : 36;
      setcrdt_alter_entry_t entry;
      entry.info.seq = read_le64(msg + 44);
      entry.info.word = read_le32(msg + 52);
      entry.info.tag_shape = 0;
      if (len_field == uint64_t{entry.info.len} + 56) {
        entry.value = reinterpret_cast<const char *>(msg + kFixedPart);
        store_batch_push(batch, name, name_len, &entry);
        c->elements_merged++;
      } else {
        store_batch_flush(batch);
        zorvL(errorls, "[%d] ostrel malformed diff message\n", c->cluster_id);
      }
    }
    off += 4 + len_field;
  }
  return off;
}

/* Decodes the complete messages of data[0, n); returns the bytes taken.
 * Messages go to the store through a batch that points into data, so it is
 * flushed before anything is logged (a log line follows the stores of the
 * messages before it) and before returning (data is then given back). */
static size_t decode_messages(cluster *c, const char *data, size_t n) {
  store_batch batch;
  batch.pushed = 0;
  batch.applied = 0;
  size_t off = decode_into(c, data, n, &batch);
  store_batch_flush(&batch);
  return off;
}

/* The bytes the message at data needs in all: its length field, then its
 * fixed part when it is longer than any message kept whole, else the whole
 * of it. */
static size_t message_size(const char *data, size_t n) {
  if (n < 4) return 4;
  const uint64_t len_field = read_be32(reinterpret_cast<const unsigned char *>(data));
  return len_field > max_buffered_body() ? kFixedPart
                                         : static_cast<size_t>(len_field) + 4;
}

size_t read_diff(char *bytes, size_t size, size_t count, void *record) {
  cluster *c = static_cast<cluster *>(record);
  const size_t m = size * count;
  // No message refuses the stream.
  decode_chunk(&c->buffer, &c->skip_pending, bytes, m, message_size,
               [c](const char *data, size_t n, bool *) {
                 return decode_messages(c, data, n);
               });
  return m;
}
