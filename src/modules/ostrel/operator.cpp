/* What the worker tells operators as it goes: the counters behind the
 * metrics (status.cpp reads them), and the log lines that say when pulls
 * start and stop failing, which elements were passed over and where a
 * fail-over goes.
 *
 * Threads: the worker writes a record's stats (relaxed atomic stores where
 * a scrape or the status route may read them at the same time). None of it
 * is on the per-metric path: pulls are counted once per transfer. */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "drask/client.h"
#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "zorv/time.h"

namespace {

/* A failing node is reminded of at most this often. */
constexpr uint64_t kReminderUs = 60ull * 1000000;

template <typename T>
void relaxed_store(T &field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

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
               const char *curl_error, long status, uint64_t bytes,
               bool cut_short) {
  ostrel_record_stats &s = c->stats;
  pull_outcome outcome;
  char why[160];
  if (curl_code == 0 && status == 200 && cut_short) {
    outcome = kPullCorruptStream;
    snprintf(why, sizeof why, "stream cut short");
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

  const uint64_t now = zorv_now_mono_us();
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

void note_oversized(cluster *c, const char *check, uint32_t len) {
  ostrel_record_stats &s = c->stats;
  relaxed_store(s.oversized_skipped, s.oversized_skipped + 1);
  if (strncmp(s.oversized_check, check, sizeof s.oversized_check - 1) == 0) return;
  snprintf(s.oversized_check, sizeof s.oversized_check, "%s", check);
  zorvL(errorls,
        "[%d] passed over an element of check %s: its tag of %u bytes is "
        "longer than max_tag_bytes (%u)\n",
        c->cluster_id, check, len, max_tag_bytes);
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
  memcpy(s.shown_error, s.last_error, sizeof s.shown_error);
}


