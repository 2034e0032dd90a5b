/* kavalin's own state and the functions its files share. Nothing outside
 * the module includes this header except the module's tests.
 *
 * Threads: the tables are filled on the host's start-up thread during
 * post-initialisation and changed afterwards only by the two REST update
 * handlers, which run one at a time (kav_update_lock). Every reader (the
 * routing hook, the exported lookups, other modules' workers) is lock-free:
 * account map entries are immutable and released through the deferred safe
 * free, and cluster records are never freed at all. */
#ifndef KAVALIN_INTERNAL_H
#define KAVALIN_INTERNAL_H

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kavalin.h"
#include "zorv/conf.h"
#include "zorv/dso.h"
#include "zorv/hash.h"
#include "zorv/log.h"
#include "zorv/rest.h"

/* ---- module frame (module.cpp) ---------------------------------------- */

extern "C" ZORV_EXPORT zorv_dso_generic_t kavalin;
extern const char kavalin_xml_description[];

int kav_onload(zorv_image_t *self);
int kav_config(zorv_dso_generic_t *self, zorv_hash_table *options);
int kav_init(zorv_dso_generic_t *self);
zorv_hook_return_t kavalin_post_init(void *closure);

extern zorv_log_stream_t kav_error;
extern zorv_log_stream_t kav_notice;
extern zorv_log_stream_t kav_debug;

/* Client timeouts in milliseconds; read each time a client is created. The
 * host's run-time parameters store into them through their addresses, with
 * atomic stores on whatever thread sets the parameter, so every access here
 * goes through these two helpers. */
extern int32_t TOTAL_TIMEOUT;
extern int32_t CONNECT_TIMEOUT;

inline int32_t load_timeout(int32_t &timeout) {
  return std::atomic_ref<int32_t>(timeout).load(std::memory_order_acquire);
}
inline void store_timeout(int32_t &timeout, int32_t value) {
  std::atomic_ref<int32_t>(timeout).store(value, std::memory_order_release);
}

/* ---- cluster registry (clusters.cpp) ---------------------------------- */

#define KAVALIN_MAX_BOOTSTRAP_HOSTS 128

typedef struct drask_cluster {
  int32_t id; /* storage of the table key */
  drask_client_t *client;
  pthread_mutex_t bootlock;
  uint32_t bootstrapped;
  /* Starts at 0 and is never incremented: the release step's decrement
   * never reaches zero, so a record (and the client a borrower may hold)
   * outlives its place in the table. */
  uint32_t refcnt;
} drask_cluster_t;

extern zorv_hash_table global_clusters;

void initialize_drask_cluster(int id);
void drask_cluster_deref(void *record);
drask_client_t *client_from_cluster_id(int id);

/* ---- account map and overrides (account_map.cpp) ---------------------- */

typedef struct account_cluster_map {
  int64_t account_id; /* storage of the table key */
  int32_t cluster_id;
  quib_metric_tag_search_ast_t *discard_data_filter;
} account_cluster_map_t;

extern zorv_hash_table account_map;
extern zorv_hash_table manual_cluster_override;
extern std::atomic<bool> account_map_initialized;

int add_account_cluster_map(int64_t account, int cluster,
                            quib_metric_tag_search_ast_t *filter);
quib_metric_tag_search_ast_t *parse_discard_data_filter(const char *text);
/* Releases a filter that readers may still hold, after their safe-memory
 * brackets close. NULL is ignored. */
void release_discard_data_filter(quib_metric_tag_search_ast_t *filter);
/* Frees the released filters once no reader can hold them any more. Waits
 * for a grace period when there are any; call outside a safe-memory
 * bracket (end of a load, end of an update request). */
void reap_discard_data_filters(void);
int get_cluster_id_from_account(int64_t account);
quib_metric_tag_search_ast_t *get_discard_data_filter_from_account(
    int64_t account);

/* filter_texts.cpp: the text each live filter was parsed from, and the
 * bad texts already reported. free_discard_data_filter frees a filter no
 * reader can hold any more and forgets its text. */
void remember_filter_text(const quib_metric_tag_search_ast_t *filter,
                          const char *text);
void free_discard_data_filter(quib_metric_tag_search_ast_t *filter);
std::string discard_data_filter_text(const quib_metric_tag_search_ast_t *filter);
bool first_report_of_bad_filter(const char *text);

void kavalin_load_account_map(void);
void kavalin_report_account_map(void);
void kavalin_load_overrides(void);

/* ---- hook families (hooks.cpp) ---------------------------------------- */

extern std::atomic<zorv_hook_kavalin_account_mapped_list *>
    nh_kavalin_account_mapped_list;
extern std::atomic<zorv_hook_kavalin_cluster_changed_list *>
    nh_kavalin_cluster_changed_list;

/* ---- routing key (route.cpp) ------------------------------------------ */

zorv_hook_return_t kavalin_alter_route(void *closure, const char *payload,
                                       size_t payload_len,
                                       const char *routingprefix,
                                       char *routingkey, size_t rlen);

/* ---- configuration entries (entries.cpp) ------------------------------ */

/* Whether the element lies inside a bootstrap or map element. Such an
 * element is no entry of any cluster or account: every lookup skips it. */
bool nested_in_entry(xmlNodePtr node);
bool nested_in_entry(zorv_conf_section_t section);
/* Unlinks and frees configured elements, each once: nodes listed twice, or
 * inside another listed node, go with that node. */
void remove_config_elements(const std::vector<xmlNodePtr> &nodes);

/* ---- REST updates (rest.cpp) ------------------------------------------ */

/* Held by each update handler for its whole request once the body is
 * complete, so two updates never interleave on the tree, the file or the
 * live tables. */
extern std::mutex kav_update_lock;

int kav_map_update(zorv_http_rest_closure_t *restc, int npats, char **pats);
int kav_cluster_update(zorv_http_rest_closure_t *restc, int npats,
                       char **pats);

/* ---- audit lines (audit.cpp) ----------------------------------------- */

/* What one map update did, entry by entry (account, cluster). */
struct kav_map_audit {
  std::vector<std::pair<int64_t, int32_t>> mapped;
  std::vector<std::pair<int64_t, int32_t>> refused;
  std::vector<int64_t> without_cluster;
  bool written = true;
};

/* The cluster's bootstrap hosts as its current client holds them. */
std::vector<std::string> kav_bootstrap_hosts(int id);
void kav_audit_map_update(zorv_http_rest_closure_t *restc,
                          const kav_map_audit &audit);
void kav_audit_cluster_update(zorv_http_rest_closure_t *restc, int id,
                              const std::vector<std::string> &before,
                              bool written);
/* An update refused because its certificate is not in update_clients. */
void kav_audit_refused_update(zorv_http_rest_closure_t *restc);

/* ---- who may update (update_clients.cpp) ------------------------------ */

/* Reads drask/update_clients; call once, before the update routes exist. */
void kav_load_update_clients(void);
/* The update routes' authoriser: a verified client certificate, and one
 * that update_clients names when the configuration has that list. */
zorv_boolean kav_update_auth(zorv_http_rest_closure_t *restc, int npats,
                             char **pats);

/* ---- read-back (readback.cpp) ----------------------------------------- */

int kav_map_readback(zorv_http_rest_closure_t *restc, int npats, char **pats);
int kav_clusters_readback(zorv_http_rest_closure_t *restc, int npats,
                          char **pats);

#endif
