/* read_full: the full-state stream, a nesting of typed, length-prefixed
 * records (outer name, inner name, then per check a set name followed by
 * element info / element value pairs), checked by a small state machine
 * and merged into the store element by element.
 *
 *   record := type (1 byte, 0..4) | L (4 bytes, big-endian) | L bytes
 *
 * full_state is 255 before the first record, the type of the last accepted
 * record after it, and 254 once the stream was refused (final for the
 * pull). */
#include <stdlib.h>
#include <string.h>

#include "modules/ostrel/internal.h"
#include "modules/ostrel/stream_buffer.h"
#include "zorv/time.h"

enum : uint8_t { kFullInitial = 255, kFullFailed = 254 };

bool full_state_transition_allowed(uint8_t from, uint8_t to) {
  // Rows: from 0..4; columns: to 0..4.
  static constexpr bool allowed[5][5] = {
      {true, true, false, false, false},   // outer name
      {true, true, true, false, false},    // inner name
      {false, true, true, false, true},    // set name
      {false, false, true, false, true},   // element value
      {false, false, false, true, false},  // element info
  };
  if (to > 4) return false;
  if (from == kFullInitial) return to == 0;
  if (from > 4) return false;
  return allowed[from][to];
}

/* Whether a record of this type may have this length at all, known as soon
 * as its header is in: lets a stream that is already wrong fail at once
 * instead of after buffering up to 4 GiB of payload. */
static bool length_plausible(const cluster *c, uint8_t type, uint32_t len) {
  switch (type) {
    case 0: return len == 0 || len == 5;
    case 1: return len == 0 || len == 3;
    case 3: return len == c->last_info.len;
    case 4: return len == 16;
    default: return true;
  }
}

static void fail(cluster *c, uint8_t previous, uint8_t type, uint32_t len,
                 const char *payload, size_t payload_have) {
  size_t shown = payload_have < len ? payload_have : len;
  zorvL(errorls, "[%d] error in setcrdt stream in state %d->%d '%.*s'\n",
        c->cluster_id, previous, type, static_cast<int>(shown), payload);
  c->full_state = kFullFailed;
}

/* A long full sync says how far it got, about every five seconds. */
static void report_full_progress(cluster *c) {
  note_full_progress(c);
  uint64_t now = zorv_now_mono_us();
  if (c->full_progress_at == 0) c->full_progress_at = now;
  if (now - c->full_progress_at < 5000000) return;
  c->full_progress_at = now;
  zorvL(noticels,
        "[%d] ostrelate full sync in progress: %llu checks, %llu elements, "
        "%llu bytes\n",
        c->cluster_id, static_cast<unsigned long long>(c->full_checks),
        static_cast<unsigned long long>(c->full_elements),
        static_cast<unsigned long long>(c->full_bytes));
}

/* A check UUID's 36 bytes as the current set name (a NUL among them ends
 * it early). */
static void set_name(cluster *c, const char *payload) {
  if (c->last_set_name == nullptr || !c->set_name_reusable) {
    free(c->last_set_name);
    c->last_set_name = static_cast<char *>(malloc(37));
    c->set_name_reusable = c->last_set_name != nullptr;
    if (c->last_set_name == nullptr) return;  // its elements are skipped
  }
  const size_t n = strnlen(payload, 36);
  memcpy(c->last_set_name, payload, n);
  c->last_set_name[n] = '\0';
}

/* Decodes the complete records of data[0, n); returns the bytes taken. */
static size_t decode_records(cluster *c, const char *data, size_t n,
                             bool *accepted) {
  size_t off = 0;
  while (n - off > 4) {
    const auto *r = reinterpret_cast<const unsigned char *>(data + off);
    const uint8_t type = r[0];
    const uint32_t len = read_be32(r + 1);
    const char *payload = data + off + 5;
    const size_t have = n - off - 5;
    const uint8_t previous = c->full_state;

    if (!full_state_transition_allowed(previous, type) ||
        !length_plausible(c, type, len)) {
      fail(c, previous, type, len, payload, have);
      *accepted = false;
      return off;
    }
    if ((type == 2 && len != 36) || (type == 3 && len > max_tag_bytes)) {
      // Passed over as it arrives, never held: a set whose name is no check
      // UUID (its elements are skipped), or a tag longer than any tag we
      // keep. Either way the rest of the stream is still decoded.
      c->full_state = type;
      if (type == 2) {
        c->full_checks++;
        free(c->last_set_name);
        c->last_set_name = nullptr;
        c->set_name_reusable = false;
      } else {
        c->full_elements++;
        if (c->last_set_name != nullptr) note_oversized(c, c->last_set_name, len);
      }
      const size_t take = have < len ? have : len;
      c->skip_pending = len - take;
      off += 5 + take;
      continue;
    }
    if (have < len) break;  // completed by a later call

    c->full_state = type;
    bool ok = true;
    switch (type) {
      case 0:
        ok = len == 0 || memcmp(payload, "check", 5) == 0;
        break;
      case 1:
        ok = len == 0 || memcmp(payload, "tag", 3) == 0;
        break;
      case 2:
        c->full_checks++;
        set_name(c, payload);
        break;
      case 4: {
        const auto *p = reinterpret_cast<const unsigned char *>(payload);
        c->last_info.seq = read_le64(p);
        c->last_info.word = read_le32(p + 8);
        break;
      }
      case 3:
        if (c->last_set_name != nullptr) {
          setcrdt_alter_entry_t entry;
          entry.value = payload;
          // Field by field: one 16-byte copy of what was just stored as 8
          // and 4 bytes stalls on store forwarding, once per element.
          entry.info.seq = c->last_info.seq;
          entry.info.word = c->last_info.word;
          store_check_tag(c->last_set_name, &entry);
          c->elements_merged++;
        }
        c->full_elements++;
        break;
    }
    if (!ok) {
      fail(c, previous, type, len, payload, have);
      *accepted = false;
      return off;
    }
    off += 5 + size_t{len};
  }
  return off;
}

/* The bytes the record at data needs in all: its header, then its payload.
 * A record longer than any that is kept (a tag over max_tag_bytes, a set
 * name that is no UUID, or one to be refused) is decided from its header
 * alone, so no record makes the buffer hold more than the longest tag. */
static size_t record_size(const char *data, size_t n) {
  if (n < 5) return 5;
  const uint32_t len = read_be32(reinterpret_cast<const unsigned char *>(data) + 1);
  return len <= (max_tag_bytes > 36 ? max_tag_bytes : 36) ? 5 + size_t{len} : 5;
}

size_t read_full(char *bytes, size_t size, size_t count, void *record) {
  cluster *c = static_cast<cluster *>(record);
  const size_t m = size * count;
  const bool ok = decode_chunk(
      &c->buffer, &c->skip_pending, bytes, m, record_size,
      [c](const char *data, size_t n, bool *accepted) {
        return decode_records(c, data, n, accepted);
      });
  c->full_bytes += m;
  report_full_progress(c);
  return ok ? m : 0;
}
