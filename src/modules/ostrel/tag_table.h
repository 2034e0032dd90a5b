/* A check's own table of stored entries: the set of its tags.
 *
 * Millions of these exist and most hold about ten tags, so the layout is
 * cut to what cannot be derived. A slot is one 64-bit word: the stored
 * entry's address with 16 bits of the tag's hash in the top bits, which
 * user-space addresses leave clear. The key is not stored at all: it is
 * the entry's own inline text, and its length is in the entry's info. The
 * first twelve slots live inside the check's container (so a check of up
 * to twelve tags costs no allocation and no rebuild); a larger check moves
 * to heap arrays of growing size.
 *
 * One writer (under the store's write lock) beside lock-free readers:
 *  - a slot goes from 0 to an entry once and never changes again in that
 *    array (entries are never removed), published with a release store;
 *  - growth builds a new array, publishes it with a release store and
 *    retires the old one through the safe-memory layer (the inline array
 *    is never freed), so a reader in a bracket keeps a consistent array;
 *  - probes are bounded by the capacity, so even a full array ends them. */
#ifndef OSTREL_TAG_TABLE_H
#define OSTREL_TAG_TABLE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* Defined in internal.h, which includes this header for the container. */
typedef struct setcrdt_alter_entry setcrdt_alter_entry_t;

constexpr uint32_t kInlineTagSlots = 12;

/* Size of a stored entry's fixed part (before its text); the entry type is
 * complete only in internal.h, which checks this. */
constexpr size_t kTagEntryHeaderBytes = 24;

/* Header of a slot array; the slots follow it. */
typedef struct tag_slots {
  uint32_t capacity;
  uint32_t reserved;
} tag_slots;

typedef struct tag_table {
  tag_slots *arr;  /* published array: the inline one or a heap one */
  uint32_t count;  /* entries present (writer only) */
  uint32_t reserved;
  tag_slots inline_hdr;
  uint64_t inline_slot[kInlineTagSlots]; /* follows inline_hdr directly */
} tag_table;
static_assert(offsetof(tag_table, inline_slot) ==
                  offsetof(tag_table, inline_hdr) + sizeof(tag_slots),
              "inline slots must follow their header");

/* Prepares a zero-filled table (arena memory reads as zero). */
void tag_table_init(tag_table *t);
/* Releases a grown table's heap array; for a store nobody reads any more. */
void tag_table_release(tag_table *t);
/* The seeded hash of a tag text. */
uint64_t tag_hash(const char *text, size_t len);
/* The stored entry whose text equals text[0, len), or null. Writer or a
 * reader inside a bracket. */
setcrdt_alter_entry_t *tag_table_find(tag_table *t, const char *text,
                                      size_t len, uint64_t hash);
/* A hint before tag_table_find: starts loading the entry the text probably
 * is (the first slot of its probe whose hash bits match). Reader-safe. */
void tag_table_prefetch(tag_table *t, uint64_t hash);
/* Adds an entry known to be absent (hash of its text as given to find).
 * False when memory ran out; the table is then unchanged. Writer only. */
bool tag_table_add(tag_table *t, setcrdt_alter_entry_t *e, uint64_t hash);

/* Calls f(closure, entry) for every entry of one consistent array; for a
 * reader inside a bracket, beside the writer. */
/* The entries of one check lie in no useful order in memory and are rarely
 * in cache: the slots are read a batch at a time and every entry of the
 * batch is fetched before f looks at the first, so their cache misses
 * overlap instead of following one another. */
template <typename F>
inline void tag_table_each(tag_table *t, F &&f) {
  tag_slots *arr = __atomic_load_n(&t->arr, __ATOMIC_ACQUIRE);
  if (arr == nullptr) return;
  const uint64_t *slots = reinterpret_cast<const uint64_t *>(arr + 1);
  const uint32_t capacity = arr->capacity;
  constexpr uint32_t kBatch = 16;
  setcrdt_alter_entry_t *batch[kBatch];
  for (uint32_t start = 0; start < capacity; start += kBatch) {
    const uint32_t end = capacity - start < kBatch ? capacity : start + kBatch;
    uint32_t n = 0;
    for (uint32_t i = start; i < end; ++i) {
      uint64_t s = __atomic_load_n(&slots[i], __ATOMIC_ACQUIRE);
      if (s == 0) continue;
      batch[n] = reinterpret_cast<setcrdt_alter_entry_t *>(
          s & ((uint64_t{1} << 48) - 1));
      // Both ends: an entry may straddle two cache lines.
      __builtin_prefetch(batch[n]);
      __builtin_prefetch(reinterpret_cast<const char *>(batch[n]) +
                         kTagEntryHeaderBytes - 1);
      ++n;
    }
    for (uint32_t i = 0; i < n; ++i) f(batch[i]);
  }
}

#endif
