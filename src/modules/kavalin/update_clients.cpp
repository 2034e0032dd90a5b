/* Who may change the map and the clusters: an optional list of client
 * certificate names, "drask/update_clients/client" elements each with a
 * `subject` (the certificate's subject as RFC 4514 text) or a `san` (a
 * subject alternative name, "DNS:host", "IP:address", "email:address" or
 * "URI:uri"). Without any update_clients element every verified client
 * certificate may post, as before; with one, only those named may, and an
 * update_clients without a usable entry admits nobody. Reading back needs
 * only a verified certificate either way.
 *
 * The list is read once at post-initialisation, before the update routes
 * are registered, and never changes afterwards: the HTTP threads read it
 * without a lock. It lives directly under drask, outside the swimlane
 * section the update endpoints write, so no update can widen it. */
#include <arpa/inet.h>
#include <stdlib.h>
#include <strings.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace {

struct UpdateClients {
  std::vector<std::string> subjects;
  std::vector<std::string> alt_names; /* canonical, see canonical_alt_name */
};

/* Empty until the configuration asks for a list. */
std::optional<UpdateClients> update_clients;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

/* One form for equal names, whatever their spelling: the kind as the
 * platform writes it, DNS names and e-mail addresses in lower case (both
 * compare without case), IP addresses re-written from their binary form.
 * Empty when the text is no name of a kind we take. */
std::string canonical_alt_name(std::string_view text) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon + 1 == text.size()) return {};
  std::string kind = lower(text.substr(0, colon));
  std::string_view value = text.substr(colon + 1);
  if (kind == "dns") return "DNS:" + lower(value);
  if (kind == "email") return "email:" + lower(value);
  if (kind == "uri") return "URI:" + std::string(value);
  if (kind == "ip") {
    std::string v(value);
    unsigned char bytes[16];
    char out[INET6_ADDRSTRLEN] = "";
    if (inet_pton(AF_INET, v.c_str(), bytes) == 1)
      inet_ntop(AF_INET, bytes, out, sizeof out);
    else if (inet_pton(AF_INET6, v.c_str(), bytes) == 1)
      inet_ntop(AF_INET6, bytes, out, sizeof out);
    return *out ? std::string("IP:") + out : std::string();
  }
  return {};
}

std::string conf_text(zorv_conf_section_t section, const char *xpath) {
  char *value = nullptr;
  if (!zorv_conf_get_string(section, xpath, &value) || !value) return {};
  std::string text(value);
  free(value);
  return text;
}

struct Match {
  const UpdateClients *list;
  bool found = false;
};

void match_alt_name(void *cls, const char *name) {
  auto *m = static_cast<Match *>(cls);
  std::string canonical = canonical_alt_name(name);
  for (const auto &allowed : m->list->alt_names)
    if (allowed == canonical) m->found = true;
}

bool named_in_list(zorv_http_rest_closure_t *restc, const UpdateClients &list) {
  if (!list.subjects.empty()) {
    char *subject = zorv_http_request_client_subject(restc->http_ctx);
    bool found = false;
    for (const auto &allowed : list.subjects)
      if (subject && allowed == subject) found = true;
    free(subject);
    if (found) return true;
  }
  if (list.alt_names.empty()) return false;
  Match m{&list};
  zorv_http_request_client_alt_names(restc->http_ctx, match_alt_name, &m);
  return m.found;
}

int count_sections(const char *xpath) {
  int n = 0;
  zorv_conf_section_t *found = zorv_conf_get_sections_read(ZORV_CONF_ROOT, xpath, &n);
  zorv_conf_release_sections_read(found, n);
  return n;
}

}  // namespace

void kav_load_update_clients(void) {
  int lists = count_sections("//drask/update_clients");
  /* One placed deeper (say under swimlane, where updates write) would look
   * like a limit to whoever reads the file, and limit nothing. */
  int misplaced = count_sections("//drask//update_clients") - lists;
  if (misplaced > 0)
    zorvL(kav_error,
          "update_clients: %d element(s) not directly under drask are not "
          "read and limit nothing\n",
          misplaced);
  if (lists == 0) return;

  UpdateClients list;
  int n = 0;
  zorv_conf_section_t *clients = zorv_conf_get_sections_read(
      ZORV_CONF_ROOT, "//drask/update_clients/client", &n);
  for (int i = 0; i < n; i++) {
    std::string subject = conf_text(clients[i], "@subject");
    std::string san = conf_text(clients[i], "@san");
    if (!subject.empty()) list.subjects.push_back(subject);
    if (!san.empty()) {
      std::string canonical = canonical_alt_name(san);
      if (canonical.empty())
        zorvL(kav_error,
              "update_clients: san \"%s\" is not DNS:, IP:, email: or URI: "
              "followed by a name; it admits nobody\n",
              san.c_str());
      else
        list.alt_names.push_back(canonical);
    }
    if (subject.empty() && san.empty())
      zorvL(kav_error, "update_clients: a client element without subject or "
                       "san admits nobody\n");
  }
  zorv_conf_release_sections_read(clients, n);
  zorvL(kav_notice,
        "map and cluster updates limited to %zu certificate subject(s) and "
        "%zu alternative name(s) (drask/update_clients)\n",
        list.subjects.size(), list.alt_names.size());
  update_clients = std::move(list);
}

zorv_boolean kav_update_auth(zorv_http_rest_closure_t *restc, int npats,
                             char **pats) {
  if (!zorv_http_rest_client_cert_auth(restc, npats, pats)) return false;
  if (!update_clients || named_in_list(restc, *update_clients)) return true;
  kav_audit_refused_update(restc);
  return false;
}
