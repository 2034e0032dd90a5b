/* The topology document a cluster node serves at GET /topology:
 *
 *   {"signature": "<text naming the cluster>",
 *    "nodes": ["http://127.0.0.1:8101", "http://127.0.0.1:8102"]}
 *
 * "nodes" holds at most DRASK_MAX_NODES base URLs; each is used as the
 * prefix of a request URL. Unknown members are ignored. */
#ifndef DRASK_TOPOLOGY_H
#define DRASK_TOPOLOGY_H

#include "drask/client.h"

ZORV_EXTERN_C_BEGIN

#define DRASK_TOPOLOGY_PATH "/topology"

/* Parses a topology document; NULL when it is not one (an empty "nodes"
 * array is allowed). The result is freed with drask_topo_free unless a
 * client adopted it. */
drask_topo_t *drask_topo_parse(const char *json, size_t len);
int drask_topo_node_count(const drask_topo_t *topo);
const char *drask_topo_node(const drask_topo_t *topo, int index);
void drask_topo_free(drask_topo_t *topo);

ZORV_EXTERN_C_END

#endif
