/* The two operator endpoints: account map updates and cluster bootstrap
 * updates. Each changes the configuration tree first, then writes the whole
 * file, then updates the live tables; both answer errors with an XML
 * document whose root element is "error". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libxml/tree.h>

#include <memory>
#include <mutex>
#include <vector>

#include "internal.h"
#include "metrics.h"
#include "zorv/conf.h"

std::mutex kav_update_lock;

namespace {

struct xml_doc_free {
  void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
using xml_doc_owner = std::unique_ptr<xmlDoc, xml_doc_free>;

struct xml_text_free {
  void operator()(xmlChar *text) const { xmlFree(text); }
};
using xml_text = std::unique_ptr<xmlChar, xml_text_free>;

xml_text get_attr(xmlNodePtr node, const char *name) {
  return xml_text(xmlGetProp(node, BAD_CAST name));
}

const char *text_of(const xml_text &t) {
  return reinterpret_cast<const char *>(t.get());
}

bool named(xmlNodePtr node, const char *name) {
  return node->name != nullptr &&
         strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

void ask_for_framing(zorv_http_session_ctx *ctx) {
  if (!zorv_http_response_option_set(ctx, ZORV_HTTP_CHUNKED)) {
    zorv_http_response_option_set(ctx, ZORV_HTTP_CLOSE);
  }
}

/* The status this thread answered last, for the endpoints' counters. */
thread_local int last_answer = 0;

int answer_ok(zorv_http_session_ctx *ctx, int code) {
  last_answer = code;
  zorv_http_response_status_set(ctx, code, "OK");
  zorv_http_response_header_set(ctx, "Content-Type", "text/plain");
  ask_for_framing(ctx);
  zorv_http_response_end(ctx);
  return 0;
}

int answer_error(zorv_http_session_ctx *ctx, int code, const char *message) {
  last_answer = code;
  zorv_http_response_status_set(ctx, code, "ERROR");
  zorv_http_response_header_set(ctx, "Content-Type", "text/html");
  ask_for_framing(ctx);
  xml_doc_owner doc(xmlNewDoc(BAD_CAST "1.0"));
  if (doc) {
    xmlNodePtr root = xmlNewDocNode(doc.get(), nullptr, BAD_CAST "error",
                                    nullptr);
    if (root) {
      xmlNodeAddContent(root, BAD_CAST message); /* escaped as text */
      xmlDocSetRootElement(doc.get(), root);
    }
    zorv_http_response_xml(ctx, doc.get());
  }
  zorv_http_response_end(ctx);
  return 0;
}

/* Unlinks child from the request document and puts a copy of it, owned by
 * the configuration document, as the last child of parent; the original is
 * freed with its own document's dictionary. Copying (rather than relinking)
 * keeps names interned in the request document's dictionary out of the
 * configuration tree, which outlives the request. */
xmlNodePtr move_into_config(xmlNodePtr child, xmlNodePtr parent) {
  xmlNodePtr copy = xmlDocCopyNode(child, parent->doc, 1);
  xmlFreeNode(child);
  if (copy == nullptr) return nullptr;
  xmlAddChild(parent, copy);
  zorv_conf_backingstore_dirty(zorv_conf_section_from_xmlnodeptr(copy));
  zorv_conf_mark_changed();
  return copy;
}

/* A posted map or bootstrap element carries everything in its attributes.
 * One that holds elements (or entity references, which may stand for
 * elements) would plant entries of other accounts or clusters inside it. */
bool holds_elements(xmlNodePtr node) {
  for (xmlNodePtr child = node->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE || child->type == XML_ENTITY_REF_NODE) {
      return true;
    }
  }
  return false;
}

/* ---- account map update ------------------------------------------------ */

/* A configured map entry that this request may replace. */
struct account_cluster_kv {
  int64_t account_id;
  int32_t cluster_id;
  quib_metric_tag_search_ast_t *discard_data_filter;
  zorv_conf_section_opaque_t map;
};

void free_account_cluster_kv(void *p) {
  auto *kv = static_cast<account_cluster_kv *>(p);
  /* Parsed only to validate the configured entry; never published. */
  free_discard_data_filter(kv->discard_data_filter);
  free(kv);
}

int map_update_locked(zorv_http_session_ctx *ctx, xmlDocPtr doc,
                      zorv_http_rest_closure_t *restc) {
  if (doc == nullptr) return answer_error(ctx, 400, "xml parse error");
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr || !named(root, "drask")) {
    return answer_error(ctx, 400, "malformed document");
  }
  for (xmlNodePtr child = root->children; child; child = child->next) {
    if (named(child, "text")) continue;
    if (!named(child, "map")) {
      return answer_error(ctx, 400, "child node other than `map`");
    }
    if (!get_attr(child, "account") || holds_elements(child)) {
      return answer_error(ctx, 400, "malformed document");
    }
  }

  zorv_conf_section_t account_map_section = zorv_conf_get_section_write(
      ZORV_CONF_ROOT, "//drask//swimlane/account_map");
  if (zorv_conf_section_is_empty(account_map_section)) {
    zorv_conf_section_t swimlane =
        zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask//swimlane");
    if (zorv_conf_section_is_empty(swimlane)) {
      return answer_error(ctx, 500,
                          "invalid config (missing //drask//swimlane section)");
    }
    xmlNodePtr node = xmlNewNode(nullptr, BAD_CAST "account_map");
    if (node) xmlAddChild(zorv_conf_section_to_xmlnodeptr(swimlane), node);
    account_map_section = zorv_conf_get_section_write(
        ZORV_CONF_ROOT, "//drask//swimlane/account_map");
    zorv_conf_release_section_write(swimlane);
    if (zorv_conf_section_is_empty(account_map_section)) {
      return answer_error(ctx, 500, "counld not create account map in config");
    }
  }
  xmlNodePtr account_map_node =
      zorv_conf_section_to_xmlnodeptr(account_map_section);

  /* The configured entries, the last one per account. */
  zorv_hash_table existing;
  zorv_hash_init(&existing);
  int count = 0;
  zorv_conf_section_t *maps = zorv_conf_get_sections_write(
      ZORV_CONF_ROOT, "//drask//swimlane/account_map/map", &count);
  for (int i = 0; i < count; i++) {
    if (nested_in_entry(maps[i])) continue;
    xmlNodePtr node = zorv_conf_section_to_xmlnodeptr(maps[i]);
    xml_text cluster = get_attr(node, "cluster");
    xml_text account = get_attr(node, "account");
    xml_text filter = get_attr(node, "discard_data_filter");
    if (!cluster || !account) continue;
    auto *kv = static_cast<account_cluster_kv *>(calloc(1, sizeof(account_cluster_kv)));
    if (kv == nullptr) continue;
    kv->account_id = strtoll(text_of(account), nullptr, 10);
    kv->cluster_id = static_cast<int32_t>(strtol(text_of(cluster), nullptr, 10));
    kv->discard_data_filter = parse_discard_data_filter(text_of(filter));
    kv->map = maps[i];
    zorv_hash_replace(&existing, &kv->account_id, sizeof(kv->account_id), kv,
                      nullptr, free_account_cluster_kv);
  }

  /* Remove the configured entry of each account the request names, once. */
  std::vector<xmlNodePtr> replaced;
  for (xmlNodePtr child = root->children; child; child = child->next) {
    if (named(child, "text")) continue;
    xml_text account = get_attr(child, "account");
    int64_t account_id = strtoll(text_of(account), nullptr, 10);
    void *data = nullptr;
    if (zorv_hash_retrieve(&existing, &account_id, sizeof(account_id), &data)) {
      replaced.push_back(zorv_conf_section_to_xmlnodeptr(
          static_cast<account_cluster_kv *>(data)->map));
      zorv_hash_delete(&existing, &account_id, sizeof(account_id), nullptr,
                       free_account_cluster_kv);
    }
  }
  remove_config_elements(replaced);
  zorv_conf_release_sections_write(maps, count > 0 ? count : 0);
  zorv_hash_destroy(&existing, nullptr, free_account_cluster_kv);

  /* Add the request's entries, in document order, to the tree and the live
   * map; an entry whose cluster is refused is still kept in the tree. */
  int failures = 0;
  kav_map_audit audit;
  while (xmlNodePtr child = root->children) {
    xmlUnlinkNode(child);
    if (named(child, "text")) {
      xmlFreeNode(child);
      continue;
    }
    xml_text cluster = get_attr(child, "cluster");
    if (!cluster) {
      xml_text account = get_attr(child, "account");
      audit.without_cluster.push_back(strtoll(text_of(account), nullptr, 10));
      xmlFreeNode(child);
      continue;
    }
    xml_text filter_text = get_attr(child, "discard_data_filter");
    quib_metric_tag_search_ast_t *filter =
        parse_discard_data_filter(text_of(filter_text));
    xml_text account = get_attr(child, "account");
    int32_t cluster_id = static_cast<int32_t>(strtol(text_of(cluster), nullptr, 10));
    int64_t account_id = strtoll(text_of(account), nullptr, 10);
    if (add_account_cluster_map(account_id, cluster_id, filter) == 0) {
      failures++;
      audit.refused.emplace_back(account_id, cluster_id);
    } else {
      audit.mapped.emplace_back(account_id, cluster_id);
    }
    move_into_config(child, account_map_node);
  }

  zorv_conf_mark_changed();
  if (zorv_conf_write_file(nullptr) != 0) {
    zorvL(zorv_error, "local config write failed\n");
    audit.written = false;
  }
  zorv_conf_release_section_write(account_map_section);
  kav_audit_map_update(restc, audit);
  /* Outside the tree's lock: the reap waits for readers' brackets. */
  reap_discard_data_filters();
  return answer_ok(ctx, failures == 0 ? 204 : 202);
}

/* ---- cluster bootstrap update ------------------------------------------ */

int cluster_update_locked(zorv_http_session_ctx *ctx, xmlDocPtr doc,
                          const char *id_text,
                          zorv_http_rest_closure_t *restc) {
  if (doc == nullptr) return answer_error(ctx, 400, "xml parse error");
  /* The id keeps the low 32 bits of what strtol reads. */
  int32_t id = static_cast<int32_t>(strtol(id_text ? id_text : "", nullptr, 10));
  if (id < 1) return answer_error(ctx, 400, "Rejecting change to cluster/0");
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr || !named(root, "drask")) {
    return answer_error(ctx, 400, "malformed document");
  }
  char id_decimal[16];
  snprintf(id_decimal, sizeof(id_decimal), "%d", id);
  for (xmlNodePtr child = root->children; child; child = child->next) {
    if (named(child, "text")) continue;
    if (!named(child, "bootstrap")) {
      return answer_error(ctx, 400, "child other than `bootstrap` unexpected");
    }
    if (!get_attr(child, "host")) {
      return answer_error(ctx, 400, "bootstrap missing host");
    }
    xml_text cluster = get_attr(child, "cluster");
    if (cluster &&
        static_cast<int32_t>(strtol(text_of(cluster), nullptr, 10)) != id) {
      return answer_error(ctx, 400, "bootstrap missing cluster");
    }
    if (holds_elements(child)) {
      return answer_error(ctx, 400, "malformed document");
    }
    /* Stored in canonical decimal: the cluster's lookups compare the
     * attribute as text, so "03" would hide the host from cluster 3. */
    xmlSetProp(child, BAD_CAST "cluster", BAD_CAST id_decimal);
  }

  zorv_conf_section_t swimlane =
      zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask//swimlane");
  if (zorv_conf_section_is_empty(swimlane)) {
    return answer_error(ctx, 500,
                        "invalid config (missing //drask//swimlane section)");
  }
  xmlNodePtr swimlane_node = zorv_conf_section_to_xmlnodeptr(swimlane);

  char xpath[1024];
  snprintf(xpath, sizeof(xpath), "//drask/bootstrap[@cluster=\"%d\"]", id);
  int fixed = 0;
  zorv_conf_section_t *fixed_list =
      zorv_conf_get_sections_write(ZORV_CONF_ROOT, xpath, &fixed);
  int fixed_entries = 0;
  for (int i = 0; i < fixed; i++) {
    if (!nested_in_entry(fixed_list[i])) fixed_entries++;
  }
  if (fixed_entries > 0) {
    zorvL(kav_error,
          "Found cluster configuration under //drask/bootstrap for cluster "
          "%d. Mutable configuration must be located under "
          "//drask//swimlane/bootstrap. Rejecting update.\n",
          id);
    zorv_conf_release_sections_write(fixed_list, fixed);
    zorv_conf_release_section_write(swimlane);
    return answer_error(ctx, 400, "Illegal cluster configuration found.\n");
  }
  zorv_conf_release_sections_write(fixed_list, fixed > 0 ? fixed : 0);

  snprintf(xpath, sizeof(xpath), "//drask//swimlane/bootstrap[@cluster=\"%d\"]",
           id);
  int current = 0;
  zorv_conf_section_t *current_list =
      zorv_conf_get_sections_write(ZORV_CONF_ROOT, xpath, &current);
  /* Also the cluster's elements that sit, inert, inside another bootstrap
   * element: they go, and one inside an element removed here goes with
   * it (freed once). */
  std::vector<xmlNodePtr> replaced;
  for (int i = 0; i < current; i++) {
    replaced.push_back(zorv_conf_section_to_xmlnodeptr(current_list[i]));
  }
  remove_config_elements(replaced);
  zorv_conf_release_sections_write(current_list, current > 0 ? current : 0);

  while (xmlNodePtr child = root->children) {
    xmlUnlinkNode(child);
    if (named(child, "text")) {
      xmlFreeNode(child);
      continue;
    }
    move_into_config(child, swimlane_node);
  }

  zorv_conf_mark_changed();
  bool written = zorv_conf_write_file(nullptr) == 0;
  if (!written) {
    zorvL(kav_error, "local config write failed\n");
  }
  zorv_conf_release_section_write(swimlane);

  std::vector<std::string> before = kav_bootstrap_hosts(id);
  initialize_drask_cluster(id);
  kav_audit_cluster_update(restc, id, before, written);
  return answer_ok(ctx, 204);
}

}  // namespace

int kav_map_update(zorv_http_rest_closure_t *restc, int, char **) {
  int mask = 0;
  int complete = 0;
  xmlDocPtr doc = rest_get_xml_upload(restc, &mask, &complete);
  if (!complete) return mask;
  std::lock_guard<std::mutex> guard(kav_update_lock);
  int rc = map_update_locked(restc->http_ctx, doc, restc);
  kav_count_update(kKavMapUpdate, last_answer);
  return rc;
}

int kav_cluster_update(zorv_http_rest_closure_t *restc, int npats,
                       char **pats) {
  int mask = 0;
  int complete = 0;
  xmlDocPtr doc = rest_get_xml_upload(restc, &mask, &complete);
  if (!complete) return mask;
  std::lock_guard<std::mutex> guard(kav_update_lock);
  int rc = cluster_update_locked(restc->http_ctx, doc,
                                 npats > 0 ? pats[0] : nullptr, restc);
  kav_count_update(kKavClusterUpdate, last_answer);
  return rc;
}
