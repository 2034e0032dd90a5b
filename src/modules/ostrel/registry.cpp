/* Replication records: one per cluster that kavalin announces, created,
 * replaced and removed as its cluster-changed hook fires, each handed to a
 * detached worker thread.
 *
 * Ownership moves with the `started` flag (see internal.h):
 *   waiting  (0, in table)  -> spinup_threads stores 1, starts a worker
 *   running  (1, in table)  -> removal/replacement: free_cluster stores 0
 *   stopping (0, not in table) the worker alone owns it and releases it
 * A waiting record removed from the table is released at once. */
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"

zorv_hash_table clusters;
pthread_mutex_t clusters_lock;
pthread_cond_t clusters_cond;
zorv_hash_table cluster_signatures;

/* Set by free_cluster (under clusters_lock) when it released a record whose
 * worker had already ended on its own: the replacement must not wait for a
 * hand-over that will never come. */
static bool released_without_worker = false;

void ostrel_registry_setup(void) {
  zorv_hash_init(&clusters);
  pthread_mutex_init(&clusters_lock, nullptr);
  // Workers pause with timed waits on the monotonic clock, so that a clock
  // change neither stretches nor cuts their pauses.
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&clusters_cond, &attr);
  pthread_condattr_destroy(&attr);
  zorv_hash_init_locks(&cluster_signatures, 128, ZORV_HASH_LOCK_MODE_MUTEX);
}

/* Releases everything the record owns and the record. Only for a record
 * that nobody else can reach any more. */
static void release_cluster(cluster *c) {
  zorv_dyn_buffer_destroy(&c->buffer);
  free(c->checkpoint);
  free(c->nodes);  // the strings stay the database client's
  free(c->last_set_name);
  free(c);
}

/* The table's value-release function: runs inside zorv_hash_delete and
 * zorv_hash_replace, so always under clusters_lock. */
void free_cluster(void *record) {
  cluster *c = static_cast<cluster *>(record);
  if (started_load(c) != 0 && c->worker_gone) {
    // Its worker ended early and left it to the table.
    released_without_worker = true;
    release_cluster(c);
    return;
  }
  if (started_load(c) != 0) {
    // A worker owns the record now; it sees the 0, ends and releases it.
    started_store(c, 0);
    pthread_cond_broadcast(&clusters_cond);
    return;
  }
  release_cluster(c);
}

zorv_hook_return_t ostrel_react_cluster_changed(void *, int cluster_id) {
  register_cluster(cluster_id);
  return ZORV_HOOK_CONTINUE;
}

void register_cluster(int cluster_id) {
  zorv_log_stream_t err = errorls ? errorls : zorv_error;
  zorv_log_stream_t notice = noticels ? noticels : zorv_notice;

  // The client only tells whether kavalin still has the cluster.
  if (kavalin_client_for_cluster(cluster_id) == nullptr) {
    zorvL(err, "[%d] unregistering cluster for check tag replication.\n",
          cluster_id);
    pthread_mutex_lock(&clusters_lock);
    zorv_hash_delete(&clusters, &cluster_id, sizeof(cluster_id), nullptr,
                     free_cluster);
    pthread_mutex_unlock(&clusters_lock);
    return;
  }

  cluster *c = static_cast<cluster *>(calloc(1, sizeof(cluster)));
  if (c == nullptr) {
    zorvL(err, "[%d] failed to update cluster\n", cluster_id);
    return;
  }
  c->cluster_id = cluster_id;
  zorv_dyn_buffer_init(&c->buffer);

  pthread_mutex_lock(&clusters_lock);
  released_without_worker = false;
  int rv = zorv_hash_replace(&clusters, &c->cluster_id, sizeof(c->cluster_id),
                             c, nullptr, free_cluster);
  const bool no_handover = released_without_worker;
  // nodes_cnt is read under the lock: once the record is in the table a
  // worker may start filling it in.
  uint32_t nodes_cnt = c->nodes_cnt;
  pthread_mutex_unlock(&clusters_lock);

  if (rv == 1) {
    zorvL(notice,
          "[%d] registered new cluster for check tag replication with %d "
          "nodes\n",
          cluster_id, static_cast<int>(nodes_cnt));
    spinup_threads();
  } else if (rv == 2) {
    // The replacement waits with started 0; the outgoing worker starts it
    // through spinup_threads as it ends.
    zorvL(notice,
          "[%d] Updated cluster for check tag replication with %d nodes\n",
          cluster_id, static_cast<int>(nodes_cnt));
    if (no_handover) spinup_threads();
  } else {
    zorvL(err, "[%d] failed to update cluster\n", cluster_id);
    release_cluster(c);
  }
}

void spinup_threads(void) {
  pthread_mutex_lock(&clusters_lock);
  zorv_hash_iter iter = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv(&clusters, &iter, &key, &klen, &data)) {
    cluster *c = static_cast<cluster *>(data);
    if (started_load(c) != 0) continue;
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
  }
  pthread_mutex_unlock(&clusters_lock);
}
