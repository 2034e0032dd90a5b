/* What operators read of replication: the status route, the metrics of the
 * replication records and of the store, and the health check. All of it
 * only reads. Records are read under clusters_lock, where none can leave
 * the table; the store is walked beside its writer.
 *
 * Whether a cluster's replica is current is judged in one place
 * (judge_replica), so that /health, the status route and the metrics never
 * disagree. A replica is current when, within the fail-over time, a full
 * sync completed or a diff pull was answered 200 and decoded whole. A
 * successful checkpoint creation does not count (a node that grants
 * checkpoints and then cuts every full state short replicates nothing),
 * and the clock is the monotonic one, so a step of the wall clock hides
 * nothing. */
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "modules/ostrel/internal.h"
#include "zorv/health.h"
#include "zorv/json.h"
#include "zorv/memory.h"
#include "zorv/metrics.h"
#include "zorv/time.h"

namespace {

template <typename T>
T relaxed_load(const T &field) {
  return std::atomic_ref<T>(const_cast<T &>(field))
      .load(std::memory_order_relaxed);
}

double seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }

/* The phases a record can be in, each a sample of the phase gauge. */
const char *const kPhases[] = {"waiting",          "starting",
                               "finding nodes",    "finding topology",
                               "establishing",     "full sync",
                               "diff sync",        "ended"};

const char *phase_of_record(const cluster *c) {
  switch (c->handover) {
    case Handover::kParked:
    case Handover::kIdle: return "ended";
    case Handover::kWaiting:
    case Handover::kAfter: return "waiting";
    default: break;
  }
  return c->shown.phase != nullptr ? c->shown.phase : "starting";
}

/* The record whose worker replicates the topology a parked record waits
 * for, or null (its holder is handing over just now). */
const cluster *replicating_record(const cluster *parked) {
  const cluster *holder = nullptr;
  if (parked->parked_on == nullptr) return nullptr;
  each_record([&](cluster *r) {
    if (r != parked && r->handover == Handover::kRunning &&
        r->signature != nullptr && strcmp(r->signature, parked->parked_on) == 0)
      holder = r;
  });
  return holder;
}

struct ReplicaJudgement {
  bool current;      /* known current within the fail-over time */
  bool ever;         /* known current at some time */
  uint64_t since_us; /* since it last was; since admission when never */
  /* What /health reports: a replica that is not current, except a new one
   * whose first fail-over time since admission has not passed yet. */
  bool problem;
  std::string why;
};

/* Under clusters_lock. */
ReplicaJudgement judge_replica(const cluster *c, uint64_t now) {
  const uint64_t limit = static_cast<uint64_t>(max_fail_us_before_next);
  const cluster *judged = c;
  // Its topology is replicated under another id: as current as that one.
  if (c->handover == Handover::kParked) {
    if (const cluster *holder = replicating_record(c)) judged = holder;
  }
  ReplicaJudgement j{};
  j.ever = judged->shown.current_mono != 0;
  const uint64_t from = j.ever ? judged->shown.current_mono : judged->admitted_mono;
  j.since_us = now > from ? now - from : 0;
  j.current = j.ever && j.since_us <= limit;
  const char *error = judged->stats.shown_error;
  char reason[512];
  if (judged->handover == Handover::kIdle) {
    snprintf(reason, sizeof reason, "not replicated (%s)",
             judged->shown.phase ? judged->shown.phase : "worker ended");
  } else if (j.current || j.since_us <= limit) {
    return j;  // current, or new and still within its first fail-over time
  } else if (!j.ever) {
    snprintf(reason, sizeof reason,
             "no full sync completed in %.0f s since the cluster was "
             "announced (fail-over time %.0f s); phase %s%s%s",
             seconds(j.since_us), seconds(limit), phase_of_record(judged),
             error[0] ? "; last error: " : "", error);
  } else {
    snprintf(reason, sizeof reason,
             "replica not current for %.0f s (fail-over time %.0f s); "
             "phase %s%s%s",
             seconds(j.since_us), seconds(limit), phase_of_record(judged),
             error[0] ? "; last error: " : "", error);
  }
  j.problem = true;
  j.why = reason;
  return j;
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

/* ---- the status route ---------------------------------------------------- */

zorv_json_object *json_seconds(uint64_t us) {
  return zorv_json_object_new_double_fixed(seconds(us), 3);
}

/* One replication record as the status route shows it (under clusters_lock). */
zorv_json_object *record_status(const cluster *c, uint64_t now) {
  zorv_json_object *o = zorv_json_object_new_object();
  zorv_json_object_object_add(o, "cluster_id",
                              zorv_json_object_new_int64(c->cluster_id));
  const char *phase = c->shown.phase;
  if (phase == nullptr) {
    phase = started_load(const_cast<cluster *>(c)) ? "starting" : "waiting";
  }
  zorv_json_object_object_add(o, "phase", zorv_json_object_new_string(phase));
  zorv_json_object_object_add(
      o, "node",
      c->shown.node ? zorv_json_object_new_string(c->shown.node) : nullptr);
  zorv_json_object_object_add(
      o, "checkpoint",
      c->shown.checkpoint[0] ? zorv_json_object_new_string(c->shown.checkpoint)
                             : nullptr);
  const uint64_t success = c->shown.last_success_mono;
  zorv_json_object_object_add(
      o, "seconds_since_last_success",
      success != 0 && now >= success ? json_seconds(now - success) : nullptr);
  const ReplicaJudgement j = judge_replica(c, now);
  zorv_json_object_object_add(o, "current", zorv_json_object_new_boolean(j.current));
  zorv_json_object_object_add(o, "seconds_since_current",
                              j.ever ? json_seconds(j.since_us) : nullptr);
  zorv_json_object_object_add(o, "full_syncs",
                              zorv_json_object_new_uint64(c->shown.full_syncs));
  zorv_json_object_object_add(o, "failovers",
                              zorv_json_object_new_uint64(c->shown.failovers));
  zorv_json_object_object_add(
      o, "elements_merged",
      zorv_json_object_new_uint64(c->shown.elements_merged));
  const ostrel_record_stats &s = c->stats;
  if (strcmp(phase, "full sync") == 0) {
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
  return o;
}

/* ---- metrics ------------------------------------------------------------- */

const char *const kOutcomeNames[kPullOutcomes] = {
    "ok", "error_status", "transfer_failure", "corrupt_stream"};

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
  uint64_t since_current_us;
  uint64_t current;
  uint64_t full_syncs, full_sync_failures, failovers, merged, bytes, oversized;
  uint64_t pulls[kPullOutcomes];
  bool has_checkpoint;
  uint64_t epoch, position;
};

std::vector<RecordFigures> record_figures() {
  std::vector<RecordFigures> rows;
  const uint64_t now = zorv_now_mono_us();
  pthread_mutex_lock(&clusters_lock);
  each_record([&](cluster *c) {
    RecordFigures r{};
    r.id = std::to_string(c->cluster_id);
    r.phase = phase_of_record(c);
    const ReplicaJudgement j = judge_replica(c, now);
    r.since_current_us = j.since_us;
    r.current = j.current ? 1 : 0;
    r.full_syncs = c->shown.full_syncs;
    r.full_sync_failures = relaxed_load(c->stats.full_sync_failures);
    r.failovers = c->shown.failovers;
    r.merged = c->shown.elements_merged;
    r.bytes = relaxed_load(c->stats.bytes_received);
    r.oversized = relaxed_load(c->stats.oversized_skipped);
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
  zorv_metrics_family(w, "ostrel_replica_seconds_since_current", "gauge",
                      "Seconds since the cluster's replica was last known "
                      "current (a completed full sync, or a diff pull "
                      "answered 200 and decoded whole); since the record was "
                      "admitted while it never was.");
  for (const RecordFigures &r : rows) {
    const char *labels[] = {"cluster", r.id.c_str(), nullptr};
    zorv_metrics_sample(w, labels, seconds(r.since_current_us));
  }
  per_record(w, rows, "ostrel_replica_current", "gauge",
             "1 when the cluster's replica was known current within the "
             "fail-over time, else 0.",
             &RecordFigures::current);
  zorv_metrics_family(w, "ostrel_failover_timeout_seconds", "gauge",
                      "The fail-over time: how long a replica may go without "
                      "being current before the worker moves to the next "
                      "node and /health reports it.");
  zorv_metrics_sample(w, nullptr, seconds(static_cast<uint64_t>(max_fail_us_before_next)));
  per_record(w, rows, "ostrel_full_syncs_total", "counter",
             "Full-state pulls completed.", &RecordFigures::full_syncs);
  per_record(w, rows, "ostrel_full_sync_failures_total", "counter",
             "Full-state pulls that failed, cut bodies included.",
             &RecordFigures::full_sync_failures);
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
  per_record(w, rows, "ostrel_oversized_elements_skipped_total", "counter",
             "Set elements passed over because their tag is longer than "
             "max_tag_bytes.",
             &RecordFigures::oversized);
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

/* ---- health -------------------------------------------------------------- */

/* Every cluster kavalin knows is counted, whether or not a worker runs for
 * it: a cluster without one is not being replicated. */
void check_health(void *, zorv_health_report *r) {
  const uint64_t now = zorv_now_mono_us();
  pthread_mutex_lock(&clusters_lock);
  each_record([&](cluster *c) {
    const ReplicaJudgement j = judge_replica(c, now);
    if (!j.problem) return;
    char subject[32];
    snprintf(subject, sizeof subject, "cluster %d", c->cluster_id);
    zorv_health_problem(r, subject, j.why.c_str());
  });
  pthread_mutex_unlock(&clusters_lock);
}

}  // namespace

int ostrel_rest_status(zorv_http_rest_closure_t *restc, int, char **) {
  zorv_json_object *doc = zorv_json_object_new_object();
  zorv_json_object *list = zorv_json_object_new_array();
  const uint64_t now = zorv_now_mono_us();
  pthread_mutex_lock(&clusters_lock);
  each_record([&](cluster *c) {
    zorv_json_object_array_add(list, record_status(c, now));
  });
  pthread_mutex_unlock(&clusters_lock);
  zorv_json_object_object_add(doc, "clusters", list);

  ostrel_json_response_start(restc->http_ctx, 200, "OK");
  zorv_http_response_append_str(restc->http_ctx,
                                zorv_json_object_to_json_string(doc));
  zorv_http_response_append_str(restc->http_ctx, "\n");
  zorv_http_response_end(restc->http_ctx);
  zorv_json_object_put(doc);
  return 0;
}

void ostrel_operator_setup(void) {
  zorv_metrics_register("ostrel", collect, nullptr);
  zorv_health_register("ostrel", check_health, nullptr);
}
