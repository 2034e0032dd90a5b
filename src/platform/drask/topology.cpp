/* Topology documents: parsing, accessors and the transport settings a
 * topology applies to a request. */
#include <curl/curl.h>
#include <json-c/json.h>

#include "internal.h"

extern "C" drask_topo_t *drask_topo_parse(const char *json, size_t len) {
  if (!json || len == 0) return nullptr;
  json_tokener *tok = json_tokener_new();
  if (!tok) return nullptr;
  json_tokener_set_flags(tok, JSON_TOKENER_STRICT);
  json_object *doc = json_tokener_parse_ex(tok, json, static_cast<int>(len));
  bool whole = json_tokener_get_error(tok) == json_tokener_success;
  for (size_t i = json_tokener_get_parse_end(tok); whole && i < len; ++i)
    whole = json[i] == ' ' || json[i] == '\t' || json[i] == '\r' ||
            json[i] == '\n';
  json_tokener_free(tok);
  if (!doc) return nullptr;
  std::unique_ptr<drask_topo> topo;
  json_object *sig = nullptr, *nodes = nullptr;
  if (whole && json_object_is_type(doc, json_type_object) &&
      json_object_object_get_ex(doc, "signature", &sig) &&
      json_object_is_type(sig, json_type_string) &&
      json_object_get_string_len(sig) > 0 &&
      json_object_object_get_ex(doc, "nodes", &nodes) &&
      json_object_is_type(nodes, json_type_array) &&
      json_object_array_length(nodes) <= DRASK_MAX_NODES) {
    topo = std::make_unique<drask_topo>();
    topo->signature.assign(json_object_get_string(sig),
                           json_object_get_string_len(sig));
    size_t n = json_object_array_length(nodes);
    for (size_t i = 0; i < n && topo; ++i) {
      json_object *node = json_object_array_get_idx(nodes, i);
      if (!json_object_is_type(node, json_type_string) ||
          json_object_get_string_len(node) == 0) {
        topo.reset();
        break;
      }
      std::string url(json_object_get_string(node),
                      json_object_get_string_len(node));
      /* Callers append paths that begin with '/'. */
      while (url.size() > 1 && url.back() == '/') url.pop_back();
      topo->nodes.push_back(std::move(url));
    }
  }
  json_object_put(doc);
  return topo.release();
}

extern "C" int drask_topo_node_count(const drask_topo_t *topo) {
  return topo ? static_cast<int>(topo->nodes.size()) : 0;
}

extern "C" const char *drask_topo_node(const drask_topo_t *topo, int index) {
  if (!topo || index < 0 || index >= static_cast<int>(topo->nodes.size()))
    return nullptr;
  return topo->nodes[index].c_str();
}

extern "C" void drask_topo_free(drask_topo_t *topo) {
  /* A topology adopted by a client belongs to the client. */
  if (topo && !topo->client) delete topo;
}

extern "C" const char *topo_signature(drask_topo_t *topo, size_t *len) {
  if (!topo) {
    if (len) *len = 0;
    return nullptr;
  }
  if (len) *len = topo->signature.size();
  return topo->signature.c_str();
}

extern "C" void topo_curl_setup(void *curl_easy_handle, drask_topo_t *topo) {
  CURL *curl = static_cast<CURL *>(curl_easy_handle);
  if (!curl || !topo) return;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (topo->client) {
    long connect_ms = topo->client->connect_timeout_ms.load();
    if (connect_ms > 0)
      curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  }
  /* Feed pulls are long-lived: keep-alive probes find a vanished peer, and
   * no overall time limit is set here. */
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, 30L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, 10L);
}

namespace drask {

bool same_topology(const drask_topo &a, const drask_topo &b) {
  return a.signature == b.signature && a.nodes == b.nodes;
}

}  // namespace drask
