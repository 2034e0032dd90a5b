/* Hash tables keyed by byte strings.
 *
 * Concurrency contract: any number of readers (zorv_hash_retrieve,
 * zorv_hash_adv_spmc) may run without a lock beside one writer. Tables
 * initialised with zorv_hash_init_locks additionally admit several writers
 * at once. The table itself keeps readers safe across its own resizes (old
 * slot arrays are reclaimed through the safe-memory layer); what a reader does
 * with a key or value it fetched is the caller's business: release functions
 * run synchronously inside the writing call, so a caller that deletes or
 * replaces values that readers may still hold passes a deferred release such
 * as zorv_memory_safe_free.
 *
 * Keys are not copied: the table stores the caller's pointer and length, and
 * the caller keeps the key alive until it is removed (often the key lives
 * inside the value). A zero-filled table is a valid empty table. */
#ifndef ZORV_HASH_H
#define ZORV_HASH_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef void (*ZorvHashFreeFunc)(void *);

typedef enum {
  ZORV_HASH_LOCK_MODE_NONE = 0,  /* one writer at a time (the caller's duty) */
  ZORV_HASH_LOCK_MODE_MUTEX = 1, /* several writers; waiting writers sleep */
  ZORV_HASH_LOCK_MODE_SPIN = 2   /* several writers; waiting writers spin */
} zorv_hash_lock_mode_t;

/* Opaque to callers; sized so that a table with its slots stays small (a
 * table per check exists in the millions). */
typedef struct zorv_hash_table {
  void *_slots;  /* published slot array, swapped on resize */
  uint32_t _count;      /* pairs present */
  uint32_t _tombstones; /* deleted slots not yet reclaimed */
  uint32_t _mode;     /* zorv_hash_lock_mode_t */
  uint32_t _reserved; /* the writer lock word in a locking mode */
} zorv_hash_table;

/* Iterator state; start from a zero-filled value (ZORV_HASH_ITER_ZERO). */
typedef struct zorv_hash_iter {
  void *_slots;
  uint32_t _index;
  uint32_t _reserved;
} zorv_hash_iter;
#define ZORV_HASH_ITER_ZERO {0, 0, 0}

void zorv_hash_init(zorv_hash_table *table);
/* Initialises an empty table whose writers take a lock (mode MUTEX or SPIN;
 * NONE gives a plain table). There is one writer lock per table: buckets,
 * the number of lock stripes a caller would like, is accepted and ignored,
 * since writes are short and a lock array per table would outweigh most
 * tables. Readers never lock. */
void zorv_hash_init_locks(zorv_hash_table *table, int buckets,
                          zorv_hash_lock_mode_t mode);

/* Inserts only when the key is absent: 1 inserted, 0 present (nothing
 * changed). */
int zorv_hash_store(zorv_hash_table *table, const void *key, int klen,
                    void *data);
/* Inserts or replaces: 1 for a new key, 2 when an existing pair was replaced
 * (the old key and value then go to keyfree and datafree when given, after
 * the new pair is visible); 0 on failure. */
int zorv_hash_replace(zorv_hash_table *table, const void *key, int klen,
                      void *data, ZorvHashFreeFunc keyfree,
                      ZorvHashFreeFunc datafree);
/* Inserts or replaces, handing the old pair back instead of releasing it:
 * 1 for a new key, 2 when the key existed (*oldkey and *olddata receive the
 * previous pair when those pointers are given); 0 on failure. */
int zorv_hash_set(zorv_hash_table *table, const void *key, int klen,
                  void *data, void **oldkey, void **olddata);
/* 1 and *data set when found, else 0. Lock-free. */
int zorv_hash_retrieve(zorv_hash_table *table, const void *key, int klen,
                       void **data);
/* Looks key up and, when found, copies size bytes found offset bytes into
 * its value to out, all inside the table's own read bracket: for a reader
 * that wants one field of a value that writers replace whole and release
 * through zorv_memory_safe_free, one call with no bracket of its own. 1
 * found (out filled), 0 absent (out untouched). Lock-free. */
int zorv_hash_retrieve_copy(zorv_hash_table *table, const void *key, int klen,
                            size_t offset, void *out, size_t size);
/* Lookups in a big table are cache and TLB misses that a caller with many
 * keys at hand can overlap: hash each key once (zorv_hash_key_hash), start
 * loading its slots (zorv_hash_prefetch), later take the value the key
 * probably maps to (zorv_hash_peek: the first live slot whose hash and
 * length match, its key not compared; a hint to prefetch, never a result),
 * and finally look up with the hash already known. Peek is lock-free like
 * retrieve; its value is only as safe to touch as retrieve's would be. */
uint32_t zorv_hash_key_hash(const void *key, int klen);
void zorv_hash_prefetch(zorv_hash_table *table, uint32_t hash);
void *zorv_hash_peek(zorv_hash_table *table, const void *key, int klen,
                     uint32_t hash);
/* zorv_hash_retrieve with the key's zorv_hash_key_hash. */
int zorv_hash_retrieve_hashed(zorv_hash_table *table, const void *key,
                              int klen, uint32_t hash, void **data);
/* 1 when a pair was removed (and released through the given functions), 0
 * when the key was absent. */
int zorv_hash_delete(zorv_hash_table *table, const void *key, int klen,
                     ZorvHashFreeFunc keyfree, ZorvHashFreeFunc datafree);
/* Releases every pair and the table's own memory; the table is then empty
 * and may be used again. Not safe beside readers. */
void zorv_hash_destroy(zorv_hash_table *table, ZorvHashFreeFunc keyfree,
                       ZorvHashFreeFunc datafree);
int zorv_hash_size(zorv_hash_table *table);

/* Iteration: each call yields the next pair and returns 1, or returns 0 at
 * the end. zorv_hash_adv is for a table no one writes during the walk;
 * zorv_hash_adv_spmc may run beside a writer (call it inside a
 * zorv_memory_begin/end bracket): it walks one consistent slot array, yields
 * every pair present for the whole walk exactly once, and may or may not
 * yield pairs added or removed meanwhile. */
int zorv_hash_adv(zorv_hash_table *table, zorv_hash_iter *iter,
                  const char **key, int *klen, void **data);
int zorv_hash_adv_spmc(zorv_hash_table *table, zorv_hash_iter *iter,
                       const char **key, int *klen, void **data);

ZORV_EXTERN_C_END

#endif
