/* ostrel: the replicated check tags, as other parts of the daemon see them.
 *
 * Both functions are exported by name and safe to call from any thread at
 * any time, beside the replication workers that write the store: they take
 * no lock and allocate nothing. A tag text handed to the callback is owned
 * by the store and stays valid, unchanged, for the life of the process, so
 * the caller may keep the pointer without copying it. */
#ifndef OSTREL_H
#define OSTREL_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef void (*drask_check_tags_each_func_t)(void *closure, const char *tag);

/* The check's tag generation: 0 while the check is not in the store, then
 * 1 and counting up with every change of its tags (never 0 again). The
 * UUID text is compared byte for byte with the text the feed delivered
 * (lower case in practice). */
ZORV_EXPORT uint64_t drask_check_tags_generation_dyn(const char *uuid);

/* Calls f(closure, tag) for every live tag of the check, in no particular
 * order; nothing for a check that is not in the store. */
ZORV_EXPORT void drask_check_tags_each_dyn(const char *uuid,
                                           drask_check_tags_each_func_t f,
                                           void *closure);

typedef uint64_t (*drask_check_tags_generation_func_t)(const char *uuid);
typedef void (*drask_check_tags_each_dyn_func_t)(const char *uuid,
                                                 drask_check_tags_each_func_t f,
                                                 void *closure);

ZORV_EXTERN_C_END

#endif
