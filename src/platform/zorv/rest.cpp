/* The module-facing REST calls: route registration and the request
 * accessors, including the XML upload reader. */
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <cstdint>
#include <cstring>
#include <string>

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
/* Uploaded documents are hostile. Beyond well-formedness they must carry
 * no document type declaration at all: handlers copy elements into the
 * configuration, and an entity declared in the upload would be expanded in
 * memory but written to the file as a bare reference that no longer
 * resolves; external subsets and entities would make the parser read
 * files. The declaration is refused as soon as it starts, before its
 * internal subset is read, so nothing of it is ever expanded. Nesting is
 * bounded far below the parser's own limit: the documents handlers take
 * are a few levels deep. */
constexpr int kMaxUploadDepth = 32;

struct UploadGuard {
  xmlParserCtxtPtr parser = nullptr;
  startElementNsSAX2Func start = nullptr;
  endElementNsSAX2Func end = nullptr;
  int depth = 0;
  bool refused = false;
};

/* The parser runs on this thread only, from start to end of one parse. */
thread_local UploadGuard *upload_guard = nullptr;

void refuse_upload() {
  upload_guard->refused = true;
  xmlStopParser(upload_guard->parser);
}

void on_doctype(void *, const xmlChar *, const xmlChar *, const xmlChar *) {
  refuse_upload();
}

void on_start(void *cls, const xmlChar *local, const xmlChar *prefix,
              const xmlChar *uri, int nns, const xmlChar **ns, int nattrs,
              int ndefaulted, const xmlChar **attrs) {
  if (++upload_guard->depth > kMaxUploadDepth) {
    refuse_upload();
    return;
  }
  upload_guard->start(cls, local, prefix, uri, nns, ns, nattrs, ndefaulted,
                      attrs);
}

void on_end(void *cls, const xmlChar *local, const xmlChar *prefix,
            const xmlChar *uri) {
  --upload_guard->depth;
  upload_guard->end(cls, local, prefix, uri);
}

/* NULL unless the body is a well-formed document within the bounds above.
 * No network, no entity substitution, no external subset, errors quiet (a
 * NULL document is the caller's answer). No dictionary either: handlers
 * move uploaded elements into the configuration tree, and names interned
 * in this document's dictionary would dangle there once it is freed. */
xmlDocPtr parse_upload(const std::string &body) {
  if (body.empty() || body.size() > static_cast<size_t>(INT32_MAX))
    return nullptr;
  xmlParserCtxtPtr parser = xmlNewParserCtxt();
  if (!parser) return nullptr;
  UploadGuard guard;
  guard.parser = parser;
  guard.start = parser->sax->startElementNs;
  guard.end = parser->sax->endElementNs;
  parser->sax->internalSubset = on_doctype;
  parser->sax->externalSubset = nullptr;
  parser->sax->resolveEntity = nullptr;
  parser->sax->startElementNs = on_start;
  parser->sax->endElementNs = on_end;
  upload_guard = &guard;
  xmlDocPtr doc = xmlCtxtReadMemory(
      parser, body.data(), static_cast<int>(body.size()), "upload.xml",
      nullptr,
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
          XML_PARSE_NODICT);
  upload_guard = nullptr;
  xmlFreeParserCtxt(parser);
  if (doc && (guard.refused || doc->intSubset || doc->extSubset)) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  return doc;
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
    ctx->upload_doc = parse_upload(ctx->body);
  }
  return ctx->upload_doc;
}

}  // extern "C"
