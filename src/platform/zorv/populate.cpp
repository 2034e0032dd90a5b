// One background thread for every arena, started at the first request.
// Requests wait in a small ring; the thread takes them one at a time and
// faults the range in with MADV_POPULATE_WRITE, which zeroes the pages (huge
// pages where the range has been advised so) without writing their bytes.

#include "populate.h"

#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zorv::populate {
namespace {

struct Range {
  char *from, *to;
};

// Four stretches in flight are plenty: one writer fills them far slower than
// the thread populates; more would only add resident memory nobody uses yet.
constexpr unsigned kRing = 4;

struct Worker {
  std::mutex mu;
  std::condition_variable wake;  // a request arrived
  std::condition_variable idle;  // the range in progress is done
  Range ring[kRing];
  unsigned head = 0, count = 0;
  bool busy = false;  // a range has been taken and is being populated
};

std::atomic<bool> supported{true};
std::atomic<Worker *> started{nullptr};

// Never destroyed: the thread waits on it for the life of the process, and a
// static destructor at exit would pull it out from under the thread.
Worker *worker() {
  static Worker *w = [] {
    auto *created = new Worker;
    std::thread([created] {
      pthread_setname_np(pthread_self(), "zorv-populate");
      Worker &w = *created;
      std::unique_lock lock(w.mu);
      for (;;) {
        w.wake.wait(lock, [&] { return w.count != 0; });
        const Range r = w.ring[w.head];
        w.head = (w.head + 1) % kRing;
        w.count--;
        w.busy = true;
        lock.unlock();
        if (madvise(r.from, static_cast<size_t>(r.to - r.from),
                    MADV_POPULATE_WRITE) != 0 &&
            errno == EINVAL)
          supported.store(false, std::memory_order_relaxed);
        lock.lock();
        w.busy = false;
        w.idle.notify_all();
      }
    }).detach();
    started.store(created, std::memory_order_release);
    return created;
  }();
  return w;
}

}  // namespace

bool available() { return supported.load(std::memory_order_relaxed); }

void ask(char *from, char *to) {
  if (from >= to || !available()) return;
  Worker *w = worker();
  {
    std::lock_guard lock(w->mu);
    if (w->count == kRing) return;  // behind already: the writer faults
    w->ring[(w->head + w->count) % kRing] = Range{from, to};
    w->count++;
  }
  w->wake.notify_one();
}

void quiesce() {
  Worker *w = started.load(std::memory_order_acquire);
  if (w == nullptr) return;  // nothing was ever asked
  std::unique_lock lock(w->mu);
  w->count = 0;
  w->idle.wait(lock, [&] { return !w->busy; });
}

}  // namespace zorv::populate
