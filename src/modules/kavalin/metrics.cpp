/* kavalin's metrics: the map and cluster tables' sizes, the update
 * endpoints' answers and the routing-key rewrites. */
#include "metrics.h"

#include <pthread.h>

#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "zorv/metrics.h"

constinit thread_local kav_rewrite_slot *kav_my_rewrite_slot = nullptr;

namespace {

std::mutex slots_lock;
/* Never shrinks and is never destroyed: slots are handed from ended
 * threads to new ones, and a scrape may run at exit. */
auto *slots = new std::vector<kav_rewrite_slot *>();
pthread_key_t slot_key;
pthread_once_t slot_key_once = PTHREAD_ONCE_INIT;

/* Runs on the ending thread: it gives its slot back, and forgets it in
 * case it routes again while ending (it then claims one anew). */
void release_slot(void *slot) {
  kav_my_rewrite_slot = nullptr;
  std::lock_guard<std::mutex> guard(slots_lock);
  static_cast<kav_rewrite_slot *>(slot)->in_use = false;
}

void make_slot_key() { pthread_key_create(&slot_key, release_slot); }

std::atomic<uint64_t> update_answers[2][500];

void write_updates(zorv_metrics_writer *w, kav_update_kind kind) {
  for (int slot = 0; slot < 500; slot++) {
    uint64_t n = update_answers[kind][slot].load(std::memory_order_relaxed);
    if (n == 0) continue;
    std::string code = std::to_string(slot + 100);
    const char *labels[] = {"code", code.c_str(), nullptr};
    zorv_metrics_sample_u64(w, labels, n);
  }
}

void collect(void *, zorv_metrics_writer *w) {
  zorv_metrics_family(w, "kavalin_accounts_mapped", "gauge",
                      "Accounts in the live account map.");
  zorv_metrics_sample_u64(w, nullptr,
                          static_cast<uint64_t>(zorv_hash_size(&account_map)));
  zorv_metrics_family(w, "kavalin_clusters", "gauge",
                      "Clusters with a record and a client.");
  zorv_metrics_sample_u64(
      w, nullptr, static_cast<uint64_t>(zorv_hash_size(&global_clusters)));

  /* The file is read at scrape time, not remembered from the last update,
   * so that a hand edit, or a write that failed, shows too. */
  kav_file_comparison file;
  {
    std::lock_guard<std::mutex> guard(kav_update_lock);
    file = kav_compare_map_with_file();
  }
  zorv_metrics_family(w, "kavalin_configuration_file_readable", "gauge",
                      "1 when the configuration file could be read back "
                      "to compare the account map with, else 0.");
  zorv_metrics_sample_u64(w, nullptr, file.readable ? 1 : 0);
  zorv_metrics_family(w, "kavalin_account_map_file_differences", "gauge",
                      "Accounts whose live mapping differs from what "
                      "loading the configuration file would give.");
  zorv_metrics_sample_u64(w, nullptr, file.differences);

  zorv_metrics_family(w, "kavalin_map_updates_total", "counter",
                      "Account map updates answered, by status code.");
  write_updates(w, kKavMapUpdate);
  zorv_metrics_family(w, "kavalin_cluster_updates_total", "counter",
                      "Cluster bootstrap updates answered, by status code.");
  write_updates(w, kKavClusterUpdate);

  uint64_t done = 0, passed = 0;
  {
    std::lock_guard<std::mutex> guard(slots_lock);
    for (const kav_rewrite_slot *s : *slots) {
      done += s->done.load(std::memory_order_relaxed);
      passed += s->passed.load(std::memory_order_relaxed);
    }
  }
  zorv_metrics_family(w, "kavalin_routing_key_rewrites_total", "counter",
                      "Messages seen by the routing-key hook, by hook result "
                      "(done: key rewritten; continue: left as it was).");
  const char *done_label[] = {"result", "done", nullptr};
  const char *passed_label[] = {"result", "continue", nullptr};
  zorv_metrics_sample_u64(w, done_label, done);
  zorv_metrics_sample_u64(w, passed_label, passed);
}

}  // namespace

kav_rewrite_slot *kav_claim_rewrite_slot() {
  pthread_once(&slot_key_once, make_slot_key);
  kav_rewrite_slot *mine = nullptr;
  {
    std::lock_guard<std::mutex> guard(slots_lock);
    for (kav_rewrite_slot *s : *slots) {
      if (!s->in_use) {
        mine = s;
        break;
      }
    }
    if (mine == nullptr) {
      mine = new kav_rewrite_slot();
      slots->push_back(mine);
    }
    mine->in_use = true;
  }
  pthread_setspecific(slot_key, mine);
  kav_my_rewrite_slot = mine;
  return mine;
}

zorv_hook_return_t kavalin_alter_route_counted(void *closure,
                                               const char *payload,
                                               size_t payload_len,
                                               const char *routingprefix,
                                               char *routingkey, size_t rlen) {
  zorv_hook_return_t rc = kavalin_alter_route(closure, payload, payload_len,
                                              routingprefix, routingkey, rlen);
  kav_count_rewrite(rc);
  return rc;
}

void kav_count_update(kav_update_kind kind, int status) {
  if (status < 100 || status >= 600) return;
  update_answers[kind][status - 100].fetch_add(1, std::memory_order_relaxed);
}

void kavalin_metrics_setup() {
  static std::once_flag once;
  std::call_once(once, [] { zorv_metrics_register("kavalin", collect, nullptr); });
}
