// The configuration tree's re-entrant reader/writer lock (see conf_lock.h).
#include "conf_lock.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "zorv/log.h"

namespace zorv::conf {
namespace {

struct SharedState {
  std::mutex mu;
  std::condition_variable cv;
  int readers = 0;          // threads counted as readers (one each)
  bool writing = false;     // some thread holds the write lock
  int waiting_writers = 0;  // new readers yield to them (no writer starvation)
  bool upgrading = false;   // a reader is waiting to become the writer
};

SharedState &shared() {
  static SharedState *s = new SharedState;  // outlives every static user
  return *s;
}

// Per-thread depth of holds. `counted` says whether this thread is one of
// the shared `readers`: a read taken inside this thread's own write is not
// counted until the write ends while the read is still held.
thread_local int my_reads = 0;
thread_local int my_writes = 0;
thread_local bool counted = false;

}  // namespace

void lock_read() {
  if (my_reads > 0 || my_writes > 0) {
    ++my_reads;
    return;
  }
  SharedState &s = shared();
  std::unique_lock lk(s.mu);
  s.cv.wait(lk, [&] { return !s.writing && s.waiting_writers == 0 && !s.upgrading; });
  ++s.readers;
  counted = true;
  my_reads = 1;
}

void unlock_read() {
  if (my_reads <= 0) {
    zorvL(zorv_error, "configuration lock: read released without being held\n");
    return;
  }
  if (--my_reads > 0 || !counted) return;
  SharedState &s = shared();
  {
    std::lock_guard lk(s.mu);
    --s.readers;
    counted = false;
  }
  s.cv.notify_all();
}

bool lock_write() {
  if (my_writes > 0) {
    ++my_writes;
    return true;
  }
  SharedState &s = shared();
  std::unique_lock lk(s.mu);
  if (counted) {
    // Upgrade: we stay a reader while we wait for the others to leave.
    if (s.upgrading) return false;
    s.upgrading = true;
    s.cv.wait(lk, [&] { return !s.writing && s.readers == 1; });
    s.upgrading = false;
  } else {
    ++s.waiting_writers;
    s.cv.wait(lk, [&] { return !s.writing && s.readers == 0 && !s.upgrading; });
    --s.waiting_writers;
  }
  s.writing = true;
  my_writes = 1;
  return true;
}

void unlock_write() {
  if (my_writes <= 0) {
    zorvL(zorv_error, "configuration lock: write released without being held\n");
    return;
  }
  if (--my_writes > 0) return;
  SharedState &s = shared();
  {
    std::lock_guard lk(s.mu);
    s.writing = false;
    // Reads taken inside the write are still held: this thread now reads
    // like any other, so a writer must wait for it.
    if (my_reads > 0 && !counted) {
      ++s.readers;
      counted = true;
    }
  }
  s.cv.notify_all();
}

bool held_by_me() { return my_reads > 0 || my_writes > 0; }

}  // namespace zorv::conf
