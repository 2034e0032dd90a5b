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

ZORV_EXTERN_C_END

#endif
