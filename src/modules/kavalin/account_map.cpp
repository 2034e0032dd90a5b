/* The account map (account to cluster and discard-data filter) and the
 * per-account cluster override sets, their loading from the configuration
 * and the exported lookups. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "internal.h"
#include "zorv/conf.h"
#include "zorv/memory.h"

zorv_hash_table account_map;
zorv_hash_table manual_cluster_override;
std::atomic<bool> account_map_initialized{false};

/* ---- retired filters ---------------------------------------------------- */

namespace {

/* Filters of replaced or refused mappings wait here until the next reap.
 * A filter is a tree of allocations, so it cannot go to the deferred free
 * itself; the reap waits for that same deferral to pass a marker instead,
 * and only then frees the filters. The list is never destroyed. */
std::mutex retired_filters_lock;
std::vector<quib_metric_tag_search_ast_t *> *retired_filters =
    new std::vector<quib_metric_tag_search_ast_t *>();

}  // namespace

void release_discard_data_filter(quib_metric_tag_search_ast_t *filter) {
  if (filter == nullptr) return;
  std::lock_guard<std::mutex> guard(retired_filters_lock);
  retired_filters->push_back(filter);
}

void reap_discard_data_filters(void) {
  std::vector<quib_metric_tag_search_ast_t *> batch;
  {
    std::lock_guard<std::mutex> guard(retired_filters_lock);
    batch.swap(*retired_filters);
  }
  if (batch.empty()) return;
  /* Every bracket open when the filters were unpublished is closed once a
   * deferred free requested after that has run. */
  zorv_memory_safe_free(zorv_memory_safe_malloc(1));
  zorv_memory_drain();
  for (quib_metric_tag_search_ast_t *filter : batch) {
    free_discard_data_filter(filter);
  }
}

/* ---- storing and parsing ---------------------------------------------- */

int add_account_cluster_map(int64_t account, int cluster,
                            quib_metric_tag_search_ast_t *filter) {
  if (cluster != -1) {
    void *data = nullptr;
    int32_t key = cluster;
    if (!zorv_hash_retrieve(&global_clusters, &key, sizeof(key), &data)) {
      zorvL(zorv_notice, "account %li maps to unconfigured cluster %d\n",
            (long)account, cluster);
      release_discard_data_filter(filter);
      return 0;
    }
  }

  auto *entry = static_cast<account_cluster_map_t *>(
      zorv_memory_safe_malloc(sizeof(account_cluster_map_t)));
  if (entry == nullptr) {
    release_discard_data_filter(filter);
    return 0;
  }
  entry->account_id = account;
  entry->cluster_id = cluster;
  entry->discard_data_filter = filter;

  /* Writers are serialised (start-up thread, then one update at a time), so
   * the entry seen here is the one the replace below releases. Its filter
   * is read now: this thread holds no bracket, so once the replace has
   * handed the old entry to the deferred free it may be gone at any moment.
   * The filter is retired the same way, since a reader may hold it until
   * its bracket closes. */
  quib_metric_tag_search_ast_t *old_filter = nullptr;
  void *old = nullptr;
  if (zorv_hash_retrieve(&account_map, &account, sizeof(account), &old)) {
    old_filter = static_cast<account_cluster_map_t *>(old)->discard_data_filter;
  }
  zorv_hash_replace(&account_map, &entry->account_id,
                    sizeof(entry->account_id), entry, nullptr,
                    zorv_memory_safe_free);
  if (old_filter != filter) release_discard_data_filter(old_filter);

  kavalin_account_mapped_hook_invoke(account, cluster);
  return 1;
}

quib_metric_tag_search_ast_t *parse_discard_data_filter(const char *text) {
  if (text == nullptr) return nullptr;
  int error_offset = 0;
  quib_metric_tag_search_ast_t *ast =
      quib_metric_tag_search_parse(text, &error_offset);
  if (ast != nullptr) {
    remember_filter_text(ast, text);
    zorvL(kav_debug, "Parsed discard_data_filter '%s'\n", text);
  } else if (first_report_of_bad_filter(text)) {
    zorvL(kav_error,
          "error parsing discard_data_filter_value '%s' at offset `%d`\n",
          text, error_offset);
  }
  return ast;
}

/* ---- lookups ------------------------------------------------------------ */

/* An entry may be replaced meanwhile: the table copies the field inside
 * its own read bracket, which keeps the entry alive until then. One call
 * into the host per lookup, no bracket calls of our own. */
int get_cluster_id_from_account(int64_t account) {
  int32_t cluster = 0;
  zorv_hash_retrieve_copy(&account_map, &account, sizeof(account),
                          offsetof(account_cluster_map_t, cluster_id),
                          &cluster, sizeof(cluster));
  return cluster;
}

quib_metric_tag_search_ast_t *get_discard_data_filter_from_account(
    int64_t account) {
  quib_metric_tag_search_ast_t *filter = nullptr;
  zorv_hash_retrieve_copy(&account_map, &account, sizeof(account),
                          offsetof(account_cluster_map_t, discard_data_filter),
                          &filter, sizeof(filter));
  return filter;
}

extern "C" {

ZORV_EXPORT int kavalin_get_cluster_for_account_dyn_function(
    const int64_t account_id) {
  return get_cluster_id_from_account(account_id);
}

ZORV_EXPORT quib_metric_tag_search_ast_t *
kavalin_get_discard_data_filter_for_account_dyn_function(
    const int64_t account_id) {
  return get_discard_data_filter_from_account(account_id);
}

ZORV_EXPORT zorv_hash_table *
kavalin_get_override_clusters_for_account_dyn_function(
    const int64_t account_id) {
  void *data = nullptr;
  int64_t key = account_id;
  if (!zorv_hash_retrieve(&manual_cluster_override, &key, sizeof(key),
                          &data)) {
    return nullptr;
  }
  return static_cast<zorv_hash_table *>(data);
}

ZORV_EXPORT zorv_boolean kavalin_account_map_loaded_function(void) {
  return account_map_initialized.load(std::memory_order_acquire);
}

}  // extern "C"

/* ---- loading ------------------------------------------------------------ */

void kavalin_load_account_map(void) {
  int n = 0;
  zorv_conf_section_t *sections = zorv_conf_get_sections_read(
      ZORV_CONF_ROOT, "//drask//account_map/map", &n);
  for (int i = 0; i < n; i++) {
    if (nested_in_entry(sections[i])) continue;
    int64_t account = 0;
    int32_t cluster = 0;
    if (!zorv_conf_get_int64(sections[i], "@account", &account)) continue;
    if (!zorv_conf_get_int32(sections[i], "@cluster", &cluster)) continue;
    quib_metric_tag_search_ast_t *filter = nullptr;
    char *text = nullptr;
    if (zorv_conf_get_string(sections[i], "@discard_data_filter", &text)) {
      filter = parse_discard_data_filter(text);
    }
    free(text);
    add_account_cluster_map(account, cluster, filter);
  }
  zorv_conf_release_sections_read(sections, n > 0 ? n : 0);
  reap_discard_data_filters();
}

void kavalin_report_account_map(void) {
  zorvL(kav_notice, "loaded %d account->cluster mappings\n",
        zorv_hash_size(&account_map));
}

namespace {

void discard_override_set(zorv_hash_table *set) {
  zorv_hash_destroy(set, free, nullptr);
  free(set);
}

/* One override section: "account" and a comma-separated cluster list.
 * Runs of commas are one separator; every entry counts towards the limit of
 * two, also one refused as an id. */
void load_one_override(int64_t account, char *text) {
  char *copy = strdup(text);
  auto *set = static_cast<zorv_hash_table *>(calloc(1, sizeof(zorv_hash_table)));
  if (copy == nullptr || set == nullptr) {
    free(copy);
    free(set);
    return;
  }
  zorv_hash_init(set);
  int entries = 0;
  bool found_primary_cluster = false;

  char *save = nullptr;
  for (char *entry = strtok_r(text, ",", &save); entry != nullptr;
       entry = strtok_r(nullptr, ",", &save)) {
    entries++;
    /* atoi's reading; a value beyond 32 bits keeps its low 32 bits. */
    int64_t value = static_cast<int32_t>(strtol(entry, nullptr, 10));
    if (value > 0) {
      auto *key = static_cast<int64_t *>(malloc(sizeof(int64_t)));
      *key = value;
      if (!zorv_hash_store(set, key, sizeof(*key), nullptr)) {
        zorvFatal(zorv_error,
                  "[FATAL] could not add cluster id %s for account %ld in "
                  "override\n",
                  entry, (long)account);
      }
      if (value == 1) found_primary_cluster = true;
    } else {
      zorvL(zorv_error, "%s is invalid cluster for account %ld in override\n",
            entry, (long)account);
    }
  }

  if (entries > 2) {
    zorvL(zorv_error,
          "WARNING: more than two entries specified in override (%s) for "
          "account %ld - limit is two - skipping/not using override\n",
          copy, (long)account);
    discard_override_set(set);
  } else if (found_primary_cluster || entries == 1) {
    auto *key = static_cast<int64_t *>(malloc(sizeof(int64_t)));
    *key = account;
    if (!zorv_hash_store(&manual_cluster_override, key, sizeof(*key), set)) {
      zorvFatal(zorv_error,
                "[FATAL] could not add override for account %ld - please "
                "validate configuration\n",
                (long)account);
    }
  } else {
    zorvL(zorv_error,
          "WARNING: one entry for override must be the primary cluster (1) "
          "in override (%s) for account %ld - skipping/not using override\n",
          copy, (long)account);
    discard_override_set(set);
  }
  free(copy);
}

}  // namespace

void kavalin_load_overrides(void) {
  int n = 0;
  zorv_conf_section_t *sections = zorv_conf_get_sections_read(
      ZORV_CONF_ROOT, "//drask_cluster_map_override/map", &n);
  for (int i = 0; i < n; i++) {
    int64_t account = 0;
    char *text = nullptr;
    int found = zorv_conf_get_int64(sections[i], "@account", &account);
    zorv_conf_get_string(sections[i], "@cluster", &text);
    if (found <= 0 || text == nullptr) {
      free(text);
      continue;
    }
    load_one_override(account, text);
    free(text);
  }
  zorv_conf_release_sections_read(sections, n > 0 ? n : 0);
}
