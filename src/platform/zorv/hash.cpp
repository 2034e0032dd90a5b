// Hash tables: open addressing with linear probing over one slot array that
// is published through a single pointer, so that readers need no lock.
//
// Memory is what shapes this design: a table exists per check (millions),
// most hold about ten pairs, so a table is its 24-byte struct (which also
// keeps the pair and tombstone counts) plus one allocation of an 8-byte
// header and 24-byte slots, with capacities that are not powers of two (ten
// pairs fit in twelve slots: 296 bytes, one 304-byte malloc chunk).
//
// Invariants that make lock-free reads safe beside one writer:
//  - A slot's key pointer is its state: NULL (never used), kTombstone
//    (deleted) or live. The meta word (hash and length, or a short key's
//    bytes) is written before the key is published with a release store and
//    never changes while it is live.
//  - A slot, once used, is never made empty again and a tombstone is never
//    refilled in the same array; so a probe sequence that a reader follows
//    stays valid, and a key sits in at most one live slot of an array.
//  - Growth, shrinking and clearing tombstones build a new array, publish it
//    with a release store and hand the old one to zorv_memory_safe_free;
//    readers inside a bracket keep reading the old one, unchanged.
//  - Every array keeps at least one empty slot, so probes end.

#include "zorv/hash.h"

#include "zorv/arena.h"

#include <sys/random.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "hash_function.h"
#include "hash_lock.h"
#include "memory_internal.h"
#include "zorv/memory.h"

namespace zorv::hash {

namespace {

uint64_t make_seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    seed = static_cast<uint64_t>(ts.tv_nsec) * kP1 ^ reinterpret_cast<uintptr_t>(&seed);
  }
  return seed;
}

}  // namespace

const uint64_t g_seed = make_seed();

namespace {

// A slot's third word, `meta`, takes one of two forms:
//  - long keys: the 32-bit hash and the length (hash | klen << 32), and a
//    match is confirmed by comparing the caller's key bytes;
//  - short keys (up to 8 bytes, integer ids above all): the key bytes
//    themselves, zero-padded, so a match is one integer compare and the
//    stored key is never dereferenced. The key pointer then carries a mark
//    and the length in its top bits, which user-space pointers leave clear
//    on x86-64 (at most 57 address bits); the mark also keeps the two forms
//    from ever matching each other.
struct Slot {
  const char *key;  // NULL, kTombstone or the caller's key (marked if short)
  void *value;
  uint64_t meta;
};
static_assert(sizeof(Slot) == 24);

// A marked pointer is no pointer to LeakSanitizer, which would then report
// every caller's short key as leaked; AddressSanitizer builds keep the long
// form (ThreadSanitizer builds still run the short one).
#if defined(__SANITIZE_ADDRESS__)
#define ZORV_HASH_UNMARKED_KEYS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORV_HASH_UNMARKED_KEYS 1
#endif
#endif

#if defined(__x86_64__) && !defined(ZORV_HASH_UNMARKED_KEYS)
constexpr bool kShortKeys = true;
#else
constexpr bool kShortKeys = false;
#endif
constexpr unsigned kMarkShift = 59;
constexpr uintptr_t kShortMark = uintptr_t{1} << 63;
constexpr uintptr_t kMarkBits = uintptr_t{0x1f} << kMarkShift;

inline bool is_short_len(uint32_t klen) { return kShortKeys && klen <= 8; }

inline const char *marked(const void *key, uint32_t klen) {
  uintptr_t k = reinterpret_cast<uintptr_t>(key);
  if (is_short_len(klen)) k |= kShortMark | (uintptr_t{klen} << kMarkShift);
  return reinterpret_cast<const char *>(k);
}

inline const char *unmarked(const char *k) {
  return reinterpret_cast<const char *>(reinterpret_cast<uintptr_t>(k) & ~kMarkBits);
}

inline uint32_t len_of(const char *k, uint64_t meta) {
  uintptr_t v = reinterpret_cast<uintptr_t>(k);
  if (v & kShortMark) return static_cast<uint32_t>((v >> kMarkShift) & 0xf);
  return static_cast<uint32_t>(meta >> 32);
}

inline uint64_t short_bytes(const void *key, uint32_t klen) {
  uint64_t v = 0;
  std::memcpy(&v, key, klen);
  return v;
}

// The meta word a key is stored and looked up with.
inline uint64_t meta_of(const void *key, uint32_t klen, uint32_t hash) {
  return is_short_len(klen) ? short_bytes(key, klen)
                            : (uint64_t{klen} << 32) | hash;
}

// The hash a stored pair's home slot was chosen by.
inline uint32_t hash_of_slot(const char *k, uint64_t meta) {
  if (reinterpret_cast<uintptr_t>(k) & kShortMark) return hash32(&meta, len_of(k, meta));
  return static_cast<uint32_t>(meta);
}

// The counts live in the table, not here: they belong to whichever array
// is published, and an 8-byte header keeps a twelve-slot array inside one
// 304-byte malloc chunk.
struct SlotArray {
  uint32_t capacity;
  uint32_t reserved;
  Slot *slots() { return reinterpret_cast<Slot *>(this + 1); }
};
static_assert(sizeof(SlotArray) == 8);

const char g_tombstone_mark = 0;
const char *const kTombstone = &g_tombstone_mark;

// Small tables fill to 7/8 (ten pairs in twelve slots); large ones stop at
// 3/4 and trade a little memory for shorter probes.
uint32_t max_used(uint32_t capacity) {
  uint64_t c = capacity;
  return static_cast<uint32_t>(capacity <= 64 ? c * 7 / 8 : c * 3 / 4);
}

constexpr uint32_t kMaxPairs = 1u << 30;

// Capacity of a new array that must hold `pairs`. A table that outgrows
// four slots goes straight to twelve, the size that holds the common ten
// pairs: every array a table leaves behind waits a grace period before it
// is freed, and with millions of tables being filled at once those waiting
// arrays show up as memory. Past twelve, growth is by half (small tables,
// where memory matters most) or doubling (large ones, where rebuilds cost).
uint32_t capacity_for(uint32_t pairs) {
  uint64_t cap = pairs <= 3    ? 4
                 : pairs <= 10 ? 12
                 : pairs <= 48 ? pairs + (pairs + 1) / 2
                               : uint64_t{pairs} * 2;
  while (max_used(static_cast<uint32_t>(cap)) < pairs) ++cap;
  return static_cast<uint32_t>(cap);
}

// Multiply-shift range reduction: any capacity, one multiply.
inline uint32_t home_of(uint32_t hash, uint32_t capacity) {
  return static_cast<uint32_t>((uint64_t{hash} * capacity) >> 32);
}

inline uint32_t next_of(uint32_t i, uint32_t capacity) {
  return i + 1 == capacity ? 0 : i + 1;
}

template <typename T>
inline T load_acquire(T *p) {
  return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
template <typename T>
inline T load_relaxed(T *p) {
  return __atomic_load_n(p, __ATOMIC_RELAXED);
}
template <typename T>
inline void store_release(T *p, T v) {
  __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
template <typename T>
inline void store_relaxed(T *p, T v) {
  __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

// Reader side: the live slot holding key in arr, or NULL. Also used by the
// writer (its own loads then merely need no ordering). The meta word is
// written before the key is published and never changes while it is live,
// so the acquire load of the key orders the read of meta.
//
// Short keys (integer ids above all) are the lookups on per-message paths:
// their probe is a few instructions and is inlined into every caller; the
// long-key probe stays out of line.
__attribute__((always_inline)) inline Slot *find_short(SlotArray *arr,
                                                       uint64_t meta,
                                                       uintptr_t mark,
                                                       uint32_t hash) {
  const uint32_t cap = arr->capacity;
  Slot *slots = arr->slots();
  uint32_t i = home_of(hash, cap);
  for (uint32_t probes = 0; probes < cap; ++probes, i = next_of(i, cap)) {
    const char *k = load_acquire(&slots[i].key);
    if (k == nullptr) return nullptr;
    if ((reinterpret_cast<uintptr_t>(k) & kMarkBits) == mark && slots[i].meta == meta)
      return &slots[i];
  }
  return nullptr;
}

__attribute__((noinline)) Slot *find_long(SlotArray *arr, const void *key,
                                          uint32_t klen, uint32_t hash) {
  const uint32_t cap = arr->capacity;
  Slot *slots = arr->slots();
  uint32_t i = home_of(hash, cap);
  const uint64_t meta = meta_of(key, klen, hash);
  for (uint32_t probes = 0; probes < cap; ++probes, i = next_of(i, cap)) {
    const char *k = load_acquire(&slots[i].key);
    if (k == nullptr) return nullptr;
    if (k != kTombstone && slots[i].meta == meta &&
        (reinterpret_cast<uintptr_t>(k) & kShortMark) == 0 &&
        (k == key || std::memcmp(k, key, klen) == 0))
      return &slots[i];
  }
  return nullptr;
}

inline Slot *find_live(SlotArray *arr, const void *key, uint32_t klen, uint32_t hash) {
  if (is_short_len(klen)) {
    return find_short(arr, short_bytes(key, klen),
                      reinterpret_cast<uintptr_t>(marked(nullptr, klen)), hash);
  }
  return find_long(arr, key, klen, hash);
}

// Writer side: the first never-used slot of key's probe sequence.
Slot *find_empty(SlotArray *arr, uint32_t hash) {
  const uint32_t cap = arr->capacity;
  Slot *slots = arr->slots();
  uint32_t i = home_of(hash, cap);
  while (load_relaxed(&slots[i].key) != nullptr) i = next_of(i, cap);
  return &slots[i];
}

SlotArray *table_array(zorv_hash_table *table) {
  return static_cast<SlotArray *>(load_relaxed(&table->_slots));
}

void publish(zorv_hash_table *table, SlotArray *arr) {
  store_release(&table->_slots, static_cast<void *>(arr));
}

// Builds an array sized for `pairs` from the live pairs of old (which may be
// NULL), publishes it and retires old. NULL when memory is short; the table
// is then unchanged.
SlotArray *rebuild(zorv_hash_table *table, SlotArray *old, uint32_t pairs) {
  const uint32_t cap = capacity_for(pairs);
  const size_t bytes = sizeof(SlotArray) + sizeof(Slot) * size_t{cap};
  auto *arr = static_cast<SlotArray *>(std::calloc(1, bytes));
  if (arr == nullptr) return nullptr;
  // A big table (a million accounts or checks) is read at random places:
  // one page walk per lookup on ordinary pages.
  if (bytes >= size_t{4} << 20) zorv_advise_huge_pages(arr, bytes);
  arr->capacity = cap;
  if (old != nullptr) {
    Slot *from = old->slots();
    uint32_t moved = 0;
    for (uint32_t i = 0; i < old->capacity; ++i) {
      const char *k = from[i].key;
      if (k == nullptr || k == kTombstone) continue;
      Slot *to = find_empty(arr, hash_of_slot(k, from[i].meta));
      *to = from[i];
      ++moved;
    }
    store_relaxed(&table->_count, moved);
  }
  table->_tombstones = 0;
  publish(table, arr);
  zorv_memory_safe_free(old);
  return arr;
}

bool valid_key(const void *key, int klen) { return key != nullptr && klen >= 0; }

// Adds a pair whose key is known to be absent. 1, or 0 when out of memory.
int insert_absent(zorv_hash_table *table, SlotArray *arr, const void *key,
                  uint32_t klen, uint32_t hash, void *data) {
  if (arr == nullptr) {
    arr = rebuild(table, nullptr, 1);
  } else {
    const uint32_t count = table->_count;
    if (count >= kMaxPairs) return 0;
    if (count + table->_tombstones + 1 > max_used(arr->capacity))
      arr = rebuild(table, arr, count + 1);
  }
  if (arr == nullptr) return 0;
  Slot *slot = find_empty(arr, hash);
  slot->value = data;
  slot->meta = meta_of(key, klen, hash);
  store_release(&slot->key, marked(key, klen));
  store_relaxed(&table->_count, table->_count + 1);
  return 1;
}

// The lookup of both retrieve calls.
int retrieve(zorv_hash_table *table, const void *key, uint32_t len,
             uint32_t hash, void **data) {
  // Our own bracket keeps the slot array alive even for a caller without
  // one; the caller's bracket (if any) is what keeps the value alive.
  zorv::memory::ReadBracket bracket;
  auto *arr = static_cast<SlotArray *>(load_acquire(&table->_slots));
  if (arr == nullptr) return 0;
  Slot *slot = find_live(arr, key, len, hash);
  if (slot == nullptr) return 0;
  if (data != nullptr) *data = load_acquire(&slot->value);
  return 1;
}

// Shared by replace and set: 1 inserted, 2 replaced (old pair in *old_key,
// *old_data), 0 out of memory or bad key.
int upsert(zorv_hash_table *table, const void *key, int klen, void *data,
           const char **old_key, void **old_data) {
  if (!valid_key(key, klen)) return 0;
  const uint32_t len = static_cast<uint32_t>(klen);
  const uint32_t hash = hash32(key, len);
  WriterLock lock(table);
  SlotArray *arr = table_array(table);
  if (arr != nullptr) {
    if (Slot *slot = find_live(arr, key, len, hash)) {
      *old_key = unmarked(slot->key);
      *old_data = slot->value;
      // Value first: a reader that matched the old key text may see either
      // value, both of which belong to this key.
      store_release(&slot->value, data);
      if (*old_key != key) store_release(&slot->key, marked(key, len));
      return 2;
    }
  }
  return insert_absent(table, arr, key, len, hash, data);
}

// The value stays alive until the reader's bracket closes, so the copy is
// of the value found, never of memory already released. The two common
// sizes are plain moves.
inline void copy_field(const void *value, size_t offset, void *out, size_t size) {
  const char *from = static_cast<const char *>(value) + offset;
  if (size == sizeof(int32_t)) {
    std::memcpy(out, from, sizeof(int32_t));
  } else if (size == sizeof(void *)) {
    std::memcpy(out, from, sizeof(void *));
  } else {
    std::memcpy(out, from, size);
  }
}

__attribute__((noinline)) int retrieve_copy_any(zorv_hash_table *table, const void *key,
                                                int klen, size_t offset, void *out,
                                                size_t size) {
  if (!valid_key(key, klen)) return 0;
  const uint32_t len = static_cast<uint32_t>(klen);
  const uint32_t hash = hash32(key, len);
  zorv::memory::ReadBracket bracket;
  auto *arr = static_cast<SlotArray *>(load_acquire(&table->_slots));
  if (arr == nullptr) return 0;
  Slot *slot = find_live(arr, key, len, hash);
  if (slot == nullptr) return 0;
  copy_field(load_acquire(&slot->value), offset, out, size);
  return 1;
}

}  // namespace

}  // namespace zorv::hash

using namespace zorv::hash;

extern "C" {

void zorv_hash_init(zorv_hash_table *table) { std::memset(table, 0, sizeof *table); }

void zorv_hash_init_locks(zorv_hash_table *table, int buckets,
                          zorv_hash_lock_mode_t mode) {
  // One writer lock per table whatever `buckets` asks for: writes to a
  // table are short, and a lock array per table would cost more memory
  // than most tables hold.
  (void)buckets;
  zorv_hash_init(table);
  if (mode == ZORV_HASH_LOCK_MODE_MUTEX || mode == ZORV_HASH_LOCK_MODE_SPIN)
    table->_mode = static_cast<uint32_t>(mode);
}

int zorv_hash_store(zorv_hash_table *table, const void *key, int klen,
                    void *data) {
  if (!valid_key(key, klen)) return 0;
  const uint32_t len = static_cast<uint32_t>(klen);
  const uint32_t hash = hash32(key, len);
  WriterLock lock(table);
  SlotArray *arr = table_array(table);
  if (arr != nullptr && find_live(arr, key, len, hash) != nullptr) return 0;
  return insert_absent(table, arr, key, len, hash, data);
}

int zorv_hash_replace(zorv_hash_table *table, const void *key, int klen,
                      void *data, ZorvHashFreeFunc keyfree,
                      ZorvHashFreeFunc datafree) {
  const char *old_key = nullptr;
  void *old_data = nullptr;
  int rc = upsert(table, key, klen, data, &old_key, &old_data);
  if (rc == 2) {
    // The caller may replace a pair with itself, or keep the key pointer:
    // never release what is still in the table.
    if (keyfree != nullptr && old_key != key) keyfree(const_cast<char *>(old_key));
    if (datafree != nullptr && old_data != data) datafree(old_data);
  }
  return rc;
}

int zorv_hash_set(zorv_hash_table *table, const void *key, int klen,
                  void *data, void **oldkey, void **olddata) {
  const char *old_key = nullptr;
  void *old_data = nullptr;
  int rc = upsert(table, key, klen, data, &old_key, &old_data);
  if (rc == 2) {
    if (oldkey != nullptr) *oldkey = const_cast<char *>(old_key);
    if (olddata != nullptr) *olddata = old_data;
  }
  return rc;
}

uint32_t zorv_hash_key_hash(const void *key, int klen) {
  if (!valid_key(key, klen)) return 0;
  return hash32(key, static_cast<uint32_t>(klen));
}

void zorv_hash_prefetch(zorv_hash_table *table, uint32_t hash) {
  // The bracket covers the read of the capacity; the prefetch itself never
  // faults, so a slot array retired right after is only a wasted load.
  zorv::memory::ReadBracket bracket;
  auto *arr = static_cast<SlotArray *>(load_acquire(&table->_slots));
  if (arr == nullptr) return;
  // Needs the capacity: one dependent load, on a line every lookup shares.
  const Slot *slot = arr->slots() + home_of(hash, arr->capacity);
  __builtin_prefetch(slot);
  __builtin_prefetch(reinterpret_cast<const char *>(slot + 1) - 1);
}

void *zorv_hash_peek(zorv_hash_table *table, const void *key, int klen,
                     uint32_t hash) {
  if (!valid_key(key, klen)) return nullptr;
  const uint32_t len = static_cast<uint32_t>(klen);
  zorv::memory::ReadBracket bracket;
  auto *arr = static_cast<SlotArray *>(load_acquire(&table->_slots));
  if (arr == nullptr) return nullptr;
  const uint32_t cap = arr->capacity;
  Slot *slots = arr->slots();
  const uint64_t meta = meta_of(key, len, hash);
  const uintptr_t mark = reinterpret_cast<uintptr_t>(marked(nullptr, len));
  uint32_t i = home_of(hash, cap);
  for (uint32_t probes = 0; probes < cap; ++probes, i = next_of(i, cap)) {
    const char *k = load_acquire(&slots[i].key);
    if (k == nullptr) return nullptr;
    if (k != kTombstone && slots[i].meta == meta &&
        (reinterpret_cast<uintptr_t>(k) & kMarkBits) == mark)
      return load_acquire(&slots[i].value);
  }
  return nullptr;
}

int zorv_hash_retrieve_hashed(zorv_hash_table *table, const void *key,
                              int klen, uint32_t hash, void **data) {
  if (!valid_key(key, klen)) return 0;
  return retrieve(table, key, static_cast<uint32_t>(klen), hash, data);
}

int zorv_hash_retrieve(zorv_hash_table *table, const void *key, int klen,
                       void **data) {
  if (!valid_key(key, klen)) return 0;
  const uint32_t len = static_cast<uint32_t>(klen);
  return retrieve(table, key, len, hash32(key, len), data);
}

int zorv_hash_retrieve_copy(zorv_hash_table *table, const void *key, int klen,
                            size_t offset, void *out, size_t size) {
  // An 8-byte id is the common key: with the length fixed, the hash and
  // the probe fold down to a few instructions, and the general case stays
  // out of line so this path keeps few registers to save.
  if (kShortKeys && klen == 8 && key != nullptr) {
    const uint64_t meta = short_bytes(key, 8);
    const uint32_t hash = hash32(&meta, 8);
    zorv::memory::ReadBracket bracket;
    auto *arr = static_cast<SlotArray *>(load_acquire(&table->_slots));
    if (arr == nullptr) return 0;
    Slot *slot = find_short(arr, meta, reinterpret_cast<uintptr_t>(marked(nullptr, 8)), hash);
    if (slot == nullptr) return 0;
    copy_field(load_acquire(&slot->value), offset, out, size);
    return 1;
  }
  return retrieve_copy_any(table, key, klen, offset, out, size);
}

int zorv_hash_delete(zorv_hash_table *table, const void *key, int klen,
                     ZorvHashFreeFunc keyfree, ZorvHashFreeFunc datafree) {
  if (!valid_key(key, klen)) return 0;
  const uint32_t len = static_cast<uint32_t>(klen);
  const uint32_t hash = hash32(key, len);
  const char *old_key;
  void *old_data;
  {
    WriterLock lock(table);
    SlotArray *arr = table_array(table);
    if (arr == nullptr) return 0;
    Slot *slot = find_live(arr, key, len, hash);
    if (slot == nullptr) return 0;
    old_key = unmarked(slot->key);
    old_data = slot->value;
    store_release(&slot->key, kTombstone);
    const uint32_t count = table->_count - 1;
    store_relaxed(&table->_count, count);
    ++table->_tombstones;
    if (count == 0) {
      // An emptied table gives its memory back.
      table->_tombstones = 0;
      publish(table, nullptr);
      zorv_memory_safe_free(arr);
    } else if (arr->capacity > 16 && count * 8 < arr->capacity) {
      rebuild(table, arr, count);  // on failure the table stays as it is
    }
  }
  if (keyfree != nullptr) keyfree(const_cast<char *>(old_key));
  if (datafree != nullptr) datafree(old_data);
  return 1;
}

void zorv_hash_destroy(zorv_hash_table *table, ZorvHashFreeFunc keyfree,
                       ZorvHashFreeFunc datafree) {
  SlotArray *arr;
  {
    WriterLock lock(table);
    arr = table_array(table);
    store_relaxed(&table->_count, 0u);
    table->_tombstones = 0;
    publish(table, nullptr);
  }
  if (arr == nullptr) return;
  Slot *slots = arr->slots();
  for (uint32_t i = 0; i < arr->capacity; ++i) {
    const char *k = slots[i].key;
    if (k == nullptr || k == kTombstone) continue;
    if (keyfree != nullptr) keyfree(const_cast<char *>(unmarked(k)));
    if (datafree != nullptr) datafree(slots[i].value);
  }
  // Deferred although readers are not allowed here: it costs little and
  // turns a stray reader's crash into a stale read.
  zorv_memory_safe_free(arr);
}

int zorv_hash_size(zorv_hash_table *table) {
  return static_cast<int>(load_relaxed(&table->_count));
}

}  // extern "C"

namespace {

// Both iterators: the walk stays on the array it started with. _index is
// the next slot to look at; a walk over an empty table is marked finished
// by _index 1 with no array.
int advance(zorv_hash_table *table, zorv_hash_iter *iter, const char **key,
            int *klen, void **data) {
  auto *arr = static_cast<SlotArray *>(iter->_slots);
  if (arr == nullptr) {
    if (iter->_index != 0) return 0;
    arr = static_cast<SlotArray *>(load_acquire(&table->_slots));
    if (arr == nullptr) {
      iter->_index = 1;
      return 0;
    }
    iter->_slots = arr;
  }
  Slot *slots = arr->slots();
  for (uint32_t i = iter->_index; i < arr->capacity; ++i) {
    const char *k = load_acquire(&slots[i].key);
    if (k == nullptr || k == kTombstone) continue;
    iter->_index = i + 1;
    if (key != nullptr) *key = unmarked(k);
    if (klen != nullptr) *klen = static_cast<int>(len_of(k, slots[i].meta));
    if (data != nullptr) *data = load_acquire(&slots[i].value);
    return 1;
  }
  iter->_index = arr->capacity;
  return 0;
}

}  // namespace

extern "C" {

int zorv_hash_adv(zorv_hash_table *table, zorv_hash_iter *iter,
                  const char **key, int *klen, void **data) {
  return advance(table, iter, key, klen, data);
}

int zorv_hash_adv_spmc(zorv_hash_table *table, zorv_hash_iter *iter,
                       const char **key, int *klen, void **data) {
  // The same walk: the caller's bracket keeps the array it started on
  // alive, and that array is never rearranged, only retired.
  return advance(table, iter, key, klen, data);
}

}  // extern "C"
