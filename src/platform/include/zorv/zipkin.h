/* Tracing of outgoing HTTP requests (B3 propagation headers). */
#ifndef ZORV_ZIPKIN_H
#define ZORV_ZIPKIN_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

struct curl_slist;

/* Starts a client span named "curl: request" and appends its tracing headers
 * (trace, parent, span, sampled, in that order; each one that applies) to
 * list. With tracing off nothing is appended and list comes back as given
 * (NULL stays NULL). The caller frees the list with curl_slist_free_all. */
struct curl_slist *zorv_zipkin_inst_curl_headers(struct curl_slist *list);

/* Tracing is off unless the configuration enables it (//zipkin/@enabled);
 * tests switch it directly. */
void zorv_zipkin_set_enabled(zorv_boolean on);
zorv_boolean zorv_zipkin_is_enabled(void);
/* Applies //zipkin/@enabled ("true"/"false") of the loaded configuration;
 * absent means off. The daemon calls it after loading the configuration. */
void zorv_zipkin_configure_from_conf(void);

/* The calling thread's current span: client spans started on this thread
 * become its children (same trace, ParentSpanId = span_id). trace_id is 16
 * or 32 hexadecimal digits, span_id 16; a NULL trace_id clears it. 0 on
 * success; -1 for a malformed id, which also clears it. */
int zorv_zipkin_set_thread_span(const char *trace_id, const char *span_id);

ZORV_EXTERN_C_END

#endif
