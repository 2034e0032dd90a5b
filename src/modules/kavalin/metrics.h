/* kavalin's counters. The routing-key rewrite runs once per routed message
 * on several host threads, so its counters are per thread: each thread
 * owns a slot it alone writes (a relaxed load and store, no locked
 * instruction, no shared cache line), and a scrape sums the slots. A slot
 * outlives its thread and is handed to the next new thread, so its counts
 * are never lost. */
#ifndef KAVALIN_METRICS_H
#define KAVALIN_METRICS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "zorv/hooks.h"

struct alignas(64) kav_rewrite_slot {
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> passed{0}; /* ZORV_HOOK_CONTINUE: message left as is */
  bool in_use = false;             /* under the slot list's lock */
};

extern constinit thread_local kav_rewrite_slot *kav_my_rewrite_slot;
kav_rewrite_slot *kav_claim_rewrite_slot();

inline void kav_count_rewrite(zorv_hook_return_t rc) {
  kav_rewrite_slot *s = kav_my_rewrite_slot;
  if (__builtin_expect(s == nullptr, 0)) s = kav_claim_rewrite_slot();
  std::atomic<uint64_t> &c = rc == ZORV_HOOK_DONE ? s->done : s->passed;
  c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

/* kavalin_alter_route, counted: what the routing hook registers. */
zorv_hook_return_t kavalin_alter_route_counted(void *closure,
                                               const char *payload,
                                               size_t payload_len,
                                               const char *routingprefix,
                                               char *routingkey, size_t rlen);

enum kav_update_kind { kKavMapUpdate, kKavClusterUpdate };
/* One answer of an update endpoint, by its status. */
void kav_count_update(kav_update_kind kind, int status);

/* How the live account map compares with what loading the configuration
 * file from disk would give (readback.cpp); the caller holds
 * kav_update_lock. */
struct kav_file_comparison {
  bool readable;      /* the file could be read as XML */
  size_t differences; /* accounts whose live and file mappings differ */
};
kav_file_comparison kav_compare_map_with_file();

/* Registers the collector (module init). */
void kavalin_metrics_setup();

#endif
