/* A check's table of stored entries; see tag_table.h for the layout and
 * what keeps lock-free readers safe. */
#include "modules/ostrel/tag_table.h"

#include "modules/ostrel/internal.h"

#include <stdlib.h>
#include <sys/random.h>
#include <time.h>

#include "zorv/memory.h"

namespace {

constexpr unsigned kTagShift = 48;
constexpr uint64_t kAddrMask = (uint64_t{1} << kTagShift) - 1;
static_assert(sizeof(void *) == 8, "slots keep an address in 48 bits");

uint64_t make_seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    seed = static_cast<uint64_t>(ts.tv_nsec) * 0x9e3779b97f4a7c15ull;
  }
  return seed;
}

/* Seeded, so that a node cannot choose tag texts that all land on one
 * slot of a check and turn its inserts quadratic. */
const uint64_t g_seed = make_seed();

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t m = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}

inline uint64_t load8(const char *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

inline uint32_t home_of(uint64_t hash, uint32_t capacity) {
  return static_cast<uint32_t>((uint64_t{static_cast<uint32_t>(hash)} * capacity) >> 32);
}

inline uint64_t *slots_of(tag_slots *arr) {
  return reinterpret_cast<uint64_t *>(arr + 1);
}

inline setcrdt_alter_entry_t *entry_of(uint64_t slot) {
  return reinterpret_cast<setcrdt_alter_entry_t *>(slot & kAddrMask);
}

inline uint64_t tag_of(uint64_t hash) { return hash >> kTagShift << kTagShift; }

/* Heap arrays stop at three quarters so that probes stay short; the inline
 * array may fill up, its twelve slots being one scan anyway. */
inline uint32_t max_count(uint32_t capacity) {
  return capacity == kInlineTagSlots ? capacity : capacity / 4 * 3;
}

void put(tag_slots *arr, uint64_t slot, uint64_t hash) {
  uint64_t *slots = slots_of(arr);
  uint32_t i = home_of(hash, arr->capacity);
  while (slots[i] != 0) i = i + 1 == arr->capacity ? 0 : i + 1;
  __atomic_store_n(&slots[i], slot, __ATOMIC_RELEASE);
}

}  // namespace

uint64_t tag_hash(const char *text, size_t len) {
  uint64_t h = g_seed ^ (len * 0x9e3779b97f4a7c15ull);
  while (len >= 8) {
    h = mix(h ^ load8(text), 0xbf58476d1ce4e5b9ull);
    text += 8;
    len -= 8;
  }
  uint64_t tail = 0;
  memcpy(&tail, text, len);
  return mix(h ^ tail, 0x94d049bb133111ebull) * 0xff51afd7ed558ccdull;
}

void tag_table_init(tag_table *t) {
  t->inline_hdr.capacity = kInlineTagSlots;
  __atomic_store_n(&t->arr, &t->inline_hdr, __ATOMIC_RELEASE);
}

void tag_table_release(tag_table *t) {
  if (t->arr != nullptr && t->arr != &t->inline_hdr) free(t->arr);
  t->arr = nullptr;
  t->count = 0;
}

setcrdt_alter_entry_t *tag_table_find(tag_table *t, const char *text,
                                      size_t len, uint64_t hash) {
  tag_slots *arr = __atomic_load_n(&t->arr, __ATOMIC_ACQUIRE);
  if (arr == nullptr) return nullptr;
  const uint32_t cap = arr->capacity;
  uint64_t *slots = slots_of(arr);
  const uint64_t tag = tag_of(hash);
  uint32_t i = home_of(hash, cap);
  for (uint32_t probes = 0; probes < cap; ++probes) {
    uint64_t s = __atomic_load_n(&slots[i], __ATOMIC_ACQUIRE);
    if (s == 0) return nullptr;
    if ((s & ~kAddrMask) == tag) {
      setcrdt_alter_entry_t *e = entry_of(s);
      // The length sits in the info word, which a merge may rewrite; a key's
      // length never changes, so one atomic load is enough.
      uint32_t word = __atomic_load_n(&e->info.word, __ATOMIC_ACQUIRE);
      if ((word >> 1) == len && memcmp(e->value, text, len) == 0) return e;
    }
    i = i + 1 == cap ? 0 : i + 1;
  }
  return nullptr;
}

void tag_table_prefetch(tag_table *t, uint64_t hash) {
  tag_slots *arr = __atomic_load_n(&t->arr, __ATOMIC_ACQUIRE);
  if (arr == nullptr) return;
  const uint32_t cap = arr->capacity;
  const uint64_t *slots = slots_of(arr);
  const uint64_t tag = tag_of(hash);
  uint32_t i = home_of(hash, cap);
  for (uint32_t probes = 0; probes < cap; ++probes) {
    const uint64_t s = __atomic_load_n(&slots[i], __ATOMIC_ACQUIRE);
    if (s == 0) return;  // a new tag: nothing to load
    if ((s & ~kAddrMask) == tag) {
      __builtin_prefetch(entry_of(s));
      __builtin_prefetch(reinterpret_cast<const char *>(entry_of(s)) +
                         kTagEntryHeaderBytes - 1);
      return;
    }
    i = i + 1 == cap ? 0 : i + 1;
  }
}

bool tag_table_add(tag_table *t, setcrdt_alter_entry_t *e, uint64_t hash) {
  const uintptr_t addr = reinterpret_cast<uintptr_t>(e);
  if ((addr & ~kAddrMask) != 0) return false;  // no room for the hash bits
  if (t->arr == nullptr) tag_table_init(t);
  tag_slots *arr = t->arr;
  if (t->count + 1 > max_count(arr->capacity)) {
    // 12 -> 32 -> 64 ...: a check that outgrows the common size is rare
    // and may well be large.
    const uint64_t cap = arr->capacity == kInlineTagSlots
                             ? 32
                             : uint64_t{arr->capacity} * 2;
    if (cap > (uint64_t{1} << 31)) return false;
    auto *fresh = static_cast<tag_slots *>(
        calloc(1, sizeof(tag_slots) + sizeof(uint64_t) * cap));
    if (fresh == nullptr) return false;
    fresh->capacity = static_cast<uint32_t>(cap);
    const uint64_t *old = slots_of(arr);
    for (uint32_t i = 0; i < arr->capacity; ++i) {
      if (old[i] == 0) continue;
      setcrdt_alter_entry_t *moved = entry_of(old[i]);
      put(fresh, old[i], tag_hash(moved->value, moved->info.len));
    }
    __atomic_store_n(&t->arr, fresh, __ATOMIC_RELEASE);
    if (arr != &t->inline_hdr) zorv_memory_safe_free(arr);
    arr = fresh;
  }
  put(arr, addr | tag_of(hash), hash);
  t->count++;
  return true;
}
