/* Inside libzorv only: the safe-memory reader bracket as inline code, so
 * that the hash table's lock-free lookups pay a thread-local test and the
 * liburcu read lock, not two calls through the PLT.
 *
 * A thread takes part in RCU only while it is registered with liburcu (the
 * memb flavour ignores the read locks of unregistered threads, which would
 * make every deferred free unsafe). Threads we did not start (libmicrohttpd's
 * pool, libcurl's resolver, test threads) are registered on their first
 * bracket and unregistered by a thread-local destructor when they end. */
#ifndef ZORV_MEMORY_INTERNAL_H
#define ZORV_MEMORY_INTERNAL_H

#if defined(__SANITIZE_THREAD__)
/* Under ThreadSanitizer the read lock is called out of line in liburcu
 * (which is not instrumented): its inline form synchronises through
 * volatile accesses and barriers that ThreadSanitizer reads as races. */
#undef _LGPL_SOURCE
#elif !defined(_LGPL_SOURCE)
#define _LGPL_SOURCE
#endif
#include <urcu.h>

#include <cstdint>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace zorv::memory {

/* Per-thread state. Plain (trivially constructed) thread-locals with the
 * initial-exec model: one %fs-relative access each, no TLS wrapper call
 * (constinit tells every user that no dynamic initialiser exists, so not
 * even the wrapper's existence is tested on each access).
 * libzorv is always a load-time dependency of the process, never dlopen'ed,
 * so static TLS space for it is guaranteed. */
extern constinit thread_local bool t_registered __attribute__((tls_model("initial-exec")));
extern constinit thread_local uint32_t t_depth __attribute__((tls_model("initial-exec")));

/* Registers the calling thread with liburcu and arms its exit hook. */
void register_current_thread();

#if defined(__SANITIZE_THREAD__)
/* ThreadSanitizer cannot see liburcu's grace periods (the library is not
 * instrumented and synchronises through membarrier). We tell it what a grace
 * period guarantees: every bracket that ended, and every safe_free request
 * made, happens before a deferred free runs. One sync object carries all of
 * it; the cost exists only in ThreadSanitizer builds. */
extern char tsan_grace_sync;
inline void tsan_release_grace() { __tsan_release(&tsan_grace_sync); }
inline void tsan_acquire_grace() { __tsan_acquire(&tsan_grace_sync); }
#else
inline void tsan_release_grace() {}
inline void tsan_acquire_grace() {}
#endif

inline void ensure_registered() {
  if (__builtin_expect(!t_registered, 0)) register_current_thread();
}

#if defined(__SANITIZE_THREAD__)
inline void read_lock() { rcu_read_lock(); }
inline void read_unlock() { rcu_read_unlock(); }
#else
/* liburcu's reader record is a thread-local of liburcu itself, which code
 * in another library reaches through two __tls_get_addr calls per access
 * (a lookup's bracket paid eight). Its address is taken once, when the
 * thread registers, and the memb flavour's outermost lock and unlock are
 * done here on that pointer: publish the grace-period counter, then the
 * slave barrier (a compiler barrier while the kernel's membarrier serves
 * the writer side, a full fence otherwise); on unlock the reverse, and wake
 * a writer that waits for this thread. */
extern constinit thread_local struct urcu_reader *t_reader __attribute__((tls_model("initial-exec")));

inline void read_lock() {
  cmm_barrier();
  // A volatile store as a statement: the store macro's value, unused
  // here, is a deprecated use of a volatile assignment in C++20.
  CMM_ACCESS_ONCE(t_reader->ctr) = _CMM_LOAD_SHARED(urcu_memb_gp.ctr);
  urcu_memb_smp_mb_slave();
}

inline void read_unlock() {
  // Whether the kernel's membarrier serves the writer side is settled
  // when liburcu starts and never changes: read it once, not per barrier.
  const bool membarrier = urcu_memb_has_sys_membarrier;
  const unsigned long tmp = t_reader->ctr;
  if (!membarrier) cmm_smp_mb();
  cmm_barrier();
  CMM_ACCESS_ONCE(t_reader->ctr) = tmp - URCU_GP_COUNT;
  if (!membarrier) cmm_smp_mb();
  cmm_barrier();
  urcu_common_wake_up_gp(&urcu_memb_gp);
  cmm_barrier();
}
#endif

/* Only the outermost bracket takes the RCU read lock: an inner one is
 * covered by it. So a lookup inside the caller's bracket pays one
 * initial-exec thread-local test, not another lock and unlock. */
inline void begin() {
  if (t_depth++ == 0) {
    ensure_registered();  // an inner bracket's thread is registered already
    read_lock();
  }
}

inline void end() {
  tsan_release_grace();
  if (--t_depth == 0) read_unlock();
}

/* RAII form for code inside libzorv. */
class ReadBracket {
 public:
  ReadBracket() { begin(); }
  ~ReadBracket() { end(); }
  ReadBracket(const ReadBracket &) = delete;
  ReadBracket &operator=(const ReadBracket &) = delete;
};

/* Test hook: the next n node allocations of zorv_memory_safe_free fail, so
 * the fallback paths can be exercised. */
void fail_next_node_allocations(int n);

}  // namespace zorv::memory

#endif
