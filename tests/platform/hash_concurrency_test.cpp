// Hash tables under ThreadSanitizer: lock-free readers and walks beside a
// writer that inserts, replaces, deletes and resizes, and several writers
// under the writer lock.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/hash_scenarios.h"

namespace {

TEST(HashConcurrency, ReadersBesideAWriterThatResizes) {
  zorv_test::run_readers_beside_writer(2, 4, 2000, 100);
}

TEST(HashConcurrency, SeveralWritersUnderEachLockMode) {
  zorv_test::run_locked_writers(ZORV_HASH_LOCK_MODE_MUTEX, 3, 300);
  zorv_test::run_locked_writers(ZORV_HASH_LOCK_MODE_SPIN, 3, 300);
}

// A walk beside inserts that grow the table many times yields every pair
// that was there before it began exactly once.
TEST(HashConcurrency, WalkYieldsEveryStablePairExactlyOnceDuringInserts) {
  constexpr uint32_t kStable = 300, kAdded = 6000;
  zorv_hash_table table{};
  for (uint32_t i = 0; i < kStable; ++i)
    zorv_hash_store(&table, zorv_test::new_key(i), zorv_test::kKeyLen, zorv_test::new_value(i, 0));

  std::atomic<bool> done{false};
  std::atomic<uint64_t> bad_walks{0}, walks{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      std::vector<int> seen(kStable + kAdded);
      while (!done.load(std::memory_order_acquire) || walks.load() < 4) {
        std::fill(seen.begin(), seen.end(), 0);
        zorv_memory_begin();
        zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
        const char *k;
        int kl;
        void *d;
        while (zorv_hash_adv_spmc(&table, &it, &k, &kl, &d))
          ++seen[static_cast<zorv_test::Value *>(d)->key_index];
        zorv_memory_end();
        bool ok = true;
        for (uint32_t i = 0; i < kStable; ++i) ok &= seen[i] == 1;
        // Pairs added meanwhile are never deleted here, so none twice.
        for (uint32_t i = kStable; i < kStable + kAdded; ++i) ok &= seen[i] <= 1;
        if (!ok) bad_walks.fetch_add(1);
        walks.fetch_add(1);
      }
    });
  }
  for (uint32_t i = kStable; i < kStable + kAdded; ++i) {
    zorv_hash_store(&table, zorv_test::new_key(i), zorv_test::kKeyLen, zorv_test::new_value(i, 0));
    if (i % 512 == 0) std::this_thread::yield();
  }
  done.store(true, std::memory_order_release);
  for (auto &t : readers) t.join();
  EXPECT_EQ(bad_walks.load(), 0u);
  EXPECT_GE(walks.load(), 4u);
  EXPECT_EQ(zorv_hash_size(&table), static_cast<int>(kStable + kAdded));
  zorv_hash_destroy(&table, zorv_test::release_key, zorv_test::release_value);
  zorv_memory_drain();
}

}  // namespace
