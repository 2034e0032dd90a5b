/* Hand-over of replication records between workers: who starts a record's
 * worker, who releases a record, and what happens to a record whose worker
 * ends on its own. Every transition below runs under clusters_lock, and the
 * state (cluster::handover) is read and written only there; `started` just
 * mirrors "running" for the worker's lock-free loop test.
 *
 *   waiting   in the table, no worker; the next spinup_threads starts it
 *   after     in the table, a replacement whose predecessor's worker still
 *             runs; only that worker's exit makes it waiting (two workers of
 *             one cluster would otherwise race for its topology signature)
 *   running   in the table, a worker owns the replication fields
 *   parked    in the table; its worker ended because another record holds
 *             its topology signature; made waiting when that signature is
 *             released
 *   idle      in the table; its worker ended because kavalin had no client
 *             for it (kavalin then announces a removal or a rebuild)
 *   stopping  out of the table; its worker alone owns it and releases it
 *
 *   registration, new id          -> waiting, spinup_threads
 *   replacement of running/after  -> the new record after (it waits for the
 *                                    same worker); the old running one
 *                                    stopping, an old after one released
 *   replacement of the others     -> old released, new waiting, spinup
 *   removal                       -> running: stopping; others: released
 *   spinup_threads                -> waiting: running (thread started)
 *   worker exit (stopping)        -> its signature released, records parked
 *                                    on it waiting, its successor (after)
 *                                    waiting; record released; spinup
 *   worker finds signature taken  -> running: parked; stopping: released,
 *                                    successor waiting
 *   worker finds no client        -> running: idle; stopping: as above
 *
 * So a record in the table is never left without a worker unless another
 * worker holds its signature (parked, woken when that worker lets go) or
 * kavalin has dropped the cluster (idle). */
#include <stdlib.h>
#include <string.h>

#include "modules/ostrel/internal.h"
#include "zorv/time.h"

static uint64_t next_serial = 1;  // under clusters_lock

/* Releases everything the record owns and the record. Only for a record
 * that nobody else can reach any more. */
static void release_cluster(cluster *c) {
  zorv_dyn_buffer_destroy(&c->buffer);
  free(c->checkpoint);
  free(c->nodes);  // the strings stay the database client's
  free(c->last_set_name);
  free(c->parked_on);
  free(c->signature);
  free(c);
}

static cluster *record_in_table(int32_t id) {
  void *data = nullptr;
  if (!zorv_hash_retrieve(&clusters, &id, sizeof(id), &data)) return nullptr;
  return static_cast<cluster *>(data);
}

static void make_waiting(cluster *c) {
  c->handover = Handover::kWaiting;
  c->waits_for = 0;
  free(c->parked_on);
  c->parked_on = nullptr;
  c->shown.phase = nullptr;
}

/* A record that left the table while its worker ran is done with: its
 * successor, if it waits for this worker, may start. */
static void retire(cluster *c) {
  cluster *next = record_in_table(c->cluster_id);
  if (next != nullptr && next->handover == Handover::kAfter &&
      next->waits_for == c->serial) {
    make_waiting(next);
  }
  release_cluster(c);
}

void handover_admit(cluster *fresh) {
  fresh->serial = next_serial++;
  // A new record is not current until its own full sync completes; health
  // gives it one fail-over time from here.
  fresh->admitted_mono = zorv_now_mono_us();
  cluster *old = record_in_table(fresh->cluster_id);
  if (old != nullptr && old->handover == Handover::kRunning) {
    fresh->handover = Handover::kAfter;
    fresh->waits_for = old->serial;
  } else if (old != nullptr && old->handover == Handover::kAfter) {
    fresh->handover = Handover::kAfter;
    fresh->waits_for = old->waits_for;
  } else {
    fresh->handover = Handover::kWaiting;
  }
}

void free_cluster(void *record) {
  cluster *c = static_cast<cluster *>(record);
  if (c->handover == Handover::kRunning) {
    // Its worker sees the 0 (its pauses wake for it), ends and releases it.
    c->handover = Handover::kStopping;
    started_store(c, 0);
    pthread_cond_broadcast(&clusters_cond);
    return;
  }
  release_cluster(c);
}

void spinup_threads(void) {
  pthread_mutex_lock(&clusters_lock);
  each_record([](cluster *c) {
    if (c->handover != Handover::kWaiting) return;
    c->handover = Handover::kRunning;
    started_store(c, 1);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&c->tid, &attr, ostrelate_thread, c);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      zorvTerminate(errorls, "[TERMINATE] ostrel thread creation failed: %s\n",
                    strerror(rc));
    }
  });
  pthread_mutex_unlock(&clusters_lock);
}

bool handover_claim_signature(cluster *c, const char *signature) {
  const int len = static_cast<int>(strlen(signature));
  pthread_mutex_lock(&clusters_lock);
  // Claimed under the same lock as the release below wakes parked records,
  // so a holder cannot let go between our failed claim and our parking.
  int rv = zorv_hash_set(&cluster_signatures, signature, len,
                         reinterpret_cast<void *>(1), nullptr, nullptr);
  if (rv != 2) {
    // Without a copy (no memory) records parked on it are judged by their
    // own sync only.
    c->signature = strdup(signature);
    pthread_mutex_unlock(&clusters_lock);
    return true;
  }
  if (c->handover == Handover::kRunning) {
    c->handover = Handover::kParked;
    started_store(c, 0);
    // Without a copy (no memory) it wakes at the release of any signature.
    c->parked_on = strdup(signature);
    c->shown.phase = "skipped: another cluster id replicates this topology";
  } else {
    retire(c);
  }
  pthread_mutex_unlock(&clusters_lock);
  return false;
}

void handover_no_client(cluster *c) {
  pthread_mutex_lock(&clusters_lock);
  if (c->handover == Handover::kRunning) {
    c->handover = Handover::kIdle;
    started_store(c, 0);
    c->shown.phase = "stopped: no client";
  } else {
    retire(c);
  }
  pthread_mutex_unlock(&clusters_lock);
}

void handover_stopped(cluster *c, const char *signature) {
  pthread_mutex_lock(&clusters_lock);
  if (signature != nullptr) {
    zorv_hash_delete(&cluster_signatures, signature,
                     static_cast<int>(strlen(signature)), nullptr, nullptr);
    each_record([c, signature](cluster *p) {
      if (p->handover == Handover::kParked &&
          (p->parked_on == nullptr || strcmp(p->parked_on, signature) == 0)) {
        make_waiting(p);
        // The store holds this topology's data as current as the worker
        // that ends left it; the woken record takes over from there.
        if (c->shown.current_mono > p->shown.current_mono) {
          p->shown.current_mono = p->current_mono = c->shown.current_mono;
        }
      }
    });
  }
  retire(c);
  pthread_mutex_unlock(&clusters_lock);
}
