/* A stand-in for the kavalin module inside a unit-test executable: the
 * cluster-changed hook registration that ostrel links against, and (in the
 * executables that want one) the client lookup that ostrel resolves by
 * name at run time. The test decides which clusters have a client. */
#ifndef OSTREL_TESTS_FAKE_KAVALIN_H
#define OSTREL_TESTS_FAKE_KAVALIN_H

#include "modules/kavalin/kavalin.h"

namespace fake_kavalin {

/* The callback ostrel registered, and its closure (null until then). */
kavalin_cluster_changed_hook_func_t registered_func();
void *registered_closure();
int registrations();

/* Gives cluster_id a (dummy, never dereferenced) client, or takes it away. */
void set_client(int cluster_id, bool present);

/* How often the client lookup was asked for cluster_id; waits (bounded)
 * until it was asked n times. Registration asks once, a worker once as it
 * starts: so a test can tell that a worker got past its start. */
int lookups(int cluster_id);
bool wait_lookups(int cluster_id, int n);
/* The n-th lookup for cluster_id (counting as lookups() does) answers
 * null, as if kavalin had dropped the cluster just then. */
void fail_lookup_number(int cluster_id, int n);

/* Calls the registered callback as kavalin does after its table changed. */
zorv_hook_return_t fire_cluster_changed(int cluster_id);

}  // namespace fake_kavalin

#endif
