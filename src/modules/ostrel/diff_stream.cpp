/* read_diff: the diff stream, self-contained messages of one element each.
 *
 *   message := L (4, big-endian: bytes that follow)
 *              N (4, big-endian: name length, 36)
 *              check UUID (36) | element info (16) | tag text (len)
 *
 * A well-formed message has L = len + 56. A bad message is skipped; only a
 * check's message announcing a tag longer than any tag refuses the stream:
 * such a node is not sending tags, and nothing it sends can be trusted. */
#include <string.h>

#include "modules/ostrel/internal.h"
#include "modules/ostrel/stream_buffer.h"

static constexpr size_t kFixedPart = 60;  // L, N, name and info
// L of the longest well-formed message: N, name, info and the longest tag.
static constexpr uint64_t kMaxBody = 56 + uint64_t{kMaxTagLen};

/* The loop of decode_messages. */
static size_t decode_into(cluster *c, const char *data, size_t n,
                          bool *accepted, store_batch *batch) {
  size_t off = 0;
  while (n - off >= 4) {
    const auto *msg = reinterpret_cast<const unsigned char *>(data + off);
    const size_t avail = n - off;
    const uint64_t len_field = read_be32(msg);
    if (len_field > kMaxBody) {
      // Decided from the header, before the body is buffered: a check's
      // message this long would carry a tag longer than any tag.
      if (avail < 8) break;
      if (read_be32(msg + 4) == 36) {
        store_batch_flush(batch);
        zorvL(errorls,
              "[%d] ostrel diff message of %llu bytes refused: longer than "
              "any tag allows\n",
              c->cluster_id, static_cast<unsigned long long>(len_field));
        *accepted = false;
        return off;
      }
      // Not a check's message: skipped, its bytes passed over as they come.
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
static size_t decode_messages(cluster *c, const char *data, size_t n,
                              bool *accepted) {
  store_batch batch;
  batch.pushed = 0;
  batch.applied = 0;
  size_t off = decode_into(c, data, n, accepted, &batch);
  store_batch_flush(&batch);
  return off;
}

/* The bytes the message at data needs in all: its length field, then its
 * name length when it announces more than any tag, else the whole of it. */
static size_t message_size(const char *data, size_t n) {
  if (n < 4) return 4;
  const uint64_t len_field = read_be32(reinterpret_cast<const unsigned char *>(data));
  return len_field > kMaxBody ? 8 : static_cast<size_t>(len_field) + 4;
}

size_t read_diff(char *bytes, size_t size, size_t count, void *record) {
  cluster *c = static_cast<cluster *>(record);
  const size_t m = size * count;
  const bool ok = decode_chunk(
      &c->buffer, &c->skip_pending, bytes, m, message_size,
      [c](const char *data, size_t n, bool *accepted) {
        return decode_messages(c, data, n, accepted);
      });
  return ok ? m : 0;
}
