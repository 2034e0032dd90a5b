/* libdrask: the client of one database cluster.
 *
 * A client is built from bootstrap host strings ("host:port"). It learns
 * the cluster's topology from the first bootstrap host that answers
 * GET http://host:port/topology, caches it, and refreshes it when it is
 * older than the refresh interval or a request through it failed.
 *
 * Lifetime: node URL strings and topology objects handed out stay valid
 * until the client is freed, even after the topology has been refreshed
 * (callers keep them across requests). */
#ifndef DRASK_CLIENT_H
#define DRASK_CLIENT_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

#define DRASK_MAX_NODES 128

typedef struct drask_client drask_client_t;
typedef struct drask_topo drask_topo_t;

/* Once per process, before any client is made. Safe to call again. */
void libdrask_init(void);

/* The client copies the host strings. NULL when count < 1. */
drask_client_t *drask_client_alloc(int count, char **hosts);
void drask_client_set_connecttimeout(drask_client_t *client, int ms);
void drask_client_set_timeout(drask_client_t *client, int ms);
/* How old a cached topology may grow before the next use refetches it
 * (default 30000 ms). */
void drask_client_set_refresh_interval(drask_client_t *client, int ms);
int drask_client_get_connecttimeout(const drask_client_t *client);
int drask_client_get_timeout(const drask_client_t *client);
/* The bootstrap hosts as given (diagnostics and tests). */
int drask_client_get_bootstrap(const drask_client_t *client,
                               const char *const **hosts);
void drask_client_free(drask_client_t *client);

/* Fills nodes (room for DRASK_MAX_NODES) with the base URLs of the
 * cluster's nodes, e.g. "http://127.0.0.1:8101"; returns their count, or -1
 * when no bootstrap host answered. */
int drask_client_get_all_nodes(drask_client_t *client, const char **nodes);
/* Marks the cached topology stale so that the next call refreshes it. */
void drask_client_topology_stale(drask_client_t *client);

/* The current topology, fetched when none is cached; NULL when the cluster
 * cannot be reached. */
drask_topo_t *drask_client_get_active_topo(drask_client_t *client);
/* The topology the client last fetched, without fetching (operator
 * read-back must not reach out to the cluster); NULL when it has none. */
drask_topo_t *drask_client_get_cached_topo(drask_client_t *client);
/* A text naming the topology: equal texts mean the same cluster. len, when
 * given, receives its length. Owned by the topology. */
const char *topo_signature(drask_topo_t *topo, size_t *len);
/* Applies the topology's transport settings (timeouts of the client that
 * fetched it, keep-alive) to a libcurl easy handle. */
void topo_curl_setup(void *curl_easy_handle, drask_topo_t *topo);

ZORV_EXTERN_C_END

#endif
