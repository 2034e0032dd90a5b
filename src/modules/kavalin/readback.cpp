/* Read-back for operators: GET /module/kavalin/map (the live account map,
 * and where it differs from the configuration file) and
 * GET /module/kavalin/clusters (each cluster's bootstrap hosts, the
 * topology its client last saw, and the override sets).
 *
 * Both read under kav_update_lock, so an update never lands half-way
 * through an answer; neither changes anything, and neither reaches out to
 * a cluster (the topology shown is the one the client already holds). The
 * routing hook does not take the lock and is never held up by them. */
#include <stdlib.h>
#include <string.h>

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drask/topology.h"
#include "internal.h"
#include "metrics.h"
#include "zorv/conf.h"
#include "zorv/memory.h"

namespace {

void append_json_string(std::string &out, std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void append_json_string_or_null(std::string &out, const std::string &text) {
  if (text.empty()) {
    out += "null";
  } else {
    append_json_string(out, text);
  }
}

void answer_json(zorv_http_session_ctx *ctx, const std::string &body) {
  zorv_http_response_status_set(ctx, 200, "OK");
  zorv_http_response_header_set(ctx, "Content-Type", "application/json");
  if (!zorv_http_response_option_set(ctx, ZORV_HTTP_CHUNKED)) {
    zorv_http_response_option_set(ctx, ZORV_HTTP_CLOSE);
  }
  zorv_http_response_append(ctx, body.data(), body.size());
  zorv_http_response_end(ctx);
}

/* One account's mapping as the live map holds it or as loading the file
 * would make it. An empty filter text means no filter. */
struct Mapping {
  int32_t cluster = 0;
  std::string filter;
  bool operator==(const Mapping &) const = default;
};

/* The decimal reading the configuration loader applies: optional blanks
 * and sign, digits, nothing else, within range. */
template <typename T>
std::optional<T> strict_decimal(const xmlChar *raw) {
  if (raw == nullptr) return std::nullopt;
  std::string_view text(reinterpret_cast<const char *>(raw));
  while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

bool cluster_configured(int32_t id) {
  void *data = nullptr;
  return id == -1 ||
         zorv_hash_retrieve(&global_clusters, &id, sizeof(id), &data) != 0;
}

/* The map that loading the configuration file now would build: its map
 * entries in document order, the last per account winning, those naming an
 * unconfigured cluster refused, a filter that does not parse dropped. The
 * file is read from disk, not from the tree, so that a failed write shows
 * up as a difference. Empty optional (with why set) when unreadable. */
std::optional<std::map<int64_t, Mapping>> map_from_file(const char *path,
                                                        std::string &why) {
  if (path == nullptr || *path == '\0') {
    why = "no configuration file";
    return std::nullopt;
  }
  xmlDocPtr doc = xmlReadFile(path, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR |
                                                 XML_PARSE_NOWARNING);
  if (doc == nullptr) {
    why = std::string("cannot read '") + path + "' as XML";
    return std::nullopt;
  }
  std::map<int64_t, Mapping> result;
  xmlXPathContextPtr xp = xmlXPathNewContext(doc);
  xmlXPathObjectPtr found =
      xp ? xmlXPathEvalExpression(BAD_CAST "//drask//account_map/map", xp)
         : nullptr;
  xmlNodeSetPtr nodes = found ? found->nodesetval : nullptr;
  for (int i = 0; nodes != nullptr && i < nodes->nodeNr; i++) {
    xmlNodePtr node = nodes->nodeTab[i];
    xmlChar *account_text = xmlGetProp(node, BAD_CAST "account");
    xmlChar *cluster_text = xmlGetProp(node, BAD_CAST "cluster");
    xmlChar *filter_text = xmlGetProp(node, BAD_CAST "discard_data_filter");
    auto account = strict_decimal<int64_t>(account_text);
    auto cluster = strict_decimal<int32_t>(cluster_text);
    if (account && cluster && cluster_configured(*cluster)) {
      Mapping m;
      m.cluster = *cluster;
      if (filter_text != nullptr) {
        int offset = 0;
        const char *text = reinterpret_cast<const char *>(filter_text);
        if (quib_metric_tag_search_ast_t *ast =
                quib_metric_tag_search_parse(text, &offset)) {
          quib_metric_tag_search_free(ast);
          m.filter = text;
        }
      }
      result[*account] = m;
    }
    xmlFree(account_text);
    xmlFree(cluster_text);
    xmlFree(filter_text);
  }
  if (found) xmlXPathFreeObject(found);
  if (xp) xmlXPathFreeContext(xp);
  xmlFreeDoc(doc);
  return result;
}

std::map<int64_t, Mapping> live_map() {
  std::map<int64_t, Mapping> result;
  zorv_memory_begin();
  zorv_hash_iter iter = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv_spmc(&account_map, &iter, &key, &klen, &data)) {
    const auto *entry = static_cast<const account_cluster_map_t *>(data);
    result[entry->account_id] = {
        entry->cluster_id,
        discard_data_filter_text(entry->discard_data_filter)};
  }
  zorv_memory_end();
  return result;
}

void append_mapping(std::string &out, const Mapping *m) {
  if (m == nullptr) {
    out += "null";
    return;
  }
  out += "{\"cluster\":" + std::to_string(m->cluster) +
         ",\"discard_data_filter\":";
  append_json_string_or_null(out, m->filter);
  out += '}';
}

/* Calls fn(account, live, file) for each account that is in one map and
 * not the other (null for the missing side), or in both with another
 * mapping. Both maps are ordered by account, so one merge walk does. */
template <typename Fn>
void each_difference(const std::map<int64_t, Mapping> &live,
                     const std::map<int64_t, Mapping> &file, Fn fn) {
  auto l = live.begin();
  auto f = file.begin();
  while (l != live.end() || f != file.end()) {
    if (f == file.end() || (l != live.end() && l->first < f->first)) {
      fn(l->first, &l->second, nullptr);
      ++l;
    } else if (l == live.end() || f->first < l->first) {
      fn(f->first, nullptr, &f->second);
      ++f;
    } else {
      if (!(l->second == f->second)) fn(l->first, &l->second, &f->second);
      ++l;
      ++f;
    }
  }
}

std::string map_document() {
  std::map<int64_t, Mapping> live = live_map();
  std::string why;
  auto file = map_from_file(zorv_conf_path(), why);

  std::string out = "{\"accounts\":[";
  bool first = true;
  for (const auto &[account, m] : live) {
    if (!first) out += ',';
    first = false;
    out += "{\"account\":" + std::to_string(account) +
           ",\"cluster\":" + std::to_string(m.cluster) +
           ",\"discard_data_filter\":";
    append_json_string_or_null(out, m.filter);
    out += '}';
  }
  out += "],\"configuration_file\":";
  append_json_string(out, zorv_conf_path() ? zorv_conf_path() : "");
  if (!file) {
    out += ",\"file_differs\":null,\"file_error\":";
    append_json_string(out, why);
    out += ",\"differences\":[]}\n";
    return out;
  }
  std::string diffs;
  each_difference(live, *file, [&diffs](int64_t account, const Mapping *lm,
                                        const Mapping *fm) {
    if (!diffs.empty()) diffs += ',';
    diffs += "{\"account\":" + std::to_string(account) + ",\"live\":";
    append_mapping(diffs, lm);
    diffs += ",\"file\":";
    append_mapping(diffs, fm);
    diffs += '}';
  });
  out += ",\"file_differs\":";
  out += diffs.empty() ? "false" : "true";
  out += ",\"differences\":[" + diffs + "]}\n";
  return out;
}

std::string clusters_document() {
  std::vector<drask_cluster_t *> records;
  zorv_memory_begin();
  zorv_hash_iter iter = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv_spmc(&global_clusters, &iter, &key, &klen, &data)) {
    records.push_back(static_cast<drask_cluster_t *>(data));
  }
  zorv_memory_end();
  /* Records are never freed, so they stay valid outside the bracket. */
  std::sort(records.begin(), records.end(),
            [](auto *a, auto *b) { return a->id < b->id; });

  std::string out = "{\"clusters\":[";
  for (size_t i = 0; i < records.size(); i++) {
    const drask_cluster_t *r = records[i];
    if (i > 0) out += ',';
    out += "{\"cluster_id\":" + std::to_string(r->id) + ",\"bootstrap\":[";
    const char *const *hosts = nullptr;
    int n = drask_client_get_bootstrap(r->client, &hosts);
    for (int h = 0; h < n; h++) {
      if (h > 0) out += ',';
      append_json_string(out, hosts[h]);
    }
    out += "],\"topology_signature\":";
    drask_topo_t *topo = drask_client_get_cached_topo(r->client);
    if (topo == nullptr) {
      out += "null,\"nodes\":null}";
      continue;
    }
    append_json_string(out, topo_signature(topo, nullptr));
    out += ",\"nodes\":[";
    for (int k = 0, nodes = drask_topo_node_count(topo); k < nodes; k++) {
      if (k > 0) out += ',';
      append_json_string(out, drask_topo_node(topo, k));
    }
    out += "]}";
  }

  /* Override sets are built at start-up and never changed afterwards. */
  std::map<int64_t, std::vector<int64_t>> overrides;
  iter = ZORV_HASH_ITER_ZERO;
  while (zorv_hash_adv(&manual_cluster_override, &iter, &key, &klen, &data)) {
    int64_t account;
    memcpy(&account, key, sizeof(account));
    auto &ids = overrides[account];
    zorv_hash_iter inner = ZORV_HASH_ITER_ZERO;
    const char *ikey;
    int iklen;
    void *idata;
    while (zorv_hash_adv(static_cast<zorv_hash_table *>(data), &inner, &ikey,
                         &iklen, &idata)) {
      int64_t id;
      memcpy(&id, ikey, sizeof(id));
      ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
  }
  out += "],\"overrides\":[";
  bool first = true;
  for (const auto &[account, ids] : overrides) {
    if (!first) out += ',';
    first = false;
    out += "{\"account\":" + std::to_string(account) + ",\"clusters\":[";
    for (size_t k = 0; k < ids.size(); k++) {
      if (k > 0) out += ',';
      out += std::to_string(ids[k]);
    }
    out += "]}";
  }
  out += "]}\n";
  return out;
}

}  // namespace

kav_file_comparison kav_compare_map_with_file() {
  std::string why;
  auto file = map_from_file(zorv_conf_path(), why);
  if (!file) return {false, 0};
  kav_file_comparison result{true, 0};
  each_difference(live_map(), *file,
                  [&result](int64_t, const Mapping *, const Mapping *) {
                    result.differences++;
                  });
  return result;
}

int kav_map_readback(zorv_http_rest_closure_t *restc, int, char **) {
  std::string body;
  {
    std::lock_guard<std::mutex> guard(kav_update_lock);
    body = map_document();
  }
  answer_json(restc->http_ctx, body);
  return 0;
}

int kav_clusters_readback(zorv_http_rest_closure_t *restc, int, char **) {
  std::string body;
  {
    std::lock_guard<std::mutex> guard(kav_update_lock);
    body = clusters_document();
  }
  answer_json(restc->http_ctx, body);
  return 0;
}
