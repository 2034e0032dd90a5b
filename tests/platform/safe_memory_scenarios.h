// Readers beside a writer that republishes a shared record and hands the old
// one to zorv_memory_safe_free. Shared by the AddressSanitizer test (a read
// after a premature free is reported as heap-use-after-free) and the
// ThreadSanitizer test (a free not ordered after the readers' brackets is a
// reported race).
#ifndef ZORV_TESTS_SAFE_MEMORY_SCENARIOS_H
#define ZORV_TESTS_SAFE_MEMORY_SCENARIOS_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "zorv/memory.h"

namespace zorv_test {

// Every field holds the same number; a reader that sees them differ has
// read a record that was freed and reused, or half written.
struct Record {
  uint64_t a, b, c, d;
};

inline Record *new_record(uint64_t n) {
  void *mem = zorv_memory_safe_malloc(sizeof(Record));
  return new (mem) Record{n, n, n, n};
}

inline void run_republish_scenario(int readers, int updates) {
  std::atomic<Record *> shared{new_record(0)};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> torn{0}, reads{0};

  std::vector<std::thread> threads;
  for (int r = 0; r < readers; ++r) {
    threads.emplace_back([&] {
      // Not registered explicitly: the first bracket does it.
      while (!stop.load(std::memory_order_acquire)) {
        zorv_memory_begin();
        zorv_memory_begin();  // nested brackets are part of the contract
        Record *rec = shared.load(std::memory_order_acquire);
        zorv_memory_end();
        uint64_t a = rec->a, b = rec->b, c = rec->c, d = rec->d;
        if (a != b || b != c || c != d) torn.fetch_add(1);
        zorv_memory_end();
        reads.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (int i = 1; i <= updates; ++i) {
    Record *old = shared.exchange(new_record(static_cast<uint64_t>(i)),
                                  std::memory_order_acq_rel);
    zorv_memory_safe_free(old);
  }
  // Let the readers run against the last record for a moment.
  while (reads.load() < static_cast<uint64_t>(readers) * 10) std::this_thread::yield();
  stop.store(true, std::memory_order_release);
  for (auto &t : threads) t.join();
  zorv_memory_safe_free(shared.load());
  zorv_memory_drain();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_GT(reads.load(), 0u);
}

}  // namespace zorv_test

#endif
