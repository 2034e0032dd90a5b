/* Replication records: one per cluster that kavalin announces, created,
 * replaced and removed as its cluster-changed hook fires. Which worker
 * starts or releases a record is the hand-over's business (handover.cpp). */
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"

zorv_hash_table clusters;
pthread_mutex_t clusters_lock;
pthread_cond_t clusters_cond;
zorv_hash_table cluster_signatures;

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
  handover_admit(c);
  const bool waits_for_outgoing = c->handover == Handover::kAfter;
  int rv = zorv_hash_replace(&clusters, &c->cluster_id, sizeof(c->cluster_id),
                             c, nullptr, free_cluster);
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
    // A replacement for a record with a live worker is started by that
    // worker as it ends; otherwise nobody else would start it.
    zorvL(notice,
          "[%d] Updated cluster for check tag replication with %d nodes\n",
          cluster_id, static_cast<int>(nodes_cnt));
    if (!waits_for_outgoing) spinup_threads();
  } else {
    // Never entered the table: nobody else knows the record.
    zorvL(err, "[%d] failed to update cluster\n", cluster_id);
    zorv_dyn_buffer_destroy(&c->buffer);
    free(c);
  }
}
