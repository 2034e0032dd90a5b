/* The module-facing REST calls: route registration and the request
 * accessors, including the XML upload reader. */
#include <libxml/parser.h>

#include <cstring>

#include "http_routes.h"
#include "http_session.h"

extern "C" {

int zorv_http_rest_register(const char *method, const char *base,
                            const char *expr, zorv_http_rest_handler_t f) {
  return zorv::http::add_route(method, base, expr, f, nullptr);
}

int zorv_http_rest_register_auth(const char *method, const char *base,
                                 const char *expr, zorv_http_rest_handler_t f,
                                 zorv_http_rest_authorize_func_t auth) {
  return zorv::http::add_route(method, base, expr, f, auth);
}

const char *zorv_http_request_querystring(zorv_http_session_ctx *ctx,
                                          const char *name) {
  if (!ctx || !name) return nullptr;
  return MHD_lookup_connection_value(ctx->connection, MHD_GET_ARGUMENT_KIND,
                                     name);
}

namespace {
struct ValueCollector {
  const char *name;
  const char **values;
  int max;
  int count;
};

MHD_Result collect_value(void *cls, enum MHD_ValueKind, const char *key,
                         const char *value) {
  auto *c = static_cast<ValueCollector *>(cls);
  if (key && std::strcmp(key, c->name) == 0) {
    if (c->count < c->max) c->values[c->count] = value ? value : "";
    ++c->count;
  }
  return MHD_YES;
}
}  // namespace

int zorv_http_request_querystring_all(zorv_http_session_ctx *ctx,
                                      const char *name, const char **values,
                                      int max) {
  if (!ctx || !name) return 0;
  ValueCollector c{name, values, values ? max : 0, 0};
  MHD_get_connection_values(ctx->connection, MHD_GET_ARGUMENT_KIND,
                            collect_value, &c);
  return c.count;
}

const char *zorv_http_request_header(zorv_http_session_ctx *ctx,
                                     const char *name) {
  if (!ctx || !name) return nullptr;
  return MHD_lookup_connection_value(ctx->connection, MHD_HEADER_KIND, name);
}

const char *zorv_http_request_body(zorv_http_session_ctx *ctx, size_t *len) {
  if (!ctx) {
    if (len) *len = 0;
    return nullptr;
  }
  if (len) *len = ctx->body.size();
  return ctx->body.c_str();
}

zorv_boolean zorv_http_request_body_complete(zorv_http_session_ctx *ctx) {
  return ctx && ctx->body_complete;
}

xmlDocPtr rest_get_xml_upload(zorv_http_rest_closure_t *restc, int *mask,
                              int *complete) {
  zorv_http_session_ctx *ctx = restc ? restc->http_ctx : nullptr;
  if (!ctx || !ctx->body_complete) {
    if (mask) *mask = ZORV_EVENT_READ | ZORV_EVENT_EXCEPTION;
    if (complete) *complete = 0;
    return nullptr;
  }
  if (complete) *complete = 1;
  if (!ctx->upload_parsed) {
    ctx->upload_parsed = true;
    /* No network access and no entity expansion: the body comes from the
     * network and must not make the parser fetch or inflate anything.
     * Errors stay quiet; a NULL document is the caller's answer.
     * No dictionary either: handlers move uploaded elements into the
     * configuration tree, and names interned in this document's dictionary
     * would dangle there once the document is freed. */
    if (!ctx->body.empty() &&
        ctx->body.size() <= static_cast<size_t>(INT32_MAX))
      ctx->upload_doc = xmlReadMemory(
          ctx->body.data(), static_cast<int>(ctx->body.size()), "upload.xml",
          nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                       XML_PARSE_NODICT);
  }
  return ctx->upload_doc;
}

}  // extern "C"
