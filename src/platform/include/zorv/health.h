/* Health checks: each owner of something that can go wrong (a replication
 * worker, a listener) registers a check that reports what is wrong right
 * now; the daemon's health route runs them all. A check only reads state. */
#ifndef ZORV_HEALTH_H
#define ZORV_HEALTH_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef struct zorv_health_report zorv_health_report;
typedef void (*zorv_health_check_t)(void *closure, zorv_health_report *r);

/* Checks are never removed; 0 on success. owner names the reporter in the
 * answer ("ostrel"). */
int zorv_health_register(const char *owner, zorv_health_check_t fn,
                         void *closure);

/* One thing that is wrong: what (e.g. "cluster 1") and why, in words. */
void zorv_health_problem(zorv_health_report *r, const char *subject,
                         const char *reason);

/* Runs every check. Returns the number of problems and sets *problems to a
 * JSON array text (heap; the caller frees) of
 * {"owner":...,"subject":...,"reason":...}. */
int zorv_health_evaluate(char **problems);

ZORV_EXTERN_C_END

#endif
