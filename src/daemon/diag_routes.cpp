#include "diag_routes.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "operator_routes.h"
#include "quib/iep.h"
#include "quib/tagset.h"
#include "zorv/json.h"
#include "zorv/rest.h"

namespace wendrel {
namespace {

/* Room for the longest routing key a hook may write, terminator included. */
constexpr size_t kRoutingKeyBytes = 1024;

void answer(zorv_http_session_ctx *ctx, int status, const char *content_type,
            const std::string &body) {
  zorv_http_response_status_set(ctx, status, status < 400 ? "OK" : "ERROR");
  zorv_http_response_header_set(ctx, "Content-Type", content_type);
  if (!zorv_http_response_option_set(ctx, ZORV_HTTP_CHUNKED))
    zorv_http_response_option_set(ctx, ZORV_HTTP_CLOSE);
  zorv_http_response_append(ctx, body.data(), body.size());
  zorv_http_response_end(ctx);
}

const char *hook_result_name(zorv_hook_return_t rc) {
  switch (rc) {
    case ZORV_HOOK_CONTINUE: return "continue";
    case ZORV_HOOK_DONE: return "done";
    case ZORV_HOOK_ABORT: return "abort";
  }
  return "unknown";
}

/* POST /diag/route?prefix=P with the message payload as body: the routing
 * key the hooks produce, or the prefix when none wrote one. */
int diag_route(zorv_http_rest_closure_t *restc, int, char **) {
  zorv_http_session_ctx *ctx = restc->http_ctx;
  if (!zorv_http_request_body_complete(ctx)) return ZORV_EVENT_READ;
  const char *prefix = zorv_http_request_querystring(ctx, "prefix");
  if (!prefix) {
    answer(ctx, 400, "text/plain", "missing query argument prefix\n");
    return 0;
  }
  size_t len = 0;
  const char *payload = zorv_http_request_body(ctx, &len);
  char key[kRoutingKeyBytes] = "";
  zorv_hook_return_t rc = iep_routingkey_update_hook_invoke(
      payload, len, prefix, key, sizeof key);
  key[sizeof key - 1] = 0;
  bool rewritten = rc == ZORV_HOOK_DONE && key[0] != 0;
  zorv_http_response_header_set(ctx, "X-Hook-Result", hook_result_name(rc));
  answer(ctx, 200, "text/plain", std::string(rewritten ? key : prefix) + "\n");
  return 0;
}

/* GET /diag/tagset/<check uuid>?tag=cat:val&...: the check tagset after the
 * fixup hooks, as {"tags":[...]}. */
int diag_tagset(zorv_http_rest_closure_t *restc, int npats, char **pats) {
  zorv_http_session_ctx *ctx = restc->http_ctx;
  if (npats != 1) {
    answer(ctx, 500, "text/plain", "route without a check uuid\n");
    return 0;
  }
  int extra = zorv_http_request_querystring_all(ctx, "tag", nullptr, 0);
  if (extra > QUIB_METRIC_MAX_TAGS - 1) {
    answer(ctx, 400, "text/plain", "too many tags\n");
    return 0;
  }
  std::vector<const char *> given(extra);
  zorv_http_request_querystring_all(ctx, "tag", given.data(), extra);

  /* The texts must outlive the hooks, which keep pointers into them. */
  std::vector<std::string> texts;
  texts.reserve(extra + 1);
  texts.push_back(std::string("__check_uuid:") + pats[0]);
  for (const char *t : given) texts.emplace_back(t);

  std::vector<quib_metric_tag_t> tags(QUIB_METRIC_MAX_TAGS);
  quib_metric_tagset_t tagset{tags.data(), 0, 0};
  for (const std::string &t : texts) {
    if (t.empty() || quib_metric_tag_set(&tags[tagset.tag_count], t.data(),
                                         t.size()) != 0) {
      answer(ctx, 400, "text/plain", "invalid tag: " + t + "\n");
      return 0;
    }
    ++tagset.tag_count;
  }
  quib_metric_tagset_canonicalize(&tagset);
  quib_metric_tagset_fixup_hook_invoke(QUIB_METRIC_TAGSET_CHECK, &tagset);

  zorv_json_object *doc = zorv_json_object_new_object();
  zorv_json_object *list = zorv_json_object_new_array();
  int count = tagset.tag_count;
  if (count > QUIB_METRIC_MAX_TAGS) count = QUIB_METRIC_MAX_TAGS;
  for (int i = 0; i < count; ++i)
    zorv_json_object_array_add(
        list, zorv_json_object_new_string_len(tags[i].tag, tags[i].total_size));
  zorv_json_object_object_add(doc, "tags", list);
  answer(ctx, 200, "application/json",
         std::string(zorv_json_object_to_json_string(doc)) + "\n");
  zorv_json_object_put(doc);
  return 0;
}

}  // namespace

int register_diag_routes() {
  int rc = 0;
  rc |= register_operator_routes();
  rc |= zorv_http_rest_register_auth("POST", "/diag/route", "^/?$", diag_route,
                                     zorv_http_rest_client_cert_auth);
  rc |= zorv_http_rest_register_auth(
      "GET", "/diag/tagset/",
      "^([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-"
      "[0-9a-fA-F]{12})$",
      diag_tagset, zorv_http_rest_client_cert_auth);
  return rc;
}

}  // namespace wendrel
