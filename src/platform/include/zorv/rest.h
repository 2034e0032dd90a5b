/* REST routes over the host's HTTP and HTTPS listeners (libmicrohttpd).
 *
 * A route is a method, a path prefix and a regular expression (POSIX
 * extended, plus (?:...) groups and \d) matched against the rest of the
 * request path (the query string excluded); its captures are handed to the
 * handler. The first registered route whose method and prefix match and
 * whose expression matches wins.
 *
 * A handler answers through the response calls on restc->http_ctx and
 * returns 0 once it has ended the response. A handler that must wait for
 * more of the request body (rest_get_xml_upload reported it incomplete)
 * returns the mask it was given instead; the host calls it again as the
 * body arrives, and a last time once the body is complete. A handler that
 * returns without ending the response gets a 500. */
#ifndef ZORV_REST_H
#define ZORV_REST_H

#include <libxml/tree.h>

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef struct zorv_http_session_ctx zorv_http_session_ctx;

typedef struct zorv_http_rest_closure {
  zorv_http_session_ctx *http_ctx; /* the request; answer through it */
  const char *method;
  const char *path;        /* full request path, query string excluded */
  const char *remote_addr; /* textual peer address */
  zorv_boolean tls;        /* arrived over TLS */
  void *call_closure;      /* free for the handler's own per-request use */
  void (*call_closure_free)(void *); /* releases call_closure at the end */
  void *_host;             /* the host's own request state */
} zorv_http_rest_closure_t;

typedef int (*zorv_http_rest_handler_t)(zorv_http_rest_closure_t *restc,
                                        int npats, char **pats);
typedef zorv_boolean (*zorv_http_rest_authorize_func_t)(
    zorv_http_rest_closure_t *restc, int npats, char **pats);

/* Event mask values a handler returns while it waits for the body. */
#define ZORV_EVENT_READ 1
#define ZORV_EVENT_WRITE 2
#define ZORV_EVENT_EXCEPTION 4

/* 0 on success; -1 when the expression does not compile. auth may be NULL
 * (open route). A refused request gets 403 and the handler is not called. */
int zorv_http_rest_register(const char *method, const char *base,
                            const char *expr, zorv_http_rest_handler_t f);
int zorv_http_rest_register_auth(const char *method, const char *base,
                                 const char *expr, zorv_http_rest_handler_t f,
                                 zorv_http_rest_authorize_func_t auth);

/* Admits a request only when it came over TLS with a client certificate
 * that verifies against the configured client CA and is meant for client
 * authentication. */
zorv_boolean zorv_http_rest_client_cert_auth(zorv_http_rest_closure_t *restc,
                                             int npats, char **pats);

/* Query string argument of the request, or NULL. */
const char *zorv_http_request_querystring(zorv_http_session_ctx *ctx,
                                          const char *name);
/* Every value of a query string argument given more than once
 * (?tag=a&tag=b), in request order: stores up to max of them in values and
 * returns how many the request holds. The texts live as long as the request. */
int zorv_http_request_querystring_all(zorv_http_session_ctx *ctx,
                                      const char *name, const char **values,
                                      int max);
/* Request header (any letter case), or NULL. */
const char *zorv_http_request_header(zorv_http_session_ctx *ctx,
                                     const char *name);
/* The subject (RFC 4514 text) of the client certificate the request came
 * with, as heap text the caller frees; NULL when it came without one. Says
 * who asked; whether the certificate is trusted is the authoriser's to
 * decide. */
char *zorv_http_request_client_subject(zorv_http_session_ctx *ctx);
/* Calls each with every subject alternative name of that certificate that
 * is a DNS name, an IP address, an e-mail address or a URI, as "DNS:name",
 * "IP:address" (IPv4 dotted, IPv6 in its shortest form), "email:address"
 * or "URI:uri", in the certificate's order; returns how many. Like the
 * subject, says nothing of whether the certificate is trusted. */
int zorv_http_request_client_alt_names(zorv_http_session_ctx *ctx,
                                       void (*each)(void *cls, const char *name),
                                       void *cls);

void zorv_http_response_status_set(zorv_http_session_ctx *ctx, int code,
                                   const char *reason);
void zorv_http_response_header_set(zorv_http_session_ctx *ctx,
                                   const char *name, const char *value);

/* Response options.
 * ZORV_HTTP_CHUNKED: send the body with chunked transfer encoding and keep
 *   the connection open; refused (false) when the client spoke HTTP/1.0.
 * ZORV_HTTP_CLOSE: send the body with its length and close the connection
 *   afterwards; always accepted.
 * Without either, the body goes with its length on a kept-alive connection.
 * Returns whether the option was accepted. */
#define ZORV_HTTP_CHUNKED 1u
#define ZORV_HTTP_CLOSE 2u
zorv_boolean zorv_http_response_option_set(zorv_http_session_ctx *ctx,
                                           uint32_t option);

void zorv_http_response_append(zorv_http_session_ctx *ctx, const void *bytes,
                               size_t len);
void zorv_http_response_append_str(zorv_http_session_ctx *ctx, const char *s);
/* Appends the document serialised as XML. The caller keeps the document. */
void zorv_http_response_xml(zorv_http_session_ctx *ctx, xmlDocPtr doc);
/* Completes the response; nothing more may be appended. */
void zorv_http_response_end(zorv_http_session_ctx *ctx);

/* Body of the request so far (complete once a handler is called with the
 * body complete). */
const char *zorv_http_request_body(zorv_http_session_ctx *ctx, size_t *len);

/* Whether the whole request body has arrived. A handler that reads the raw
 * body returns ZORV_EVENT_READ until it has. */
zorv_boolean zorv_http_request_body_complete(zorv_http_session_ctx *ctx);

/* Reads the whole request body and parses it as XML. While the body is
 * incomplete: *complete = 0, *mask set, NULL returned; the handler returns
 * *mask. Once complete: *complete = 1 and the parsed document, or NULL when
 * the body is not XML. The host owns the document and frees it after the
 * request. */
xmlDocPtr rest_get_xml_upload(zorv_http_rest_closure_t *restc, int *mask,
                              int *complete);

ZORV_EXTERN_C_END

#endif
