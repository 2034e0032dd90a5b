// The configuration tree's re-entrant reader/writer lock.
//
// One lock guards the whole tree. A thread may take it again while it holds
// it in either mode (a nested read, a read inside its own write, a nested
// write), so a REST handler can hold a section for writing and still call
// every getter. Holds are counted per thread; the shared state sees one
// reader per reading thread, whatever its depth, which is what keeps nested
// reads from deadlocking behind a waiting writer.
//
// Upgrading (asking for write while holding only reads) waits until this
// thread is the last reader. Two threads upgrading at once would wait for
// each other forever, so the second upgrade is refused instead (the getter
// then answers "not found" and the refusal is logged).
#ifndef ZORV_CONF_LOCK_H
#define ZORV_CONF_LOCK_H

namespace zorv::conf {

void lock_read();
void unlock_read();
// false when the write lock cannot be granted without a deadlock (see above).
bool lock_write();
void unlock_write();

// Whether the calling thread holds the lock in any mode (for assertions).
bool held_by_me();

class ReadGuard {
 public:
  ReadGuard() { lock_read(); }
  ~ReadGuard() { unlock_read(); }
  ReadGuard(const ReadGuard &) = delete;
  ReadGuard &operator=(const ReadGuard &) = delete;
};

class WriteGuard {
 public:
  WriteGuard() : ok_(lock_write()) {}
  ~WriteGuard() {
    if (ok_) unlock_write();
  }
  bool ok() const { return ok_; }
  WriteGuard(const WriteGuard &) = delete;
  WriteGuard &operator=(const WriteGuard &) = delete;

 private:
  bool ok_;
};

}  // namespace zorv::conf

#endif
