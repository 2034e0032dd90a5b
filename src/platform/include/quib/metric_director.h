/* The metric director's check-generation notice. It is optional: the daemon
 * provides it from a library it loads unless the configuration switches it
 * off, and callers resolve it by name at run time. */
#ifndef QUIB_METRIC_DIRECTOR_H
#define QUIB_METRIC_DIRECTOR_H

#include <uuid/uuid.h>

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

#define METRIC_DIRECTOR_SET_CHECK_GENERATION_SYMBOL \
  "metric_director_set_check_generation_dyn"

typedef void (*metric_director_set_check_generation_func)(uuid_t in,
                                                          uint64_t gen);

/* Tells the director the new tag generation of a check. */
ZORV_EXPORT void metric_director_set_check_generation_dyn(uuid_t in,
                                                          uint64_t gen);
#define METRIC_DIRECTOR_PREFETCH_CHECK_SYMBOL "metric_director_prefetch_check"

typedef void (*metric_director_prefetch_check_func)(const uuid_t in);

/* A hint: starts loading what telling a check's generation will touch, so
 * that a caller with several checks at hand overlaps their cache misses.
 * Optional like the notice itself; callers resolve it by name. */
ZORV_EXPORT void metric_director_prefetch_check(const uuid_t in);
/* The last generation told for a check, 0 when none (diagnostics). */
ZORV_EXPORT uint64_t metric_director_get_check_generation(const uuid_t in);

ZORV_EXTERN_C_END

#endif
