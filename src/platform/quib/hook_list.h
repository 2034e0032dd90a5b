// An append-only list of named callbacks, walked without a lock.
//
// Hooks are called on the per-metric and per-message paths, so invocation
// takes no lock and allocates nothing: entries are published by one release
// store of the previous tail's `next` and are never removed or freed.
// Registration (rare: module start-up) is serialised by a mutex.
#ifndef QUIB_HOOK_LIST_H
#define QUIB_HOOK_LIST_H

#include <atomic>
#include <mutex>
#include <string>

namespace quib {

template <typename Fn>
class HookList {
 public:
  struct Entry {
    std::string name;
    Fn fn;
    void *closure;
    std::atomic<Entry *> next{nullptr};
  };

  void add(const char *name, Fn fn, void *closure) {
    auto *e = new Entry{name ? name : "", fn, closure};
    std::lock_guard lock(mu_);
    std::atomic<Entry *> *slot = tail_ ? &tail_->next : &head_;
    slot->store(e, std::memory_order_release);
    tail_ = e;
  }

  // Calls visit(entry) in registration order until it returns false.
  template <typename Visit>
  void walk(Visit visit) const {
    for (Entry *e = head_.load(std::memory_order_acquire); e;
         e = e->next.load(std::memory_order_acquire))
      if (!visit(*e)) return;
  }

 private:
  std::atomic<Entry *> head_{nullptr};
  Entry *tail_ = nullptr;  // guarded by mu_
  std::mutex mu_;
};

}  // namespace quib

#endif
