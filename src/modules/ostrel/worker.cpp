/* ostrelate_thread: the replication worker of one record.
 *
 * Each pass, while the record's started flag is set:
 *   P1 nodes       (once)  the cluster's node list
 *   P2 topology    (once)  claim its signature; a claimed one ends the worker
 *   P3 checkpoint          create one on the node `theone` picks
 *   P4 full state          once per checkpoint; failure: next node
 *   P5 diff                409: new checkpoint; failures beyond the
 *                          fail-over time: next node
 *   P6 pause               by the pass's outcome
 * A stop request (started 0) is honoured at the next loop test; pauses end
 * early when it comes, so a replaced cluster hands over at once. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "drask/client.h"
#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "zorv/memory.h"
#include "zorv/thread.h"
#include "zorv/time.h"

namespace {

enum class Outcome { kFailed, kSucceeded, kNeutral };

/* Sleeps up to seconds, or less when the record is told to stop. */
void pause_seconds(cluster *c, int seconds) {
  if (seconds <= 0) return;
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += seconds;
  pthread_mutex_lock(&clusters_lock);
  while (started_load(c) != 0) {
    if (pthread_cond_timedwait(&clusters_cond, &clusters_lock, &deadline) ==
        ETIMEDOUT) {
      break;
    }
  }
  pthread_mutex_unlock(&clusters_lock);
}

void set_thread_name(const char *format, int id, const char *signature) {
  char name[48];
  snprintf(name, sizeof(name), format, id, signature);
  zorv_thread_setname(name);
}

/* The phase a pass starts in, as the status route names it. */
const char *phase_of(const cluster *c, const drask_topo_t *topology) {
  if (c->nodes == nullptr) return "finding nodes";
  if (topology == nullptr) return "finding topology";
  if (c->checkpoint == nullptr) return "establishing";
  return c->full_complete ? "diff sync" : "full sync";
}

struct Counts {
  uint64_t full_syncs = 0;
  uint64_t failovers = 0;
};

/* Publishes what the status route shows (under clusters_lock, where the
 * route reads it). */
void publish(cluster *c, const drask_topo_t *topology, const Counts &n) {
  pthread_mutex_lock(&clusters_lock);
  c->shown.phase = phase_of(c, topology);
  c->shown.node = (c->nodes != nullptr && c->nodes_cnt > 0)
                      ? c->nodes[c->theone % c->nodes_cnt]
                      : nullptr;
  snprintf(c->shown.checkpoint, sizeof(c->shown.checkpoint), "%s",
           c->checkpoint ? c->checkpoint : "");
  c->shown.last_success_mono = c->last_success_mono;
  if (c->current_mono > c->shown.current_mono) c->shown.current_mono = c->current_mono;
  c->shown.full_syncs = n.full_syncs;
  c->shown.failovers = n.failovers;
  c->shown.elements_merged = c->elements_merged;
  publish_stats(c);
  pthread_mutex_unlock(&clusters_lock);
}

}  // namespace

bool wait_for_subscriber(cluster *c) {
  // A cluster announced before post-initialisation gets its worker before
  // a defaulted subscriber exists; its first request needs one.
  pthread_mutex_lock(&clusters_lock);
  while (subscriber == nullptr && started_load(c) != 0) {
    pthread_cond_wait(&clusters_cond, &clusters_lock);
  }
  bool ready = subscriber != nullptr && started_load(c) != 0;
  pthread_mutex_unlock(&clusters_lock);
  return ready;
}

void *ostrelate_thread(void *record) {
  cluster *c = static_cast<cluster *>(record);
  const int id = c->cluster_id;

  drask_client_t *client = kavalin_client_for_cluster(id);
  if (client == nullptr) {
    zorvL(errorls, "[%d] can't get client for cluster\n", id);
    handover_no_client(c);  // c is not ours to touch after this
    spinup_threads();
    return nullptr;
  }
  zorv_memory_init_thread();
  set_thread_name("tags:%d", id, "");

  drask_topo_t *topology = nullptr;
  const char *signature = nullptr;
  bool success = false;
  Counts counts;
  bool ready = wait_for_subscriber(c);

  while (ready && started_load(c) != 0) {
    publish(c, topology, counts);
    // P1: the node list, once.
    if (c->nodes == nullptr) {
      const char *nodes[DRASK_MAX_NODES];
      int n = drask_client_get_all_nodes(client, nodes);
      if (n == -1) {
        zorvL(errorls, "[%d] failed to register cluster. Can't connect.\n", id);
        pause_seconds(c, 5);
        continue;
      }
      c->nodes = static_cast<const char **>(
          calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(char *)));
      if (n > 0) memcpy(c->nodes, nodes, static_cast<size_t>(n) * sizeof(char *));
      c->nodes_cnt = static_cast<uint32_t>(n);
    }

    // P2: the topology and its signature, once.
    if (topology == nullptr) {
      topology = drask_client_get_active_topo(client);
      if (topology == nullptr) {
        zorvL(errorls, "[%d] error fetching topology of cluster.\n", id);
        pause_seconds(c, 5);
        continue;
      }
      signature = topo_signature(topology, nullptr);
      if (!handover_claim_signature(c, signature)) {
        // Parked until the holder lets go (or released, when the record
        // left the table meanwhile): c is not ours to touch after this.
        zorvL(errorls,
              "[%d] ostrelate already replicating cluster with same signature "
              "%s. Skipping cluster.\n",
              id, signature);
        zorv_memory_fini_thread();
        spinup_threads();
        return nullptr;
      }
      zorvL(noticels, "[%d] ostrelate starting against %s\n", id, signature);
      set_thread_name("tags:%d/%s", id, signature);
    }

    Outcome outcome = Outcome::kNeutral;
    bool creation_failed = false;

    // P3: a checkpoint.
    if (c->checkpoint == nullptr) {
      c->full_complete = false;
      c->full_state = 255;
      establish_checkpoint(c);
      creation_failed = c->checkpoint == nullptr;
      // The checkpoint is shown as soon as it exists, and the full sync
      // that follows in this pass as the phase it is.
      if (!creation_failed) publish(c, topology, counts);
    }

    if (!creation_failed && !c->full_complete) {
      // P4: the full state.
      zorvL(noticels, "[%d] ostrelate full sync against %s\n", id, signature);
      log_full_sync_node(c);
      c->full_checks = c->full_elements = c->full_bytes = 0;
      c->full_progress_at = 0;
      int status = pull_it(c, "/meta/check/tag", read_full);
      // A complete stream ends on a record boundary and never between an
      // element's info and its value, so a body that stops elsewhere was
      // cut short: the checks after the cut were never seen, and calling
      // that a complete sync would lose them for good (diffs only carry
      // later changes). It fails like any broken full sync.
      const bool truncated = status == 200 && stream_cut_short(c);
      if (truncated) {
        zorvL(errorls, "[%d] ostrelate full sync had trailing data\n", id);
      }
      if (status != 200 || truncated) {
        zorvL(errorls, "[%d] ostrelate full sync failed against %s\n", id,
              signature);
        std::atomic_ref<uint64_t>(c->stats.full_sync_failures)
            .fetch_add(1, std::memory_order_relaxed);
        drop_checkpoint(c);
        c->theone++;
        counts.failovers++;
        log_failover(c, "full sync failed");
        outcome = Outcome::kFailed;
      } else {
        c->full_complete = true;
        c->current_mono = zorv_now_mono_us();
        counts.full_syncs++;
        zorvL(noticels, "[%d] ostrelate full sync complete against %s\n", id,
              signature);
        outcome = Outcome::kSucceeded;
      }
    } else if (!creation_failed) {
      // P5: the changes since the checkpoint.
      int status = pull_it(c, "/metafeed/check/tag?subscriber=%s&checkpoint=%s",
                           read_diff);
      // A body that ends inside a message was cut short: its checkpoint
      // token was not adopted (pull_it), and the pull fails like any other.
      if (status == 200 && !stream_cut_short(c)) {
        c->current_mono = zorv_now_mono_us();
        zorvL(controlls, "[%d] ostrelate advanced checkpoint [%s] against %s\n",
              id, c->checkpoint ? c->checkpoint : "none", signature);
        outcome = Outcome::kSucceeded;
      } else if (status == 409) {
        zorvL(errorls, "[%d] ostrelate lost checkpoint against %s\n", id,
              signature);
        free(c->checkpoint);
        c->checkpoint = nullptr;
      } else if (zorv_now_mono_us() - c->last_success_mono >
                 static_cast<uint64_t>(max_fail_us_before_next)) {
        zorvL(errorls, "[%d] ostrelate lost sync against %s\n", id, signature);
        drop_checkpoint(c);
        c->theone++;
        counts.failovers++;
        log_failover(c, "no successful pull within the fail-over time");
      } else {
        outcome = Outcome::kFailed;
      }
    }

    publish(c, topology, counts);

    // P6: the pause. A node that keeps refusing checkpoints is retried
    // once a second, not in a tight loop.
    if (outcome == Outcome::kFailed) success = false;
    if (outcome == Outcome::kSucceeded) success = true;
    if (outcome == Outcome::kFailed || creation_failed || !success) {
      pause_seconds(c, 1);
    } else if (!c->checkpoint_changed) {
      pause_seconds(c, update_interval);
    }
  }

  // Stopping: the record left the table and belongs to this thread alone.
  if (signature != nullptr) {
    zorvL(noticels, "[%d] ostrelate stopping against %s\n", id, signature);
  } else {
    zorvL(noticels, "[%d] ostrelate stopping against %d\n", id, id);
  }
  handover_stopped(c, signature);  // releases the record
  zorv_memory_fini_thread();
  spinup_threads();
  return nullptr;
}
