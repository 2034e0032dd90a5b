// Readers beside writers on one hash table. Shared by the AddressSanitizer
// test (a slot array or value freed too early is a heap-use-after-free) and
// the ThreadSanitizer test (a publication without release/acquire ordering is
// a race).
#ifndef ZORV_TESTS_HASH_SCENARIOS_H
#define ZORV_TESTS_HASH_SCENARIOS_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zorv/hash.h"
#include "zorv/memory.h"

namespace zorv_test {

constexpr uint64_t kMagic = 0x5a6f72764b657921ull;

// A value names the key it was stored under, so a reader can tell a value
// that belongs to another key (or to freed memory) from the right one.
struct Value {
  uint64_t magic;
  uint32_t key_index;
  uint32_t version;
};

inline Value *new_value(uint32_t key_index, uint32_t version) {
  return new (zorv_memory_safe_malloc(sizeof(Value))) Value{kMagic, key_index, version};
}

inline void release_value(void *p) { zorv_memory_safe_free(p); }
inline void release_key(void *p) { zorv_memory_safe_free(p); }

inline char *new_key(uint32_t index) {
  char *k = static_cast<char *>(zorv_memory_safe_malloc(16));
  std::snprintf(k, 16, "key-%08u", index);
  return k;
}
constexpr int kKeyLen = 12;  // "key-" and eight digits

struct ReaderStats {
  std::atomic<uint64_t> lookups{0}, walks{0}, errors{0};
};

// Checks one pair seen by a reader; counts what is wrong.
inline void check_pair(const char *key, int klen, void *data, ReaderStats &stats) {
  auto *v = static_cast<Value *>(data);
  char expected[16];
  std::snprintf(expected, sizeof expected, "key-%08u", v->key_index);
  if (v->magic != kMagic || klen != kKeyLen || std::memcmp(key, expected, kKeyLen) != 0)
    stats.errors.fetch_add(1);
}

// One writer inserts, replaces (new value, sometimes a new key pointer with
// the same text), deletes and re-inserts, so the table grows, shrinks and
// rebuilds many times. Keys below `stable` are inserted first and never
// touched again: readers must always find them. Readers run lookups and
// lock-free walks inside brackets.
inline void run_readers_beside_writer(int readers, int rounds, uint32_t keys,
                                      uint32_t stable) {
  zorv_hash_table table{};  // zero-filled: a valid empty table
  for (uint32_t i = 0; i < stable; ++i)
    ASSERT_EQ(zorv_hash_store(&table, new_key(i), kKeyLen, new_value(i, 0)), 1);

  std::atomic<bool> stop{false};
  ReaderStats stats;
  std::atomic<uint64_t> stable_missing{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < readers; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 rng(static_cast<uint32_t>(r) + 1);
      char probe[16];
      while (!stop.load(std::memory_order_acquire)) {
        uint32_t index = rng() % keys;
        std::snprintf(probe, sizeof probe, "key-%08u", index);
        zorv_memory_begin();
        void *data = nullptr;
        if (zorv_hash_retrieve(&table, probe, kKeyLen, &data)) {
          auto *v = static_cast<Value *>(data);
          if (v->magic != kMagic || v->key_index != index) stats.errors.fetch_add(1);
        } else if (index < stable) {
          stable_missing.fetch_add(1);
        }
        zorv_memory_end();
        stats.lookups.fetch_add(1, std::memory_order_relaxed);

        if (rng() % 64 == 0) {
          zorv_memory_begin();
          zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
          const char *k;
          int kl;
          uint32_t stable_seen = 0;
          while (zorv_hash_adv_spmc(&table, &it, &k, &kl, &data)) {
            check_pair(k, kl, data, stats);
            if (static_cast<Value *>(data)->key_index < stable) ++stable_seen;
          }
          zorv_memory_end();
          if (stable_seen != stable) stable_missing.fetch_add(1);
          stats.walks.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
  }

  std::mt19937 rng(99);
  uint32_t version = 1;
  for (int round = 0; round < rounds; ++round) {
    // Grow: insert the whole key range (present ones are refused).
    for (uint32_t i = stable; i < keys; ++i) {
      char *k = new_key(i);
      Value *v = new_value(i, version);
      if (!zorv_hash_store(&table, k, kKeyLen, v)) {
        zorv_memory_safe_free(k);
        zorv_memory_safe_free(v);
      }
    }
    // Replace: new values, and every other time a new key pointer too.
    for (uint32_t n = 0; n < keys / 2; ++n) {
      uint32_t i = stable + rng() % (keys - stable);
      char *k = new_key(i);
      int rc = zorv_hash_replace(&table, k, kKeyLen, new_value(i, ++version),
                                 release_key, release_value);
      if (rc != 2) stats.errors.fetch_add(1);
    }
    // Shrink: delete most of the non-stable keys.
    for (uint32_t i = stable; i < keys; ++i) {
      if (rng() % 8 == 0) continue;
      char probe[16];
      std::snprintf(probe, sizeof probe, "key-%08u", i);
      zorv_hash_delete(&table, probe, kKeyLen, release_key, release_value);
    }
  }
  // Give the readers a moment on the final table.
  uint64_t seen = stats.lookups.load();
  while (stats.lookups.load() < seen + 1000) std::this_thread::yield();
  stop.store(true, std::memory_order_release);
  for (auto &t : threads) t.join();

  EXPECT_EQ(stats.errors.load(), 0u);
  EXPECT_EQ(stable_missing.load(), 0u);
  EXPECT_GT(stats.lookups.load(), 0u);
  zorv_hash_destroy(&table, release_key, release_value);
  zorv_memory_drain();
}

// Several writers at once on a table with a writer lock, readers beside
// them. Each writer owns a disjoint key range and ends with all its keys
// present, so the final size is exact.
inline void run_locked_writers(zorv_hash_lock_mode_t mode, int writers,
                               uint32_t keys_per_writer) {
  zorv_hash_table table;
  zorv_hash_init_locks(&table, 16, mode);
  std::atomic<bool> stop{false};
  ReaderStats stats;
  std::thread reader([&] {
    while (!stop.load(std::memory_order_acquire)) {
      zorv_memory_begin();
      zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
      const char *k;
      int kl;
      void *data;
      while (zorv_hash_adv_spmc(&table, &it, &k, &kl, &data)) check_pair(k, kl, data, stats);
      zorv_memory_end();
      stats.walks.fetch_add(1, std::memory_order_relaxed);
    }
  });
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      uint32_t base = static_cast<uint32_t>(w) * keys_per_writer;
      for (int pass = 0; pass < 3; ++pass) {
        for (uint32_t i = base; i < base + keys_per_writer; ++i) {
          int rc = zorv_hash_replace(&table, new_key(i), kKeyLen, new_value(i, 1),
                                     release_key, release_value);
          if (rc != (pass == 0 ? 1 : 2)) stats.errors.fetch_add(1);
        }
        if (pass < 2) {
          for (uint32_t i = base; i < base + keys_per_writer; i += 2) {
            char probe[16];
            std::snprintf(probe, sizeof probe, "key-%08u", i);
            if (!zorv_hash_delete(&table, probe, kKeyLen, release_key, release_value))
              stats.errors.fetch_add(1);
          }
          for (uint32_t i = base; i < base + keys_per_writer; i += 2) {
            if (zorv_hash_store(&table, new_key(i), kKeyLen, new_value(i, 2)) != 1)
              stats.errors.fetch_add(1);
          }
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  stop.store(true, std::memory_order_release);
  reader.join();
  EXPECT_EQ(stats.errors.load(), 0u);
  EXPECT_EQ(zorv_hash_size(&table), writers * static_cast<int>(keys_per_writer));
  zorv_hash_destroy(&table, release_key, release_value);
  zorv_memory_drain();
}

}  // namespace zorv_test

#endif
