/* What operators see of replication beyond the status route: metrics per
 * replication record and of the whole store, the health check, and the
 * log lines that say when pulls start and stop failing and where a
 * fail-over goes.
 *
 * Threads: the worker writes a record's stats (relaxed atomic stores where
 * a scrape or the status route may read them at the same time); scrapes,
 * health checks and the status route read records under clusters_lock,
 * where no record can leave the table. None of it is on the per-metric
 * path: pulls are counted once per transfer, and the store's figures come
 * from walking it at scrape time, so its writers and readers are
 * untouched. */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "drask/client.h"
#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "zorv/health.h"
#include "zorv/json.h"
#include "zorv/memory.h"
#include "zorv/metrics.h"
#include "zorv/time.h"

namespace {

/* A failing node is reminded of at most this often. */
constexpr uint64_t kReminderUs = 60ull * 1000000;

template <typename T>
void relaxed_store(T &field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
template <typename T>
T relaxed_load(const T &field) {
  return std::atomic_ref<T>(const_cast<T &>(field))
      .load(std::memory_order_relaxed);
}

const char *const kOutcomeNames[kPullOutcomes] = {
    "ok", "error_status", "transfer_failure", "corrupt_stream"};

/* The node the requests pick for index, as they pick it: from the list
 * the cluster's client holds now. */
std::string node_at(const cluster *c, uint32_t index) {
  drask_client_t *client = kavalin_client_for_cluster(c->cluster_id);
  const char *nodes[DRASK_MAX_NODES];
  int n = client ? drask_client_get_all_nodes(client, nodes) : -1;
  if (n <= 0) return "(no node)";
  return nodes[index % static_cast<unsigned>(n)];
}

double seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }

/* Time left before the worker gives up on the node, in words. */
std::string failover_words(const cluster *c) {
  if (!c->full_complete) return "a failed full sync moves to the next node at once";
  uint64_t limit = static_cast<uint64_t>(max_fail_us_before_next);
  uint64_t mono = zorv_now_mono_us();
  uint64_t idle = mono > c->last_success_mono ? mono - c->last_success_mono : 0;
  char text[96];
  snprintf(text, sizeof text, "fail-over to the next node in %.0f s",
           idle >= limit ? 0.0 : seconds(limit - idle));
  return text;
}

}  // namespace

void note_pull(cluster *c, const char *node, int curl_code,
               const char *curl_error, long status, uint64_t bytes) {
  ostrel_record_stats &s = c->stats;
  pull_outcome outcome;
  char why[160];
  /* A whole body ends on a record or message boundary: bytes left over
   * mean it was cut short, whatever the status said. */
  const bool cut_short = undecoded_bytes(c) > 0;
  if (curl_code == 0 && status == 200 && cut_short) {
    outcome = kPullCorruptStream;
    snprintf(why, sizeof why, "stream cut short inside a message");
  } else if (curl_code == 0 && status == 200) {
    outcome = kPullOk;
  } else if (curl_code == 0) {
    outcome = kPullErrorStatus;
    snprintf(why, sizeof why, "status %ld", status);
  } else if (curl_code == CURLE_WRITE_ERROR) {
    outcome = kPullCorruptStream;
    snprintf(why, sizeof why, "stream refused by the decoder");
  } else {
    outcome = kPullTransferFailure;
    snprintf(why, sizeof why, "%s", curl_error ? curl_error : "transfer failed");
  }
  relaxed_store(s.pulls[outcome], s.pulls[outcome] + 1);
  relaxed_store(s.bytes_received, s.bytes_received + bytes);

  const uint64_t now = zorv_now_us();
  if (outcome == kPullOk) {
    if (s.failing_since != 0) {
      zorvL(noticels, "[%d] pulls succeed again from %s after %.0f s of failures\n",
            c->cluster_id, node, seconds(now - s.failing_since));
      s.failing_since = 0;
    }
    return;
  }
  snprintf(s.last_error, sizeof s.last_error, "%.150s from %.160s", why, node);
  if (s.failing_since == 0 || strcmp(s.failing_node, node) != 0) {
    zorvL(errorls, "[%d] pull from %s failed: %s; %s\n", c->cluster_id, node,
          why, failover_words(c).c_str());
    s.failing_since = now;
    s.reminded_at = now;
    snprintf(s.failing_node, sizeof s.failing_node, "%s", node);
  } else if (now - s.reminded_at >= kReminderUs) {
    zorvL(errorls, "[%d] pulls from %s still failing after %.0f s: %s; %s\n",
          c->cluster_id, node, seconds(now - s.failing_since), why,
          failover_words(c).c_str());
    s.reminded_at = now;
  }
}

void note_full_progress(cluster *c) {
  relaxed_store(c->stats.full_bytes_now, c->full_bytes);
  relaxed_store(c->stats.full_elements_now, c->full_elements);
}

void log_failover(cluster *c, const char *reason) {
  zorvL(errorls, "[%d] fail-over (%s): leaving %s, taking %s\n", c->cluster_id,
        reason, node_at(c, c->theone - 1).c_str(), node_at(c, c->theone).c_str());
}

void log_full_sync_node(cluster *c) {
  zorvL(noticels, "[%d] pulling the full state from %s\n", c->cluster_id,
        node_at(c, c->theone).c_str());
}

void publish_stats(cluster *c) {
  ostrel_record_stats &s = c->stats;
  if (s.since == 0) s.since = zorv_now_us();
  memcpy(s.shown_error, s.last_error, sizeof s.shown_error);
}

void add_status_details(zorv_json_object *o, const cluster *c) {
  const ostrel_record_stats &s = c->stats;
  if (c->shown.phase != nullptr && strcmp(c->shown.phase, "full sync") == 0) {
    zorv_json_object_object_add(
        o, "full_sync_bytes",
        zorv_json_object_new_uint64(relaxed_load(s.full_bytes_now)));
    zorv_json_object_object_add(
        o, "full_sync_elements",
        zorv_json_object_new_uint64(relaxed_load(s.full_elements_now)));
  }
  zorv_json_object_object_add(
      o, "last_error",
      s.shown_error[0] ? zorv_json_object_new_string(s.shown_error) : nullptr);
}

namespace {

/* The phases a record can be in, each a sample of the phase gauge. */
const char *const kPhases[] = {"waiting",          "starting",
                               "finding nodes",    "finding topology",
                               "establishing",     "full sync",
                               "diff sync",        "ended"};

const char *phase_of_record(cluster *c) {
  switch (c->handover) {
    case Handover::kParked:
    case Handover::kIdle: return "ended";
    case Handover::kWaiting:
    case Handover::kAfter: return "waiting";
    default: break;
  }
  return c->shown.phase != nullptr ? c->shown.phase : "starting";
}

/* Checkpoint tokens are "%08x:%08x": the node's epoch and the position. */
bool checkpoint_parts(const char *token, uint64_t *epoch, uint64_t *position) {
  if (strlen(token) != 17 || token[8] != ':') return false;
  uint64_t parts[2] = {0, 0};
  for (int i = 0; i < 17; i++) {
    if (i == 8) continue;
    char ch = token[i];
    int digit = ch >= '0' && ch <= '9'   ? ch - '0'
                : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                         : -1;
    if (digit < 0) return false;
    parts[i > 8] = parts[i > 8] << 4 | static_cast<uint64_t>(digit);
  }
  *epoch = parts[0];
  *position = parts[1];
  return true;
}

struct StoreFigures {
  uint64_t checks = 0, elements = 0, live = 0, bytes = 0;
};

/* Walks the store beside its writer (both tables admit lock-free walks
 * inside a safe-memory bracket; containers and entries are never freed). */
StoreFigures walk_store() {
  StoreFigures f;
  zorv_memory_begin();
  zorv_hash_iter iter = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv_spmc(&check_tags, &iter, &key, &klen, &data)) {
    auto *container = static_cast<tag_container *>(data);
    f.checks++;
    f.bytes += sizeof(tag_container) + static_cast<uint64_t>(klen) + 1;
    tag_table_each(&container->tags, [&f](setcrdt_alter_entry_t *e) {
      setcrdt_element_info_t info;
      info.word = std::atomic_ref<uint32_t>(e->info.word)
                      .load(std::memory_order_acquire);
      f.elements++;
      if (!info.tombstone) f.live++;
      f.bytes += sizeof(setcrdt_alter_entry_t) + info.len + 1;
    });
  }
  zorv_memory_end();
  return f;
}

/* One row of per-record figures, copied under clusters_lock. */
struct RecordFigures {
  std::string id;
  const char *phase;
  bool has_success;
  double since_success;
  uint64_t full_syncs, failovers, merged, bytes;
  uint64_t pulls[kPullOutcomes];
  bool has_checkpoint;
  uint64_t epoch, position;
};

std::vector<RecordFigures> record_figures() {
  std::vector<RecordFigures> rows;
  const uint64_t now = zorv_now_us();
  pthread_mutex_lock(&clusters_lock);
  each_record([&](cluster *c) {
    RecordFigures r{};
    r.id = std::to_string(c->cluster_id);
    r.phase = phase_of_record(c);
    r.has_success = c->shown.last_success != 0 && now >= c->shown.last_success;
    r.since_success = r.has_success ? seconds(now - c->shown.last_success) : 0;
    r.full_syncs = c->shown.full_syncs;
    r.failovers = c->shown.failovers;
    r.merged = c->shown.elements_merged;
    r.bytes = relaxed_load(c->stats.bytes_received);
    for (int o = 0; o < kPullOutcomes; o++)
      r.pulls[o] = relaxed_load(c->stats.pulls[o]);
    r.has_checkpoint = checkpoint_parts(c->shown.checkpoint, &r.epoch, &r.position);
    rows.push_back(r);
  });
  pthread_mutex_unlock(&clusters_lock);
  return rows;
}

void per_record(zorv_metrics_writer *w, const std::vector<RecordFigures> &rows,
                const char *name, const char *type, const char *help,
                uint64_t RecordFigures::*field) {
  zorv_metrics_family(w, name, type, help);
  for (const RecordFigures &r : rows) {
    const char *labels[] = {"cluster", r.id.c_str(), nullptr};
    zorv_metrics_sample_u64(w, labels, r.*field);
  }
}

void collect(void *, zorv_metrics_writer *w) {
  std::vector<RecordFigures> rows = record_figures();

  zorv_metrics_family(w, "ostrel_replication_phase", "gauge",
                      "1 for the phase each replication record is in, 0 for "
                      "the others.");
  for (const RecordFigures &r : rows) {
    for (const char *phase : kPhases) {
      const char *labels[] = {"cluster", r.id.c_str(), "phase", phase, nullptr};
      zorv_metrics_sample_u64(w, labels, strcmp(phase, r.phase) == 0 ? 1 : 0);
    }
  }
  zorv_metrics_family(w, "ostrel_seconds_since_last_success", "gauge",
                      "Seconds since the last successful request to the "
                      "cluster's node (absent before the first).");
  for (const RecordFigures &r : rows) {
    if (!r.has_success) continue;
    const char *labels[] = {"cluster", r.id.c_str(), nullptr};
    zorv_metrics_sample(w, labels, r.since_success);
  }
  per_record(w, rows, "ostrel_full_syncs_total", "counter",
             "Full-state pulls completed.", &RecordFigures::full_syncs);
  per_record(w, rows, "ostrel_failovers_total", "counter",
             "Moves to the cluster's next node.", &RecordFigures::failovers);
  zorv_metrics_family(w, "ostrel_pulls_total", "counter",
                      "Full-state and diff pulls by outcome.");
  for (const RecordFigures &r : rows) {
    for (int o = 0; o < kPullOutcomes; o++) {
      const char *labels[] = {"cluster", r.id.c_str(), "outcome",
                              kOutcomeNames[o], nullptr};
      zorv_metrics_sample_u64(w, labels, r.pulls[o]);
    }
  }
  per_record(w, rows, "ostrel_elements_merged_total", "counter",
             "Set elements handed to the store.", &RecordFigures::merged);
  per_record(w, rows, "ostrel_received_bytes_total", "counter",
             "Body bytes received by pulls.", &RecordFigures::bytes);
  zorv_metrics_family(w, "ostrel_checkpoint_position", "gauge",
                      "Position part of the checkpoint in use (absent "
                      "without one).");
  for (const RecordFigures &r : rows) {
    if (!r.has_checkpoint) continue;
    const char *labels[] = {"cluster", r.id.c_str(), nullptr};
    zorv_metrics_sample_u64(w, labels, r.position);
  }
  zorv_metrics_family(w, "ostrel_checkpoint_epoch", "gauge",
                      "Epoch part of the checkpoint in use (absent without "
                      "one).");
  for (const RecordFigures &r : rows) {
    if (!r.has_checkpoint) continue;
    const char *labels[] = {"cluster", r.id.c_str(), nullptr};
    zorv_metrics_sample_u64(w, labels, r.epoch);
  }

  StoreFigures f = walk_store();
  zorv_metrics_family(w, "ostrel_store_checks", "gauge",
                      "Checks in the check tag store.");
  zorv_metrics_sample_u64(w, nullptr, f.checks);
  zorv_metrics_family(w, "ostrel_store_elements", "gauge",
                      "Tag elements stored, tombstones included.");
  zorv_metrics_sample_u64(w, nullptr, f.elements);
  zorv_metrics_family(w, "ostrel_store_live_elements", "gauge",
                      "Tag elements stored that are not tombstones.");
  zorv_metrics_sample_u64(w, nullptr, f.live);
  zorv_metrics_family(w, "ostrel_store_bytes", "gauge",
                      "Bytes of checks, elements and their texts held by the "
                      "store (table overhead not counted).");
  zorv_metrics_sample_u64(w, nullptr, f.bytes);
}

/* Every replicated cluster must have had a successful request within its
 * fail-over time (a record with no success yet counts from when its worker
 * first ran). A record parked because another id replicates the same
 * topology is covered by that id. */
void check_health(void *, zorv_health_report *r) {
  const uint64_t now = zorv_now_us();
  const uint64_t limit = static_cast<uint64_t>(max_fail_us_before_next);
  pthread_mutex_lock(&clusters_lock);
  each_record([&](cluster *c) {
    char subject[32];
    snprintf(subject, sizeof subject, "cluster %d", c->cluster_id);
    char reason[512];
    if (c->handover == Handover::kParked) return;  // another id covers it
    if (c->handover == Handover::kIdle) {
      snprintf(reason, sizeof reason, "not replicated (%s)",
               c->shown.phase ? c->shown.phase : "worker ended");
      zorv_health_problem(r, subject, reason);
      return;
    }
    uint64_t from = c->shown.last_success ? c->shown.last_success : c->stats.since;
    if (from == 0 || now < from || now - from <= limit) return;
    snprintf(reason, sizeof reason,
             "no successful pull for %.0f s (fail-over time %.0f s); phase %s%s%s",
             seconds(now - from), seconds(limit), phase_of_record(c),
             c->stats.shown_error[0] ? "; last error: " : "",
             c->stats.shown_error);
    zorv_health_problem(r, subject, reason);
  });
  pthread_mutex_unlock(&clusters_lock);
}

}  // namespace

void ostrel_operator_setup(void) {
  zorv_metrics_register("ostrel", collect, nullptr);
  zorv_health_register("ostrel", check_health, nullptr);
}
