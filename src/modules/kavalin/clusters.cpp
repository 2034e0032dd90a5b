/* The cluster registry: one record per configured cluster id, each owning
 * the database client built from the cluster's bootstrap sections. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "internal.h"
#include "zorv/conf.h"
#include "zorv/memory.h"

zorv_hash_table global_clusters;

namespace {

/* Records that left the table. They are never freed (a borrower may still
 * use their clients); keeping them listed says so to leak checkers and to
 * anyone reading a heap dump. The list itself is never destroyed. */
std::mutex retired_lock;
std::vector<drask_cluster_t *> *retired_clusters =
    new std::vector<drask_cluster_t *>();

void retire_cluster(drask_cluster_t *record) {
  std::lock_guard<std::mutex> guard(retired_lock);
  retired_clusters->push_back(record);
}

/* Builds and installs the record for id from the collected hosts, then
 * announces it. Hosts stay owned by the caller. */
void install_cluster(int id, int nhosts, char **hosts) {
  auto *record = static_cast<drask_cluster_t *>(
      zorv_memory_safe_malloc(sizeof(drask_cluster_t)));
  if (record == nullptr) return; /* the cluster keeps its old record */
  memset(record, 0, sizeof(*record));
  record->id = id;
  pthread_mutex_init(&record->bootlock, nullptr);
  record->client = drask_client_alloc(nhosts, hosts);
  drask_client_set_connecttimeout(record->client, load_timeout(CONNECT_TIMEOUT));
  drask_client_set_timeout(record->client, load_timeout(TOTAL_TIMEOUT));
  zorv_hash_replace(&global_clusters, &record->id, sizeof(record->id), record,
                    nullptr, drask_cluster_deref);
  zorvL(zorv_notice, "Initializing cluster %d with %d bootstrap nodes\n", id,
        nhosts);
  kavalin_cluster_changed_hook_invoke(id);
}

void remove_cluster(int id) {
  zorvL(zorv_notice, "Removing cluster %d\n", id);
  zorv_hash_delete(&global_clusters, &id, sizeof(id), nullptr,
                   drask_cluster_deref);
  kavalin_cluster_changed_hook_invoke(id);
}

bool cluster_registered(int id) {
  void *data = nullptr;
  return zorv_hash_retrieve(&global_clusters, &id, sizeof(id), &data) != 0;
}

}  // namespace

/* Initialises cluster id from its bootstrap sections; id 0 also scans every
 * bootstrap section and initialises each other cluster it meets, once, when
 * it meets that cluster's first section. */
void initialize_drask_cluster(int id) {
  zorv_memory_begin();

  char xpath[64];
  if (id == 0) {
    snprintf(xpath, sizeof(xpath), "//drask//bootstrap");
  } else {
    snprintf(xpath, sizeof(xpath), "//drask//bootstrap[@cluster=\"%d\"]", id);
  }

  char *hosts[KAVALIN_MAX_BOOTSTRAP_HOSTS];
  int nhosts = 0;
  int n = 0;
  zorv_conf_section_t *sections =
      zorv_conf_get_sections_read(ZORV_CONF_ROOT, xpath, &n);
  if (n > 0) {
    /* Clusters the scan has already initialised, also those that ended up
     * removed (no usable host), so that each is initialised once. */
    std::vector<int32_t> scanned;
    for (int i = 0; i < n && nhosts < KAVALIN_MAX_BOOTSTRAP_HOSTS; i++) {
      if (nested_in_entry(sections[i])) continue;
      int32_t cluster = 0;
      zorv_conf_get_int32(sections[i], "@cluster", &cluster);
      if (cluster == id) {
        /* A section without @host gives no host: it takes no slot, so no
         * unset slot can reach the client or the freeing below. */
        char *host = nullptr;
        if (zorv_conf_get_string(sections[i], "@host", &host) && host) {
          hosts[nhosts++] = host;
        }
      } else if (id == 0 && !cluster_registered(cluster) &&
                 std::find(scanned.begin(), scanned.end(), cluster) ==
                     scanned.end()) {
        scanned.push_back(cluster);
        initialize_drask_cluster(cluster);
      }
    }
  }
  zorv_conf_release_sections_read(sections, n > 0 ? n : 0);

  if (nhosts > 0) {
    install_cluster(id, nhosts, hosts);
    for (int i = 0; i < nhosts; i++) free(hosts[i]);
  } else {
    remove_cluster(id);
  }

  zorv_memory_end();
}

/* The table's release function. refcnt starts at 0 and nothing increments
 * it, so the decrement never reaches zero and the record stays allocated:
 * a client handed out earlier remains valid for the life of the process. */
void drask_cluster_deref(void *vrecord) {
  auto *record = static_cast<drask_cluster_t *>(vrecord);
  if (std::atomic_ref<uint32_t>(record->refcnt).fetch_sub(1) == 1) {
    pthread_mutex_destroy(&record->bootlock);
    drask_client_free(record->client);
    zorv_memory_safe_free(record);
    return;
  }
  retire_cluster(record);
}

drask_client_t *client_from_cluster_id(int id) {
  void *data = nullptr;
  if (!zorv_hash_retrieve(&global_clusters, &id, sizeof(id), &data)) {
    return nullptr;
  }
  return static_cast<drask_cluster_t *>(data)->client;
}

extern "C" ZORV_EXPORT drask_client_t *kavalin_client_for_cluster_dyn_function(
    int cluster_id) {
  return client_from_cluster_id(cluster_id);
}
