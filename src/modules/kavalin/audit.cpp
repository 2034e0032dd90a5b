/* The audit trail of the two update endpoints: one notice per update,
 * saying who asked (peer address and client certificate subject) and what
 * changed. Small changes are listed; large ones are counted, so that one
 * update never floods the log. */
#include <stdlib.h>

#include <string>

#include "internal.h"

namespace {

/* Up to this many entries are listed one by one. */
constexpr size_t kListedEntries = 8;

std::string who(zorv_http_rest_closure_t *restc) {
  std::string text = restc->remote_addr && *restc->remote_addr
                         ? restc->remote_addr
                         : "unknown peer";
  char *subject = zorv_http_request_client_subject(restc->http_ctx);
  text += " (";
  text += subject ? subject : "no client certificate";
  text += ")";
  free(subject);
  return text;
}

template <typename List, typename Show>
std::string listed(const char *what, const List &entries, Show show) {
  std::string text = std::to_string(entries.size()) + " " + what;
  if (entries.empty() || entries.size() > kListedEntries) return text;
  text += " (";
  for (size_t i = 0; i < entries.size(); i++) {
    if (i > 0) text += ", ";
    text += show(entries[i]);
  }
  return text + ")";
}

std::string pair_text(const std::pair<int64_t, int32_t> &e) {
  return std::to_string(e.first) + "->" + std::to_string(e.second);
}

std::string hosts_text(const std::vector<std::string> &hosts) {
  if (hosts.empty()) return "none";
  std::string text;
  for (size_t i = 0; i < hosts.size(); i++) {
    if (i > 0) text += ",";
    text += hosts[i];
  }
  return text;
}

}  // namespace

std::vector<std::string> kav_bootstrap_hosts(int id) {
  std::vector<std::string> hosts;
  drask_client_t *client = client_from_cluster_id(id);
  const char *const *list = nullptr;
  int n = client ? drask_client_get_bootstrap(client, &list) : 0;
  for (int i = 0; i < n; i++) hosts.emplace_back(list[i]);
  return hosts;
}

void kav_audit_map_update(zorv_http_rest_closure_t *restc,
                          const kav_map_audit &a) {
  zorvL(kav_notice, "map update from %s: %s, %s, %s%s\n", who(restc).c_str(),
        listed("mapped", a.mapped, pair_text).c_str(),
        listed("refused for an unconfigured cluster", a.refused, pair_text)
            .c_str(),
        listed("dropped from the file only",
               a.without_cluster,
               [](int64_t account) { return std::to_string(account); })
            .c_str(),
        a.written ? "" : "; configuration file NOT written");
}

void kav_audit_cluster_update(zorv_http_rest_closure_t *restc, int id,
                              const std::vector<std::string> &before,
                              bool written) {
  std::vector<std::string> after = kav_bootstrap_hosts(id);
  zorvL(kav_notice, "cluster update from %s: cluster %d bootstrap %s (was %s)%s\n",
        who(restc).c_str(), id, hosts_text(after).c_str(),
        hosts_text(before).c_str(),
        written ? "" : "; configuration file NOT written");
}

void kav_audit_refused_update(zorv_http_rest_closure_t *restc) {
  zorvL(kav_notice,
        "update refused for %s: %s %s; the certificate is not named in "
        "drask/update_clients\n",
        who(restc).c_str(), restc->method ? restc->method : "",
        restc->path ? restc->path : "");
}
