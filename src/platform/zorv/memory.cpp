// Safe memory: liburcu (memb flavour) read brackets and deferred frees.
//
// zorv_memory_safe_malloc is plain malloc: the check tag store keeps millions
// of small entries from it, so an allocation carries no RCU header. The
// rcu_head a deferred free needs is allocated only when the free is asked
// for; if that small allocation fails we wait for a grace period ourselves
// (outside a bracket) or park the pointer until someone can.

#include "zorv/memory.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "memory_internal.h"

namespace zorv::memory {

constinit thread_local bool t_registered __attribute__((tls_model("initial-exec"))) = false;
constinit thread_local uint32_t t_depth __attribute__((tls_model("initial-exec"))) = 0;
#if !defined(__SANITIZE_THREAD__)
constinit thread_local struct urcu_reader *t_reader __attribute__((tls_model("initial-exec"))) = nullptr;
#endif

#if defined(__SANITIZE_THREAD__)
char tsan_grace_sync;
#endif

namespace {

[[noreturn]] void die(const char *what) {
  std::fprintf(stderr, "[FATAL] safe memory: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

void unregister_current_thread() {
  if (!t_registered) return;
  if (t_depth != 0) die("thread unregistered inside a zorv_memory_begin/end bracket");
  rcu_unregister_thread();
  t_registered = false;
}

// Its destructor runs when a thread that was registered on first use ends.
// Touched only from register_current_thread, so the hot path never goes
// through the TLS wrapper that a non-trivial thread-local needs.
struct ThreadExitHook {
  bool armed = false;
  ~ThreadExitHook() {
    if (armed) unregister_current_thread();
  }
};
thread_local ThreadExitHook t_exit_hook;

struct DeferredFree {
  struct rcu_head head;
  void *p;
};

void run_deferred_free(struct rcu_head *head) {
  tsan_acquire_grace();
  DeferredFree *node = caa_container_of(head, DeferredFree, head);
  std::free(node->p);
  std::free(node);
}

std::atomic<int> g_fail_node_allocs{0};

DeferredFree *alloc_node() {
  if (g_fail_node_allocs.load(std::memory_order_relaxed) > 0 &&
      g_fail_node_allocs.fetch_sub(1, std::memory_order_relaxed) > 0)
    return nullptr;
  return static_cast<DeferredFree *>(std::malloc(sizeof(DeferredFree)));
}

// Pointers whose deferral could not get a node while their thread sat inside
// a bracket (where waiting for a grace period would wait for ourselves).
// They are freed after the next grace period that a thread outside any
// bracket waits for. Bounded, and allocated up front, so parking itself
// never needs memory.
constexpr size_t kParkCapacity = 1024;
std::mutex g_park_mutex;
void *g_parked[kParkCapacity];
size_t g_parked_count = 0;
std::atomic<bool> g_have_parked{false};

// Frees everything parked so far. Must run outside any bracket.
void flush_parked() {
  if (!g_have_parked.load(std::memory_order_acquire)) return;
  std::vector<void *> batch;
  {
    std::lock_guard<std::mutex> lock(g_park_mutex);
    // The vector needs memory; when there is none, leave them parked.
    try {
      batch.assign(g_parked, g_parked + g_parked_count);
    } catch (const std::bad_alloc &) {
      return;
    }
    g_parked_count = 0;
    g_have_parked.store(false, std::memory_order_release);
  }
  synchronize_rcu();
  tsan_acquire_grace();
  for (void *p : batch) std::free(p);
}

void park(void *p) {
  std::lock_guard<std::mutex> lock(g_park_mutex);
  if (g_parked_count == kParkCapacity) {
    // Out of memory and of parking room: losing this block is the only
    // choice that neither frees under a reader nor deadlocks.
    std::fprintf(stderr, "safe memory: out of memory, leaking %p\n", p);
    return;
  }
  g_parked[g_parked_count++] = p;
  g_have_parked.store(true, std::memory_order_release);
}

}  // namespace

void register_current_thread() {
  if (t_registered) return;
  rcu_register_thread();
#if !defined(__SANITIZE_THREAD__)
  t_reader = &URCU_TLS(urcu_memb_reader);
#endif
  t_registered = true;
  t_exit_hook.armed = true;
}

void fail_next_node_allocations(int n) {
  g_fail_node_allocs.store(n, std::memory_order_relaxed);
}

}  // namespace zorv::memory

using namespace zorv::memory;

extern "C" {

void zorv_memory_init_thread(void) { register_current_thread(); }

void zorv_memory_fini_thread(void) { unregister_current_thread(); }

void zorv_memory_begin(void) { begin(); }

void zorv_memory_end(void) {
  if (t_depth == 0) die("zorv_memory_end without a matching zorv_memory_begin");
  end();
}

void *zorv_memory_safe_malloc(size_t size) { return std::malloc(size); }

void zorv_memory_safe_free(void *p) {
  if (p == nullptr) return;
  ensure_registered();  // call_rcu takes a read lock internally
  if (DeferredFree *node = alloc_node()) {
    node->p = p;
    tsan_release_grace();  // orders our use of p and the node before the free
    call_rcu(&node->head, run_deferred_free);
    return;
  }
  tsan_release_grace();
  if (t_depth == 0) {
    synchronize_rcu();
    tsan_acquire_grace();
    std::free(p);
    flush_parked();
    return;
  }
  park(p);
}

void zorv_memory_drain(void) {
  if (t_depth != 0) die("zorv_memory_drain inside a zorv_memory_begin/end bracket");
  ensure_registered();
  flush_parked();
  rcu_barrier();
  // Every bracket that was open when a deferred free was requested has
  // closed, so the caller may now free what readers held, as the deferred
  // frees do (callers that retire memory by other means rely on this).
  tsan_acquire_grace();
}

}  // extern "C"
