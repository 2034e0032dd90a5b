/* The check tag store: check UUID -> set of tags, merged as a set CRDT.
 *
 * One writer at a time (the replication workers, serialised by a spinlock);
 * any number of lock-free readers on the per-metric path. What makes the
 * readers safe:
 *   - the host table admits one writer beside lock-free readers;
 *   - a container enters check_tags only with its first element in place;
 *   - a stored entry (and the text inline behind it) is never freed, moved
 *     or rewritten; a merge changes only its info, published with atomic
 *     stores, and a reader tests the tombstone with one atomic load.
 * Nothing is ever removed from the store, so a tag text handed out stays
 * valid for the life of the process. */
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "modules/ostrel/internal.h"
#include "quib/metric_director.h"
#include "zorv/arena.h"
#include "zorv/memory.h"
#include "zorv/uuid.h"

zorv_hash_table check_tags;
uint32_t check_tags_write_lock;

/* Containers and stored entries: never freed, so they come from an arena
 * (no per-allocation header, huge pages where offered). Written only under
 * check_tags_write_lock. */
static zorv_arena store_arena = ZORV_ARENA_ZERO;

/* The container of the last stored element, under the write lock: a
 * full-state stream comes check by check, so a run of elements for one
 * check skips the check_tags lookup. Containers never move or go. */
static tag_container *last_container = nullptr;

/* Written and read only under check_tags_write_lock. A failed resolution
 * stays null, so the director is looked for again at the next change (the
 * daemon may load it later). */
static metric_director_set_check_generation_func director_probe = nullptr;
static metric_director_set_check_generation_func director_call = nullptr;
/* The director's optional prefetch hint, found together with director_probe;
 * read outside the lock by the batch's early stages, hence atomic. */
static std::atomic<metric_director_prefetch_check_func> director_prefetch{nullptr};

void ostrel_store_setup(void) {
  zorv_hash_init(&check_tags);
  // A full sync fills hundreds of megabytes at stream speed; have its pages
  // zeroed beside the writer rather than in its way.
  zorv_arena_populate_ahead(&store_arena, size_t{4} << 20);
  std::atomic_ref<uint32_t>(check_tags_write_lock)
      .store(0, std::memory_order_release);
}

static void release_container(void *p) {
  // Entries and containers are arena memory; only a grown table's heap
  // array is the container's own.
  tag_table_release(&static_cast<tag_container *>(p)->tags);
}

void ostrel_store_clear(void) {
  zorv_hash_destroy(&check_tags, nullptr, release_container);
  last_container = nullptr;
  zorv_arena_reset(&store_arena);
}

static inline void cpu_pause(void) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

static void write_lock(void) {
  std::atomic_ref<uint32_t> word(check_tags_write_lock);
  while (word.exchange(1, std::memory_order_acquire) == 1) {
    while (word.load(std::memory_order_relaxed) == 1) cpu_pause();
  }
}

static void write_unlock(void) {
  std::atomic_ref<uint32_t>(check_tags_write_lock)
      .store(0, std::memory_order_release);
}

static bool metric_director_set_check_generation_available(void) {
  if (director_probe == nullptr) {
    director_probe = reinterpret_cast<metric_director_set_check_generation_func>(
        dlsym(RTLD_DEFAULT, METRIC_DIRECTOR_SET_CHECK_GENERATION_SYMBOL));
    if (director_probe != nullptr) {
      director_prefetch.store(
          reinterpret_cast<metric_director_prefetch_check_func>(
              dlsym(RTLD_DEFAULT, METRIC_DIRECTOR_PREFETCH_CHECK_SYMBOL)),
          std::memory_order_relaxed);
    }
  }
  return director_probe != nullptr;
}

static void metric_director_set_check_generation(uuid_t in, uint64_t gen) {
  if (director_call == nullptr) {
    director_call = reinterpret_cast<metric_director_set_check_generation_func>(
        dlsym(RTLD_DEFAULT, METRIC_DIRECTOR_SET_CHECK_GENERATION_SYMBOL));
  }
  if (director_call == nullptr) {
    zorvL(zorv_stderr, "runtime resolution of '%s %s%s' failed.\n", "void",
          "metric_director_set_check_generation", "(uuid_t in, uint64_t gen)");
  }
  zorvAssert(director_call != nullptr);
  director_call(in, gen);
}

/* One block per element: the entry, then its text and a NUL. */
static setcrdt_alter_entry_t *new_stored_entry(
    const setcrdt_alter_entry_t *incoming) {
  size_t len = incoming->info.len;
  auto *e = static_cast<setcrdt_alter_entry_t *>(zorv_arena_alloc(
      &store_arena, sizeof(setcrdt_alter_entry_t) + len + 1,
      alignof(setcrdt_alter_entry_t)));
  if (e == nullptr) return nullptr;
  char *text = reinterpret_cast<char *>(e + 1);
  if (len > 0) memcpy(text, incoming->value, len);
  text[len] = '\0';
  e->value = text;
  e->info.seq = incoming->info.seq;
  e->info.word = incoming->info.word;
  // Worked out before the entry is published; the text never changes.
  e->info.tag_shape = tag_completion_shape(text, len);
  return e;
}

/* Merge of one element into its stored copy; true when it changed. At equal
 * sequence numbers an addition wins over a removal. */
static bool merge_info(setcrdt_alter_entry_t *stored,
                       const setcrdt_element_info_t &in) {
  const setcrdt_element_info_t &st = stored->info;
  bool newer = in.seq > st.seq;
  bool revives = in.seq == st.seq && st.tombstone && !in.tombstone;
  if (!newer && !revives) return false;
  // seq is read only by writers; the word is what readers look at.
  stored->info.seq = in.seq;
  std::atomic_ref<uint32_t>(stored->info.word)
      .store(in.word, std::memory_order_release);
  return true;
}

/* The container's key equals key[0, klen), which holds no NUL. strncmp
 * stops at the end of a shorter stored key, so c->key[klen] is read only
 * when the stored key is at least that long. */
static inline bool same_key(const tag_container *c, const char *key,
                            uint32_t klen) {
  return strncmp(c->key, key, klen) == 0 && c->key[klen] == '\0';
}

/* store_check_tag for a key of klen bytes (not necessarily NUL-terminated)
 * whose check_tags hash and tag hash are known. */
static void store_one(const char *key, uint32_t klen, uint32_t key_hash,
                      const setcrdt_alter_entry_t *incoming, uint64_t hash) {
  zorv_memory_begin();
  write_lock();

  tag_container *container = nullptr;
  bool new_container = false;
  void *data = nullptr;
  if (last_container != nullptr && same_key(last_container, key, klen)) {
    container = last_container;
  } else if (zorv_hash_retrieve_hashed(&check_tags, key, static_cast<int>(klen),
                                       key_hash, &data)) {
    container = static_cast<tag_container *>(data);
  } else {
    // Arena memory reads as zero: gen 0 and an empty table.
    container = static_cast<tag_container *>(zorv_arena_alloc(
        &store_arena, sizeof(tag_container) + size_t{klen} + 1,
        alignof(tag_container)));
    if (container == nullptr) {
      write_unlock();
      zorv_memory_end();
      return;
    }
    memcpy(container->key, key, klen);
    container->key[klen] = '\0';
    tag_table_init(&container->tags);
    container->uuid_parsed = zorv_uuid_parse(container->key, container->uuid) == 0;
    new_container = true;
  }

  bool changed = false;
  const size_t len = incoming->info.len;
  if (setcrdt_alter_entry_t *found =
          tag_table_find(&container->tags, incoming->value, len, hash)) {
    changed = merge_info(found, incoming->info);
  } else {
    // New entries lie back to back in the arena: the line a couple of
    // entries ahead is asked for now (for writing), so that a later copy
    // of a text does not wait for it.
    __builtin_prefetch(store_arena._next + 128, 1);
    // A tombstone is stored like a live element, so that an older addition
    // arriving later cannot bring the tag back.
    setcrdt_alter_entry_t *e = new_stored_entry(incoming);
    // Out of memory only: an arena block that did not make it into the
    // table is simply left unused.
    changed = e != nullptr && tag_table_add(&container->tags, e, hash);
  }

  if (!changed) {
    // A new container is only ever left out on memory shortage; its arena
    // block stays unused.
    write_unlock();
    zorv_memory_end();
    return;
  }

  if (new_container && !zorv_hash_store(&check_tags, container->key,
                                        static_cast<int>(klen), container)) {
    // Only when memory ran out (under the write lock nobody else inserts):
    // the container and its one element stay unreachable rather than be
    // freed where a reader might hold them.
    write_unlock();
    zorv_memory_end();
    return;
  }

  last_container = container;
  std::atomic_ref<uint64_t> gen(container->gen);
  uint64_t g = gen.load(std::memory_order_relaxed);
  g = (g == UINT64_MAX) ? 1 : g + 1;
  gen.store(g, std::memory_order_release);

  // The director takes raw UUIDs: a key that is no UUID text is stored but
  // not announced (there is nothing to announce it as). The key was parsed
  // once, when its container was made.
  const bool parsed = container->uuid_parsed != 0;
  if (metric_director_set_check_generation_available() && parsed) {
    metric_director_set_check_generation(container->uuid, g);
  }

  write_unlock();
  zorv_memory_end();
  if (new_container && !parsed) {
    zorvL(controlls, "check '%s' is not a UUID: its tag changes are not announced\n",
          container->key);
  }
}

void store_check_tag(const char *key, const setcrdt_alter_entry_t *incoming) {
  if (key == nullptr || incoming == nullptr) return;
  if (incoming->value == nullptr && incoming->info.len > 0) return;
  const size_t klen = strlen(key);
  if (klen > INT32_MAX) return;
  const uint32_t k = static_cast<uint32_t>(klen);
  store_one(key, k, zorv_hash_key_hash(key, static_cast<int>(k)), incoming,
            tag_hash(incoming->value, incoming->info.len));
}

/* The batch's stages, each a few elements behind the previous one: by the
 * time an element is merged, what it touches has been on its way for the
 * length of several merges. */
// A diff comes when the replica has long left the caches: each stage's
// loads come from memory, page-table entries included, and need the time
// of several merges to arrive.
static constexpr uint32_t kContainerStage = 8;  // elements behind the newest
static constexpr uint32_t kDirectorStage = 24;
static_assert(kStoreBatch - 1 > kDirectorStage, "merge comes last");

/* The check_tags slot. */
static void stage_slot(store_pending *p) {
  p->key_hash = zorv_hash_key_hash(p->key, static_cast<int>(p->klen));
  zorv_hash_prefetch(&check_tags, p->key_hash);
  p->tag_hash = tag_hash(p->entry.value, p->entry.info.len);
}

/* The container the slot names: its header, tag slots and key. */
static void stage_container(store_pending *p) {
  p->hint = static_cast<tag_container *>(
      zorv_hash_peek(&check_tags, p->key, static_cast<int>(p->klen), p->key_hash));
  if (p->hint == nullptr) return;  // most likely a new check
  const char *c = reinterpret_cast<const char *>(p->hint);
  for (size_t off = 0; off < sizeof(tag_container); off += 64) __builtin_prefetch(c + off);
  __builtin_prefetch(c + sizeof(tag_container) + p->klen);
}

/* The director's slot of the check and the stored entry of the tag. */
static void stage_director(store_pending *p) {
  tag_container *c = p->hint;
  if (c == nullptr) return;
  tag_table_prefetch(&c->tags, p->tag_hash);
  if (auto f = director_prefetch.load(std::memory_order_relaxed);
      f != nullptr && c->uuid_parsed) {
    f(c->uuid);
  }
}

static void stage_merge(store_pending *p) {
  store_one(p->key, p->klen, p->key_hash, &p->entry, p->tag_hash);
}

void store_batch_push(store_batch *b, const char *key, uint32_t klen,
                      const setcrdt_alter_entry_t *incoming) {
  if (key == nullptr || incoming == nullptr || klen > INT32_MAX) return;
  if (incoming->value == nullptr && incoming->info.len > 0) return;
  // The stages read containers and tag tables beside the writers.
  zorv_memory_begin();
  const uint32_t n = b->pushed;
  store_pending *p = &b->ring[n % kStoreBatch];
  p->key = key;
  p->klen = klen;
  p->entry = *incoming;
  p->hint = nullptr;
  stage_slot(p);
  if (n >= kContainerStage) stage_container(&b->ring[(n - kContainerStage) % kStoreBatch]);
  if (n >= kDirectorStage) stage_director(&b->ring[(n - kDirectorStage) % kStoreBatch]);
  if (n >= kStoreBatch - 1) {
    stage_merge(&b->ring[(n - (kStoreBatch - 1)) % kStoreBatch]);
    b->applied++;
  }
  b->pushed = n + 1;
  zorv_memory_end();
}

void store_batch_flush(store_batch *b) {
  const uint32_t n = b->pushed;
  zorv_memory_begin();
  for (uint32_t q = b->applied; q < n; q++) {
    if (q + kContainerStage >= n) stage_container(&b->ring[q % kStoreBatch]);
  }
  for (uint32_t q = b->applied; q < n; q++) {
    if (q + kDirectorStage >= n) stage_director(&b->ring[q % kStoreBatch]);
  }
  for (uint32_t q = b->applied; q < n; q++) stage_merge(&b->ring[q % kStoreBatch]);
  zorv_memory_end();
  b->pushed = 0;
  b->applied = 0;
}

extern "C" ZORV_EXPORT uint64_t drask_check_tags_generation_dyn(
    const char *uuid) {
  if (uuid == nullptr) return 0;
  uint64_t g = 0;
  zorv_memory_begin();
  void *data = nullptr;
  if (zorv_hash_retrieve(&check_tags, uuid, static_cast<int>(strlen(uuid)),
                         &data)) {
    g = std::atomic_ref<uint64_t>(static_cast<tag_container *>(data)->gen)
            .load(std::memory_order_acquire);
  }
  zorv_memory_end();
  return g;
}

/* A container, its key, and ten entries of a dozen-byte tag behind it. */
static constexpr size_t kProbableCheckBytes =
    sizeof(tag_container) + 37 + 10 * (kTagEntryHeaderBytes + 16);

tag_container *store_find_container(const char *key, size_t klen) {
  void *data = nullptr;
  if (klen > INT32_MAX) return nullptr;
  const int k = static_cast<int>(klen);
  const uint32_t hash = zorv_hash_key_hash(key, k);
  // A check's entries were stored right behind its container when its
  // tags came together (a full sync), so the container's probable address
  // from the slot lets the container and its entries load at once instead
  // of one after the other (the key compare, then the tag slots, then the
  // entries). Only a hint: the lookup below decides.
  if (const char *hint = static_cast<const char *>(
          zorv_hash_peek(&check_tags, key, k, hash))) {
    const uintptr_t first = reinterpret_cast<uintptr_t>(hint) & ~uintptr_t{63};
    for (uintptr_t line = first; line < reinterpret_cast<uintptr_t>(hint) + kProbableCheckBytes;
         line += 64)
      __builtin_prefetch(reinterpret_cast<const void *>(line));
  }
  if (!zorv_hash_retrieve_hashed(&check_tags, key, k, hash, &data)) return nullptr;
  return static_cast<tag_container *>(data);
}

extern "C" ZORV_EXPORT void drask_check_tags_each_dyn(
    const char *uuid, drask_check_tags_each_func_t f, void *closure) {
  if (uuid == nullptr || f == nullptr) return;
  zorv_memory_begin();
  void *data = nullptr;
  if (zorv_hash_retrieve(&check_tags, uuid, static_cast<int>(strlen(uuid)),
                         &data)) {
    tag_table_each(&static_cast<tag_container *>(data)->tags,
                   [&](setcrdt_alter_entry_t *e) {
                     uint32_t word = std::atomic_ref<uint32_t>(e->info.word)
                                         .load(std::memory_order_acquire);
                     if ((word & 1u) == 0) f(closure, e->value);
                   });
  }
  zorv_memory_end();
}
