/* kavalin's tables back to empty between inputs, and its start-up reads
 * (what its post-initialisation does, less the REST and parameter
 * registrations, which would pile up run after run). */
#ifndef ZORV_FUZZ_KAVALIN_SUPPORT_H
#define ZORV_FUZZ_KAVALIN_SUPPORT_H

#include <stdlib.h>

#include "internal.h"
#include "quib/tag_search.h"
#include "zorv/conf.h"

namespace fuzz {

/* Nobody borrowed a client here, so a harness may free cluster records
 * outright; the module itself keeps them for the life of the process. */
inline void free_cluster_record(void *p) {
  auto *record = static_cast<drask_cluster_t *>(p);
  pthread_mutex_destroy(&record->bootlock);
  drask_client_free(record->client);
  free(record);
}

inline void free_map_entry(void *p) {
  auto *entry = static_cast<account_cluster_map_t *>(p);
  if (entry->discard_data_filter)
    quib_metric_tag_search_free(entry->discard_data_filter);
  free(entry);
}

inline void free_override_set(void *p) {
  auto *set = static_cast<zorv_hash_table *>(p);
  zorv_hash_destroy(set, free, nullptr);
  free(set);
}

inline void empty_kavalin_tables() {
  zorv_hash_destroy(&global_clusters, nullptr, free_cluster_record);
  zorv_hash_destroy(&account_map, nullptr, free_map_entry);
  zorv_hash_destroy(&manual_cluster_override, free, free_override_set);
  reap_discard_data_filters();
  account_map_initialized.store(false);
}

inline void kavalin_startup_reads() {
  zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@timeout", &TOTAL_TIMEOUT);
  zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@connecttimeout",
                      &CONNECT_TIMEOUT);
  initialize_drask_cluster(0);
  kavalin_load_account_map();
  kavalin_report_account_map();
  kavalin_load_overrides();
  account_map_initialized.store(true);
}

}  // namespace fuzz

#endif
