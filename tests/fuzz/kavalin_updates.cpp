/* The account-map and cluster-bootstrap update handlers, driven in-process
 * (a request session of our own, no network) on a scratch configuration,
 * two requests per input. After each accepted request the written file must
 * load again and hold what the answer claims:
 *   map update:     every posted entry is in the account map section; the
 *                   entries of accounts not posted are as before; 204 means
 *                   every entry took effect in the live map, 202 that one
 *                   named a cluster that is not configured;
 *   cluster update: the cluster's bootstrap hosts under the swimlane are
 *                   exactly the posted ones, the bootstrap elements of the
 *                   other clusters are as before, and the live client holds
 *                   the cluster's hosts found anywhere under drask.
 *
 * Input: byte 0 picks the scratch configuration; then two requests, the
 * first ended by a NUL byte. A request is a selector byte (bit 0: map or
 * cluster update; bits 1-3: the cluster id text) and the XML body. */
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <utility>

#include "fuzz_support.h"
#include "http_session.h"
#include "kavalin_support.h"

namespace {

const char *const kConfigs[] = {
    "<wendrel><drask timeout=\"100\" connecttimeout=\"50\">"
    "<bootstrap host=\"127.0.0.1:9\"/><swimlane>"
    "<bootstrap cluster=\"1\" host=\"127.0.0.1:1\"/>"
    "<bootstrap cluster=\"2\" host=\"127.0.0.1:2\"/>"
    "<account_map><map account=\"1\" cluster=\"1\"/>"
    "<map account=\"2\" cluster=\"2\" discard_data_filter=\"env:prod\"/>"
    "<map account=\"2\" cluster=\"1\"/><map account=\"3\"/></account_map>"
    "</swimlane></drask></wendrel>",
    // The account map section missing; cluster 3 fixed under drask.
    "<wendrel><drask><bootstrap cluster=\"3\" host=\"h3\"/><swimlane>"
    "<bootstrap cluster=\"1\" host=\"h1\"/></swimlane></drask>"
    "<drask_cluster_map_override><map account=\"1\" clusters=\"1,2\"/>"
    "</drask_cluster_map_override></wendrel>",
    // No swimlane at all.
    "<wendrel><drask><bootstrap cluster=\"1\" host=\"h1\"/></drask></wendrel>",
    // Two swimlanes and a bootstrap nested deeper than the swimlane's own.
    "<wendrel><drask><swimlane><bootstrap cluster=\"1\" host=\"a\"/>"
    "<group><bootstrap cluster=\"1\" host=\"deep\"/></group></swimlane>"
    "<swimlane><bootstrap cluster=\"2\" host=\"b\"/><account_map>"
    "<map account=\"5\" cluster=\"2\"/></account_map></swimlane></drask>"
    "</wendrel>",
};
const char *const kIds[] = {"1", "2", "3", "0", "4294967297", "03", "-1", "x"};

using pairs = std::vector<std::pair<std::string, std::string>>;

std::string attr(xmlNodePtr node, const char *name, bool *present = nullptr) {
  xmlChar *v = xmlGetProp(node, BAD_CAST name);
  if (present) *present = v != nullptr;
  std::string out = v ? reinterpret_cast<const char *>(v) : "";
  xmlFree(v);
  return out;
}

bool named(xmlNodePtr node, const char *name) {
  return node->name && strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

/* (a, b) attribute pairs of every element at xpath, in document order. */
pairs config_pairs(const char *xpath, const char *a, const char *b) {
  pairs out;
  int n = 0;
  zorv_conf_section_t *list = zorv_conf_get_sections_read(ZORV_CONF_ROOT, xpath, &n);
  for (int i = 0; i < n; i++) {
    xmlNodePtr node = zorv_conf_section_to_xmlnodeptr(list[i]);
    out.emplace_back(attr(node, a), attr(node, b));
  }
  zorv_conf_release_sections_read(list, n > 0 ? n : 0);
  return out;
}

pairs without_first(pairs all, const std::vector<std::string> &firsts) {
  std::erase_if(all, [&](const auto &p) {
    return std::find(firsts.begin(), firsts.end(), p.first) != firsts.end();
  });
  return all;
}

bool cluster_configured(int32_t id) {
  void *data = nullptr;
  return zorv_hash_retrieve(&global_clusters, &id, sizeof(id), &data) != 0;
}

/* One request through a session of our own; the answer's status. */
struct request {
  zorv_http_session_ctx ctx;
  xmlDocPtr doc = nullptr;
  explicit request(std::string_view body) {
    ctx.method = "POST";
    ctx.body.assign(body);
    ctx.body_complete = true;
    ctx.restc.http_ctx = &ctx;
    ctx.restc.method = "POST";
    int mask = 0, complete = 0;
    // Parsed once here, as the handler will see it (the session caches it).
    doc = rest_get_xml_upload(&ctx.restc, &mask, &complete);
  }
  ~request() { xmlFreeDoc(ctx.upload_doc); }
};

void check_map_update(std::string_view body, const std::string &path) {
  pairs before = config_pairs("//drask//account_map/map", "account", "cluster");
  request r(body);
  pairs posted;  // (account, cluster) of entries with both
  std::vector<std::string> accounts;
  if (r.doc && xmlDocGetRootElement(r.doc)) {
    for (xmlNodePtr c = xmlDocGetRootElement(r.doc)->children; c; c = c->next) {
      if (!named(c, "map")) continue;
      bool has_cluster = false;
      std::string account = attr(c, "account");
      std::string cluster = attr(c, "cluster", &has_cluster);
      accounts.push_back(account);
      if (has_cluster) posted.emplace_back(account, cluster);
    }
  }
  FUZZ_CHECK(kav_map_update(&r.ctx.restc, 0, nullptr) == 0 && r.ctx.ended,
             "map update left the answer open");
  const int status = r.ctx.status;
  if (getenv("FUZZ_VERBOSE")) fprintf(stderr, "map update: %d\n", status);
  FUZZ_CHECK(status == 204 || status == 202 || status == 400 || status == 500,
             "map update answered %d", status);
  if (status != 204 && status != 202) return;

  char *err = nullptr;
  int rc = zorv_conf_load(path.c_str(), &err);
  FUZZ_CHECK(rc == 0, "map update wrote a configuration that does not load: %s",
             err ? err : "");
  pairs after = config_pairs("//drask//swimlane/account_map/map", "account", "cluster");
  for (const auto &p : posted) {
    auto it = std::find(after.begin(), after.end(), p);
    FUZZ_CHECK(it != after.end(), "posted entry %s -> %s not in the file",
               p.first.c_str(), p.second.c_str());
    after.erase(it);
  }
  pairs all_after = config_pairs("//drask//account_map/map", "account", "cluster");
  // Accounts are compared as the handler reads them: as numbers.
  std::vector<std::string> same_accounts;
  for (const auto &p : before)
    for (const auto &a : accounts)
      if (strtoll(p.first.c_str(), nullptr, 10) == strtoll(a.c_str(), nullptr, 10))
        same_accounts.push_back(p.first);
  for (const auto &p : all_after)
    for (const auto &a : accounts)
      if (strtoll(p.first.c_str(), nullptr, 10) == strtoll(a.c_str(), nullptr, 10))
        same_accounts.push_back(p.first);
  FUZZ_CHECK(without_first(before, same_accounts) ==
                 without_first(all_after, same_accounts),
             "entries of accounts not posted changed");

  bool refused = false;
  for (const auto &p : posted) {
    int32_t cluster = static_cast<int32_t>(strtol(p.second.c_str(), nullptr, 10));
    if (cluster != -1 && !cluster_configured(cluster)) refused = true;
  }
  FUZZ_CHECK(refused == (status == 202), "answer %d, refused entry: %d", status,
             refused);
  if (status == 204) {
    // The last posted entry per account is the one in force.
    for (auto it = posted.rbegin(); it != posted.rend(); ++it) {
      int64_t account = strtoll(it->first.c_str(), nullptr, 10);
      bool later = std::any_of(posted.rbegin(), it, [&](const auto &p) {
        return strtoll(p.first.c_str(), nullptr, 10) == account;
      });
      if (later) continue;
      int32_t cluster = static_cast<int32_t>(strtol(it->second.c_str(), nullptr, 10));
      FUZZ_CHECK(get_cluster_id_from_account(account) == cluster,
                 "account %lld maps to %d, posted %d", static_cast<long long>(account),
                 get_cluster_id_from_account(account), cluster);
    }
  }
}

void check_cluster_update(std::string_view body, const char *id_text,
                          const std::string &path) {
  const int32_t id = static_cast<int32_t>(strtol(id_text, nullptr, 10));
  pairs before = config_pairs("//drask//bootstrap", "cluster", "host");
  request r(body);
  std::vector<std::string> posted;
  if (r.doc && xmlDocGetRootElement(r.doc)) {
    for (xmlNodePtr c = xmlDocGetRootElement(r.doc)->children; c; c = c->next)
      if (named(c, "bootstrap")) posted.push_back(attr(c, "host"));
  }
  char *pats[] = {const_cast<char *>(id_text)};
  FUZZ_CHECK(kav_cluster_update(&r.ctx.restc, 1, pats) == 0 && r.ctx.ended,
             "cluster update left the answer open");
  const int status = r.ctx.status;
  if (getenv("FUZZ_VERBOSE"))
    fprintf(stderr, "cluster %s update: %d\n", id_text, status);
  FUZZ_CHECK(status == 204 || status == 400 || status == 500,
             "cluster update answered %d", status);
  if (status != 204) return;
  FUZZ_CHECK(id >= 1, "cluster %d accepted", id);

  char *err = nullptr;
  int rc = zorv_conf_load(path.c_str(), &err);
  FUZZ_CHECK(rc == 0, "cluster update wrote a configuration that does not load: %s",
             err ? err : "");
  char xpath[128];
  snprintf(xpath, sizeof(xpath), "//drask//swimlane/bootstrap[@cluster=\"%d\"]", id);
  std::vector<std::string> hosts;
  for (const auto &p : config_pairs(xpath, "cluster", "host")) hosts.push_back(p.second);
  FUZZ_CHECK(hosts == posted, "cluster %d holds %zu hosts, %zu posted", id,
             hosts.size(), posted.size());

  const std::string own = std::to_string(id);
  auto others = [&](pairs all) {
    std::erase_if(all, [&](const auto &p) { return p.first == own; });
    return all;
  };
  pairs after = config_pairs("//drask//bootstrap", "cluster", "host");
  FUZZ_CHECK(others(before) == others(after),
             "bootstrap elements of other clusters changed");

  // The live client: every host of the cluster under drask, up to 128.
  snprintf(xpath, sizeof(xpath), "//drask//bootstrap[@cluster=\"%d\"]", id);
  std::vector<std::string> expected;
  int n = 0;
  zorv_conf_section_t *list = zorv_conf_get_sections_read(ZORV_CONF_ROOT, xpath, &n);
  for (int i = 0; i < n && expected.size() < KAVALIN_MAX_BOOTSTRAP_HOSTS; i++) {
    bool has = false;
    std::string host = attr(zorv_conf_section_to_xmlnodeptr(list[i]), "host", &has);
    if (has) expected.push_back(host);
  }
  zorv_conf_release_sections_read(list, n > 0 ? n : 0);
  drask_client_t *client = client_from_cluster_id(id);
  FUZZ_CHECK((client != nullptr) == !expected.empty(),
             "cluster %d live: %d, hosts in the file: %zu", id, client != nullptr,
             expected.size());
  if (client) {
    const char *const *live = nullptr;
    int count = drask_client_get_bootstrap(client, &live);
    std::vector<std::string> got(live, live + std::max(count, 0));
    FUZZ_CHECK(got == expected, "client holds %d hosts, file %zu", count,
               expected.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  kav_init(&kavalin);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const std::string path = fuzz::scratch_dir() + "/update.conf";
  const size_t configs = sizeof(kConfigs) / sizeof(kConfigs[0]);
  char *err = nullptr;
  FUZZ_CHECK(zorv_conf_load_string(kConfigs[data[0] % configs], path.c_str(), &err) == 0,
             "scratch configuration: %s", err ? err : "");
  fuzz::empty_kavalin_tables();
  fuzz::kavalin_startup_reads();

  std::string_view rest(reinterpret_cast<const char *>(data) + 1, size - 1);
  for (int i = 0; i < 2 && !rest.empty(); i++) {
    size_t end = i == 0 ? rest.find('\0') : std::string_view::npos;
    std::string_view req = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (req.empty()) continue;
    const uint8_t selector = static_cast<uint8_t>(req[0]);
    std::string_view body = req.substr(1);
    if (selector & 1)
      check_cluster_update(body, kIds[(selector >> 1) % 8], path);
    else
      check_map_update(body, path);
  }
  fuzz::empty_kavalin_tables();
  return 0;
}
