/* The worker thread of one replication record.
 *
 * For now the worker only keeps the handshake with the registration side:
 * it waits for the subscriber, then for its record to be told to stop, and
 * on stop releases the record and starts the workers of waiting records
 * (among them the one that replaced its own). The replication passes come
 * with the feed requests and stream decoders. */
#include <stdio.h>

#include "modules/ostrel/internal.h"
#include "zorv/memory.h"
#include "zorv/thread.h"

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

/* Sleeps until the record is told to stop. */
static void wait_for_stop(cluster *c) {
  pthread_mutex_lock(&clusters_lock);
  while (started_load(c) != 0) {
    pthread_cond_wait(&clusters_cond, &clusters_lock);
  }
  pthread_mutex_unlock(&clusters_lock);
}

void *ostrelate_thread(void *record) {
  cluster *c = static_cast<cluster *>(record);
  const int cluster_id = c->cluster_id;

  zorv_memory_init_thread();
  char name[48];
  snprintf(name, sizeof(name), "tags:%d", cluster_id);
  zorv_thread_setname(name);

  if (wait_for_subscriber(c)) wait_for_stop(c);

  // Stopping: the record left the table and belongs to this thread alone.
  zorvL(noticels, "[%d] ostrelate stopping against %d\n", cluster_id,
        cluster_id);
  free_cluster(c);  // started is 0: releases the record
  zorv_memory_fini_thread();
  spinup_threads();
  return nullptr;
}
