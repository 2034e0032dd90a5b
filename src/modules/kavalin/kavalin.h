/* kavalin: accounts to clusters (swimlanes).
 *
 * What other modules of the daemon may use:
 *   - the account lookups and the client lookup, exported under fixed names
 *     so that a module which does not link against kavalin can resolve them
 *     by name at run time (the consumer-side helpers at the end of this file
 *     do that and cache the pointer);
 *   - two hook families, account-mapped and cluster-changed: lock-free,
 *     append-only callback lists; the newest registration runs first.
 *
 * Ownership: a client, filter or override set returned here stays owned by
 * kavalin. A client is never freed once created, so a borrowed client stays
 * usable after its cluster has been replaced or removed. A discard-data
 * filter is not: a map update that replaces the account's mapping releases
 * the old filter once no safe-memory bracket that was open at the time is
 * still open. See the filter lookup below. */
#ifndef KAVALIN_H
#define KAVALIN_H

#include "drask/client.h"
#include "quib/tag_search.h"
#include "zorv/defs.h"
#include "zorv/hash.h"
#include "zorv/hooks.h"

ZORV_EXTERN_C_BEGIN

/* ---- hook families ---------------------------------------------------- */

typedef zorv_hook_return_t (*kavalin_account_mapped_hook_func_t)(
    void *closure, int64_t account_id, int cluster_id);
typedef zorv_hook_return_t (*kavalin_cluster_changed_hook_func_t)(
    void *closure, int cluster_id);

/* One registration. Nodes are never removed, and next never changes once a
 * node is published, which is what lets invoke walk without a lock. */
typedef struct zorv_hook_kavalin_account_mapped_list {
  const char *optional_name; /* private copy, or NULL */
  const char *proto;
  kavalin_account_mapped_hook_func_t func; /* may be NULL: skipped */
  void *closure;
  struct zorv_hook_kavalin_account_mapped_list *next; /* next older */
} zorv_hook_kavalin_account_mapped_list;

typedef struct zorv_hook_kavalin_cluster_changed_list {
  const char *optional_name;
  const char *proto;
  kavalin_cluster_changed_hook_func_t func;
  void *closure;
  struct zorv_hook_kavalin_cluster_changed_list *next;
} zorv_hook_kavalin_cluster_changed_list;

/* A stored account mapping (at start-up or through the map endpoint). */
ZORV_EXPORT void kavalin_account_mapped_hook_register(
    const char *name, kavalin_account_mapped_hook_func_t func, void *closure);
ZORV_EXPORT zorv_hook_return_t kavalin_account_mapped_hook_invoke(
    int64_t account_id, int cluster_id);
ZORV_EXPORT zorv_boolean kavalin_account_mapped_hook_exists(void);
ZORV_EXPORT const char *kavalin_account_mapped_hook_proto(void);

/* A cluster record was created, replaced or removed. Fired after the
 * cluster table changed, on the initialising thread: a callback that looks
 * the client up sees the new client, or NULL after a removal. */
ZORV_EXPORT void kavalin_cluster_changed_hook_register(
    const char *name, kavalin_cluster_changed_hook_func_t func, void *closure);
ZORV_EXPORT zorv_hook_return_t kavalin_cluster_changed_hook_invoke(
    int cluster_id);
ZORV_EXPORT zorv_boolean kavalin_cluster_changed_hook_exists(void);
ZORV_EXPORT const char *kavalin_cluster_changed_hook_proto(void);

/* ---- lookups (resolve these by name; see the helpers below) ------------ */

/* The cluster's client, borrowed (never free it), or NULL. */
ZORV_EXPORT drask_client_t *kavalin_client_for_cluster_dyn_function(
    int cluster_id);
/* The account's cluster; 0 (the default cluster) when unmapped. */
ZORV_EXPORT int kavalin_get_cluster_for_account_dyn_function(
    const int64_t account_id);
/* The account's override set (keys: 8-byte cluster ids), or NULL. */
ZORV_EXPORT zorv_hash_table *kavalin_get_override_clusters_for_account_dyn_function(
    const int64_t account_id);
/* The account's discard-data filter, or NULL.
 *
 * Call it inside a safe-memory bracket (zorv_memory_begin/end) and use the
 * filter only until that bracket closes: a concurrent map update may
 * replace the mapping, and the old filter is freed once every bracket open
 * at the replacement has closed. Never keep the pointer beyond the bracket,
 * and never free it. */
ZORV_EXPORT quib_metric_tag_search_ast_t *
kavalin_get_discard_data_filter_for_account_dyn_function(
    const int64_t account_id);
/* Whether the account map and the overrides have been loaded. */
ZORV_EXPORT zorv_boolean kavalin_account_map_loaded_function(void);

typedef drask_client_t *(*kavalin_client_for_cluster_func_t)(int);
typedef int (*kavalin_get_cluster_for_account_func_t)(const int64_t);
typedef zorv_hash_table *(*kavalin_get_override_clusters_for_account_func_t)(
    const int64_t);
typedef quib_metric_tag_search_ast_t *(
    *kavalin_get_discard_data_filter_for_account_func_t)(const int64_t);
typedef zorv_boolean (*kavalin_account_map_loaded_func_t)(void);

ZORV_EXTERN_C_END

/* ---- consumer-side run-time binding ------------------------------------
 *
 * A module that must not depend on kavalin at link time resolves a
 * _dyn_function in the dynamic loader's default scope on first use and
 * caches the pointer. A failed resolution leaves the cache empty, so a later
 * call tries again (kavalin may be loaded after the caller).
 *
 * These are C++ inline functions: their cached pointers are one per module
 * image (modules build with hidden inline visibility), whichever of the
 * module's files calls them. */
#ifdef __cplusplus
#include <dlfcn.h>

#include <atomic>

#include "zorv/log.h"

namespace kavalin_binding {

/* Resolves name once it can; every racing writer stores the same value. */
template <typename F>
inline F resolve(std::atomic<F> &cache, const char *name) {
  F f = cache.load(std::memory_order_acquire);
  if (f == nullptr) {
    f = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
    if (f != nullptr) cache.store(f, std::memory_order_release);
  }
  return f;
}

inline std::atomic<kavalin_client_for_cluster_func_t> &client_for_cluster_slot() {
  static std::atomic<kavalin_client_for_cluster_func_t> slot{nullptr};
  return slot;
}
inline std::atomic<kavalin_client_for_cluster_func_t> &client_for_cluster_probe_slot() {
  static std::atomic<kavalin_client_for_cluster_func_t> slot{nullptr};
  return slot;
}
inline std::atomic<kavalin_get_cluster_for_account_func_t> &cluster_for_account_slot() {
  static std::atomic<kavalin_get_cluster_for_account_func_t> slot{nullptr};
  return slot;
}
inline std::atomic<kavalin_get_override_clusters_for_account_func_t> &override_slot() {
  static std::atomic<kavalin_get_override_clusters_for_account_func_t> slot{nullptr};
  return slot;
}
inline std::atomic<kavalin_get_discard_data_filter_for_account_func_t> &filter_slot() {
  static std::atomic<kavalin_get_discard_data_filter_for_account_func_t> slot{nullptr};
  return slot;
}
inline std::atomic<kavalin_account_map_loaded_func_t> &loaded_slot() {
  static std::atomic<kavalin_account_map_loaded_func_t> slot{nullptr};
  return slot;
}

}  // namespace kavalin_binding

/* The cluster's client through the run-time binding. A kavalin that cannot
 * be resolved is fatal: the caller cannot do its work without it. */
inline drask_client_t *kavalin_client_for_cluster_dyn(int cluster_id) {
  kavalin_client_for_cluster_func_t f = kavalin_binding::resolve(
      kavalin_binding::client_for_cluster_slot(),
      "kavalin_client_for_cluster_dyn_function");
  if (f == nullptr) {
    zorvL(zorv_stderr, "runtime resolution of '%s %s%s' failed.\n",
          "drask_client_t *", "kavalin_client_for_cluster_dyn",
          "(int cluster_id)");
  }
  zorvAssert(f != nullptr);
  return f(cluster_id);
}

/* Whether the client lookup can be resolved; silent. */
inline bool kavalin_client_for_cluster_dyn_available(void) {
  return kavalin_binding::resolve(
             kavalin_binding::client_for_cluster_probe_slot(),
             "kavalin_client_for_cluster_dyn_function") != nullptr;
}

/* As kavalin_client_for_cluster_dyn, with a plain message when kavalin is
 * not loaded at all. */
inline drask_client_t *kavalin_client_for_cluster(int cluster_id) {
  if (!kavalin_client_for_cluster_dyn_available()) {
    zorvFatal(zorv_error, "[FATAL] kavalin module must be loaded\n");
  }
  return kavalin_client_for_cluster_dyn(cluster_id);
}

/* The account lookups through the run-time binding. Without kavalin they
 * answer as kavalin does for an unknown account: cluster 0, no override set,
 * no filter, map not loaded. */
inline int kavalin_get_cluster_for_account_dyn(int64_t account_id) {
  auto f = kavalin_binding::resolve(
      kavalin_binding::cluster_for_account_slot(),
      "kavalin_get_cluster_for_account_dyn_function");
  return f ? f(account_id) : 0;
}
inline zorv_hash_table *kavalin_get_override_clusters_for_account_dyn(
    int64_t account_id) {
  auto f = kavalin_binding::resolve(
      kavalin_binding::override_slot(),
      "kavalin_get_override_clusters_for_account_dyn_function");
  return f ? f(account_id) : nullptr;
}
/* Same rule as the export: call and use inside a safe-memory bracket. */
inline quib_metric_tag_search_ast_t *
kavalin_get_discard_data_filter_for_account_dyn(int64_t account_id) {
  auto f = kavalin_binding::resolve(
      kavalin_binding::filter_slot(),
      "kavalin_get_discard_data_filter_for_account_dyn_function");
  return f ? f(account_id) : nullptr;
}
inline bool kavalin_account_map_loaded_dyn(void) {
  auto f = kavalin_binding::resolve(kavalin_binding::loaded_slot(),
                                    "kavalin_account_map_loaded_function");
  return f ? f() : false;
}
#endif /* __cplusplus */

#endif /* KAVALIN_H */
