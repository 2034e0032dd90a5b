/* Inside libzorv only: the writer lock of a hash table in a locking mode.
 *
 * One lock per table, held in the table's 32-bit _reserved word, so a
 * locked table costs no allocation and the lock survives zorv_hash_destroy.
 * Readers never take it. The sleeping form is the classic three-state futex
 * mutex (0 free, 1 held, 2 held with waiters) through C++20 atomic wait. */
#ifndef ZORV_HASH_LOCK_H
#define ZORV_HASH_LOCK_H

#include <atomic>
#include <cstdint>

#include "zorv/hash.h"

namespace zorv::hash {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

class WriterLock {
 public:
  explicit WriterLock(zorv_hash_table *table)
      : mode_(static_cast<zorv_hash_lock_mode_t>(table->_mode)),
        word_(table->_reserved) {
    if (mode_ == ZORV_HASH_LOCK_MODE_MUTEX) lock_sleeping();
    else if (mode_ == ZORV_HASH_LOCK_MODE_SPIN) lock_spinning();
  }
  ~WriterLock() {
    if (mode_ == ZORV_HASH_LOCK_MODE_MUTEX) unlock_sleeping();
    else if (mode_ == ZORV_HASH_LOCK_MODE_SPIN) word_.store(0, std::memory_order_release);
  }
  WriterLock(const WriterLock &) = delete;
  WriterLock &operator=(const WriterLock &) = delete;

 private:
  void lock_spinning() {
    while (word_.exchange(1, std::memory_order_acquire) != 0) {
      while (word_.load(std::memory_order_relaxed) != 0) cpu_relax();
    }
  }
  void lock_sleeping() {
    uint32_t c = 0;
    if (word_.compare_exchange_strong(c, 1, std::memory_order_acquire)) return;
    if (c != 2) c = word_.exchange(2, std::memory_order_acquire);
    while (c != 0) {
      word_.wait(2, std::memory_order_relaxed);
      c = word_.exchange(2, std::memory_order_acquire);
    }
  }
  void unlock_sleeping() {
    if (word_.fetch_sub(1, std::memory_order_release) != 1) {
      word_.store(0, std::memory_order_release);
      word_.notify_one();
    }
  }

  zorv_hash_lock_mode_t mode_;
  std::atomic_ref<uint32_t> word_;
};

}  // namespace zorv::hash

#endif
