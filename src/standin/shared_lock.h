// A reader/writer lock that lets a waiting writer in before new readers.
// std::shared_mutex on glibc prefers readers: with a few streams reading
// the database piece after piece, an admin change could wait for seconds.
// Readers here never take the lock twice on one thread, which the
// writer-preferring kind requires.
#pragma once

#include <pthread.h>

namespace standin {

class WriterPreferringMutex {
 public:
  WriterPreferringMutex() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~WriterPreferringMutex() { pthread_rwlock_destroy(&lock_); }
  WriterPreferringMutex(const WriterPreferringMutex &) = delete;
  WriterPreferringMutex &operator=(const WriterPreferringMutex &) = delete;

  // The names std::unique_lock and std::shared_lock expect.
  void lock() { pthread_rwlock_wrlock(&lock_); }
  void unlock() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

}  // namespace standin
