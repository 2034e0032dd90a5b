/* Response building: handlers fill status, headers and body on the session;
 * once the handler has ended the response the server queues it. */
#include <libxml/xmlsave.h>
#include <strings.h>

#include <cstring>
#include <memory>

#include "http_routes.h"
#include "http_session.h"

namespace {

/* A body served by libmicrohttpd's reader callback, so that the same path
 * covers a known length and chunked transfer (unknown length). */
struct BodySource {
  std::string bytes;
  size_t offset = 0;
};

ssize_t read_body(void *cls, uint64_t pos, char *buf, size_t max) {
  auto *src = static_cast<BodySource *>(cls);
  (void)pos; /* libmicrohttpd reads sequentially; offset tracks it */
  if (src->offset >= src->bytes.size()) return MHD_CONTENT_READER_END_OF_STREAM;
  size_t n = std::min(max, src->bytes.size() - src->offset);
  std::memcpy(buf, src->bytes.data() + src->offset, n);
  src->offset += n;
  return static_cast<ssize_t>(n);
}

void free_body(void *cls) { delete static_cast<BodySource *>(cls); }

bool status_has_no_body(int status) {
  return (status >= 100 && status < 200) || status == 204 || status == 304;
}

}  // namespace

namespace zorv::http {

MHD_Result queue_session_response(zorv_http_session_ctx *ctx) {
  if (ctx->queued) return MHD_YES;
  ctx->queued = true;
  count_answer(ctx->route, ctx->status);
  MHD_Response *resp = nullptr;
  if (status_has_no_body(ctx->status)) {
    /* These statuses carry neither a body nor chunked framing, whatever
     * option the handler asked for. */
    resp = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  } else {
    auto *src = new BodySource{std::move(ctx->response), 0};
    uint64_t size = (ctx->options & ZORV_HTTP_CHUNKED) ? MHD_SIZE_UNKNOWN
                                                       : src->bytes.size();
    resp = MHD_create_response_from_callback(size, 64 * 1024, read_body, src,
                                             free_body);
    if (!resp) delete src;
  }
  if (!resp) return MHD_NO;
  for (const auto &[name, value] : ctx->headers)
    MHD_add_response_header(resp, name.c_str(), value.c_str());
  if (ctx->options & ZORV_HTTP_CLOSE)
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONNECTION, "close");
  MHD_Result rc = MHD_queue_response(ctx->connection, ctx->status, resp);
  MHD_destroy_response(resp);
  return rc;
}

void answer_text(zorv_http_session_ctx *ctx, int status, const char *text) {
  ctx->status = status;
  ctx->headers.clear();
  ctx->headers.emplace_back("Content-Type", "text/plain");
  ctx->options = 0;
  ctx->response = text;
  ctx->ended = true;
}

}  // namespace zorv::http

extern "C" {

void zorv_http_response_status_set(zorv_http_session_ctx *ctx, int code,
                                   const char *reason) {
  /* libmicrohttpd writes the standard reason phrase for the code; the
   * reason text is accepted for the callers' sake and not sent. */
  (void)reason;
  if (!ctx || ctx->ended) return;
  ctx->status = code;
}

void zorv_http_response_header_set(zorv_http_session_ctx *ctx,
                                   const char *name, const char *value) {
  if (!ctx || ctx->ended || !name || !value) return;
  for (auto &h : ctx->headers) {
    if (strcasecmp(h.first.c_str(), name) == 0) {
      h.second = value;
      return;
    }
  }
  ctx->headers.emplace_back(name, value);
}

zorv_boolean zorv_http_response_option_set(zorv_http_session_ctx *ctx,
                                           uint32_t option) {
  if (!ctx) return false;
  if (option == ZORV_HTTP_CHUNKED) {
    if (ctx->http10) return false; /* HTTP/1.0 has no chunked framing */
    ctx->options |= ZORV_HTTP_CHUNKED;
    return true;
  }
  if (option == ZORV_HTTP_CLOSE) {
    ctx->options |= ZORV_HTTP_CLOSE;
    return true;
  }
  return false;
}

void zorv_http_response_append(zorv_http_session_ctx *ctx, const void *bytes,
                               size_t len) {
  if (!ctx || ctx->ended || !bytes) return;
  ctx->response.append(static_cast<const char *>(bytes), len);
}

void zorv_http_response_append_str(zorv_http_session_ctx *ctx, const char *s) {
  if (s) zorv_http_response_append(ctx, s, std::strlen(s));
}

void zorv_http_response_xml(zorv_http_session_ctx *ctx, xmlDocPtr doc) {
  if (!ctx || ctx->ended || !doc) return;
  xmlChar *text = nullptr;
  int len = 0;
  xmlDocDumpMemoryEnc(doc, &text, &len, "UTF-8");
  if (text) {
    ctx->response.append(reinterpret_cast<const char *>(text), len);
    xmlFree(text);
  }
}

void zorv_http_response_end(zorv_http_session_ctx *ctx) {
  if (ctx) ctx->ended = true;
}

}  // extern "C"
