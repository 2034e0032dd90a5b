/* Metrics in the Prometheus text exposition format (version 0.0.4).
 *
 * Whoever owns a value keeps it (a relaxed atomic, a per-thread counter, a
 * field read under the owner's lock) and registers a collector; a scrape
 * calls every collector in registration order, each writing whole families
 * through the writer below. Nothing is sampled between scrapes, so metrics
 * cost the hot paths only what their owners' own counters cost.
 *
 * The writer keeps the output well-formed whatever a collector does: names
 * and label names outside the format's alphabet, a second family of a name
 * already written, and samples outside any family are dropped (and logged
 * once per name); label values and help texts are escaped. */
#ifndef ZORV_METRICS_H
#define ZORV_METRICS_H

#include <stddef.h>
#include <stdint.h>

#include "zorv/defs.h"
#include "zorv/rest.h"

ZORV_EXTERN_C_BEGIN

typedef struct zorv_metrics_writer zorv_metrics_writer;
typedef void (*zorv_metrics_collector_t)(void *closure, zorv_metrics_writer *w);

/* Collectors are never removed; 0 on success. */
int zorv_metrics_register(const char *owner, zorv_metrics_collector_t fn,
                          void *closure);

/* Starts a family: its HELP and TYPE lines. type is "counter", "gauge" or
 * "untyped". Every sample until the next family belongs to this one. */
void zorv_metrics_family(zorv_metrics_writer *w, const char *name,
                         const char *type, const char *help);

/* One sample of the current family. labels: name, value, name, value, ...,
 * NULL; or NULL for none. */
void zorv_metrics_sample(zorv_metrics_writer *w, const char *const *labels,
                         double value);
void zorv_metrics_sample_u64(zorv_metrics_writer *w, const char *const *labels,
                             uint64_t value);

/* The whole exposition: heap text (NUL-terminated) the caller frees. */
char *zorv_metrics_render(size_t *len);

/* The authoriser of the metrics route: admits any request that arrived on
 * a listener configured with metrics="open", and elsewhere only a request
 * with a valid client certificate. */
zorv_boolean zorv_http_rest_metrics_auth(zorv_http_rest_closure_t *restc,
                                         int npats, char **pats);

#define ZORV_METRICS_CONTENT_TYPE "text/plain; version=0.0.4; charset=utf-8"

ZORV_EXTERN_C_END

#endif
