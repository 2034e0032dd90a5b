#include "commands.h"

#include <json-c/json.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

#include "client.h"
#include "documents.h"
#include "exit_codes.h"
#include "table.h"

namespace wendrelctl {
namespace {

struct JsonDeleter {
  void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonDeleter>;

int usage(const std::string &why) {
  fprintf(stderr, "wendrelctl: %s (wendrelctl --help)\n", why.c_str());
  return kUsage;
}

/* The daemon's answer, or the exit status when there is none. */
struct Outcome {
  Answer answer;
  int exit = kOk;
};

Outcome call(const Context &ctx, const std::string &path, bool post = false,
             const std::string &body = "") {
  Outcome o;
  o.answer = request(ctx.settings, path, post, body);
  if (o.answer.status == 0) {
    fprintf(stderr, "wendrelctl: cannot reach %s: %s\n",
            ctx.settings.url.c_str(), o.answer.error.c_str());
    o.exit = kUnreachable;
  }
  return o;
}

/* A refusal: the daemon's own words, on standard error. */
int refused(const std::string &path, const Answer &a) {
  std::string text = error_text(a.body);
  fprintf(stderr, "wendrelctl: %s answered %ld%s%s\n", path.c_str(), a.status,
          text.empty() ? "" : ": ", text.c_str());
  return kRefused;
}

Json parse(const Answer &a, const std::string &path, int &exit) {
  json_tokener *tok = json_tokener_new();
  Json doc(json_tokener_parse_ex(tok, a.body.c_str(),
                                 static_cast<int>(a.body.size())));
  json_tokener_free(tok);
  if (!doc) {
    fprintf(stderr, "wendrelctl: %s answered no JSON document\n", path.c_str());
    exit = kRefused;
  }
  return doc;
}

json_object *field(json_object *o, const char *name) {
  json_object *v = nullptr;
  return o && json_object_object_get_ex(o, name, &v) ? v : nullptr;
}

/* A field as a table cell: "-" for null or absent. */
std::string cell(json_object *o, const char *name) {
  json_object *v = field(o, name);
  if (v == nullptr) return "-";
  if (json_object_is_type(v, json_type_double)) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", json_object_get_double(v));
    return text;
  }
  return json_object_get_string(v);
}

std::string join(json_object *array, const char *sep) {
  std::string out;
  for (size_t i = 0; array && i < json_object_array_length(array); i++) {
    if (i > 0) out += sep;
    out += json_object_get_string(json_object_array_get_idx(array, i));
  }
  return out.empty() ? "-" : out;
}

void print_body(const Answer &a) {
  fwrite(a.body.data(), 1, a.body.size(), stdout);
  if (!a.body.empty() && a.body.back() != '\n') putchar('\n');
}

/* GET path, answered 200 with JSON: the document (or the exit status). */
Json get_json(const Context &ctx, const std::string &path, int &exit) {
  Outcome o = call(ctx, path);
  if ((exit = o.exit) != kOk) return nullptr;
  if (o.answer.status != 200) {
    exit = refused(path, o.answer);
    return nullptr;
  }
  if (ctx.json) {
    print_body(o.answer);
    return nullptr;
  }
  return parse(o.answer, path, exit);
}

int cmd_status(const Context &ctx, const std::vector<std::string> &args) {
  if (args.size() != 1) return usage("status takes no arguments");
  int exit = kOk;
  Json doc = get_json(ctx, "/module/ostrel/status.json", exit);
  if (!doc) return exit;
  Table t({"CLUSTER", "PHASE", "NODE", "CHECKPOINT", "CURRENT",
           "SINCE_CURRENT_S", "ELEMENTS", "LAST_ERROR"});
  json_object *clusters = field(doc.get(), "clusters");
  for (size_t i = 0; clusters && i < json_object_array_length(clusters); i++) {
    json_object *c = json_object_array_get_idx(clusters, i);
    json_object *current = field(c, "current");
    t.add({cell(c, "cluster_id"), cell(c, "phase"), cell(c, "node"),
           cell(c, "checkpoint"),
           current ? (json_object_get_boolean(current) ? "yes" : "no") : "-",
           field(c, "seconds_since_current") || field(c, "current")
               ? cell(c, "seconds_since_current")
               : cell(c, "seconds_since_last_success"),
           cell(c, "elements_merged"), cell(c, "last_error")});
  }
  t.print(stdout);
  return kOk;
}

int cmd_health(const Context &ctx, const std::vector<std::string> &args) {
  if (args.size() != 1) return usage("health takes no arguments");
  const std::string path = "/health";
  Outcome o = call(ctx, path);
  if (o.exit != kOk) return o.exit;
  if (o.answer.status != 200 && o.answer.status != 503) return refused(path, o.answer);
  const int exit = o.answer.status == 200 ? kOk : kRefused;
  if (ctx.json) {
    print_body(o.answer);
    return exit;
  }
  int parse_exit = kOk;
  Json doc = parse(o.answer, path, parse_exit);
  if (!doc) return parse_exit;
  printf("%s (up %s s)\n", cell(doc.get(), "status").c_str(),
         cell(doc.get(), "uptime_seconds").c_str());
  json_object *problems = field(doc.get(), "problems");
  if (problems && json_object_array_length(problems) > 0) {
    Table t({"OWNER", "SUBJECT", "REASON"});
    for (size_t i = 0; i < json_object_array_length(problems); i++) {
      json_object *p = json_object_array_get_idx(problems, i);
      t.add({cell(p, "owner"), cell(p, "subject"), cell(p, "reason")});
    }
    t.print(stdout);
  }
  return exit;
}

std::string mapping(json_object *m) {
  if (m == nullptr) return "-";
  std::string out = "cluster " + cell(m, "cluster");
  if (field(m, "discard_data_filter")) out += ", filter " + cell(m, "discard_data_filter");
  return out;
}

int cmd_map_show(const Context &ctx, bool differs) {
  int exit = kOk;
  Json doc = get_json(ctx, "/module/kavalin/map", exit);
  if (!doc) return exit;
  const std::string file = cell(doc.get(), "configuration_file");
  json_object *diffs = field(doc.get(), "differences");
  if (differs) {
    if (field(doc.get(), "file_differs") == nullptr) {
      fprintf(stderr, "wendrelctl: %s cannot be compared: %s\n", file.c_str(),
              cell(doc.get(), "file_error").c_str());
      return kRefused;
    }
    Table t({"ACCOUNT", "LIVE", "FILE"});
    for (size_t i = 0; diffs && i < json_object_array_length(diffs); i++) {
      json_object *d = json_object_array_get_idx(diffs, i);
      t.add({cell(d, "account"), mapping(field(d, "live")), mapping(field(d, "file"))});
    }
    if (t.size() == 0) {
      printf("the live map and %s agree\n", file.c_str());
    } else {
      t.print(stdout);
    }
    return kOk;
  }
  Table t({"ACCOUNT", "CLUSTER", "FILTER"});
  json_object *accounts = field(doc.get(), "accounts");
  for (size_t i = 0; accounts && i < json_object_array_length(accounts); i++) {
    json_object *a = json_object_array_get_idx(accounts, i);
    t.add({cell(a, "account"), cell(a, "cluster"), cell(a, "discard_data_filter")});
  }
  t.print(stdout);
  json_object *state = field(doc.get(), "file_differs");
  if (state == nullptr) {
    printf("\n%s cannot be compared: %s\n", file.c_str(),
           cell(doc.get(), "file_error").c_str());
  } else if (json_object_get_boolean(state)) {
    printf("\n%s differs for %zu account(s): wendrelctl map --differs\n",
           file.c_str(), json_object_array_length(diffs));
  } else {
    printf("\n%s holds the same map\n", file.c_str());
  }
  return kOk;
}

/* Posts a map document; 204 took every entry into the live map, 202 some
 * of them only into the file. */
int post_map(const Context &ctx, const std::vector<MapEntry> &entries,
             const std::string &done) {
  auto doc = map_document(entries);
  if (!doc) return usage("a filter holds a character XML cannot carry");
  const std::string path = "/module/kavalin/map";
  Outcome o = call(ctx, path, true, *doc);
  if (o.exit != kOk) return o.exit;
  if (ctx.json && (o.answer.status == 204 || o.answer.status == 202)) {
    printf("{\"status\":%ld,\"live\":%s}\n", o.answer.status,
           o.answer.status == 204 ? "true" : "false");
    return o.answer.status == 204 ? kOk : kRefused;
  }
  if (o.answer.status == 204) {
    printf("%s\n", done.c_str());
    return kOk;
  }
  if (o.answer.status == 202) {
    fprintf(stderr,
            "wendrelctl: %s answered 202: written to the configuration file, "
            "but the live map refused a mapping to a cluster that is not "
            "configured (see wendrelctl clusters)\n",
            path.c_str());
    return kRefused;
  }
  return refused(path, o.answer);
}

std::optional<MapEntry> entry(const std::string &account, const std::string &cluster,
                              std::string &why) {
  MapEntry e;
  auto a = parse_i64(account);
  if (!a) {
    why = "ACCOUNT must be a decimal account id: '" + account + "'";
    return std::nullopt;
  }
  e.account = *a;
  if (cluster != "-") {
    auto c = parse_i32(cluster);
    if (!c) {
      why = "CLUSTER must be a decimal cluster id: '" + cluster + "'";
      return std::nullopt;
    }
    e.cluster = *c;
  }
  return e;
}

/* "ACCOUNT CLUSTER [FILTER]" or "ACCOUNT -" per line; '#' comments. */
int cmd_map_load(const Context &ctx, const std::string &from) {
  std::ifstream file;
  std::istream *in = &std::cin;
  if (from != "-") {
    file.open(from);
    if (!file) return usage("cannot read '" + from + "'");
    in = &file;
  }
  std::vector<MapEntry> entries;
  std::string line;
  for (int n = 1; std::getline(*in, line); n++) {
    if (line.size() > 65536 || entries.size() >= 1000000)
      return usage(from + ":" + std::to_string(n) + ": too long");
    std::istringstream words(line);
    std::string account, cluster, filter;
    if (!(words >> account) || account[0] == '#') continue;
    words >> cluster;
    std::getline(words >> std::ws, filter);
    while (!filter.empty() && isspace(static_cast<unsigned char>(filter.back())))
      filter.pop_back();
    std::string why;
    auto e = entry(account, cluster.empty() ? "?" : cluster, why);
    if (!e) return usage(from + ":" + std::to_string(n) + ": " + why);
    if (!filter.empty()) {
      if (!e->cluster) return usage(from + ":" + std::to_string(n) + ": a filter needs a cluster");
      e->filter = filter;
    }
    entries.push_back(*e);
  }
  if (entries.empty()) return usage("no mappings in '" + from + "'");
  return post_map(ctx, entries, std::to_string(entries.size()) + " mapping(s) updated");
}

int cmd_map(const Context &ctx, const std::vector<std::string> &args) {
  if (args.size() == 1) return cmd_map_show(ctx, false);
  if (args.size() == 2 && args[1] == "--differs") return cmd_map_show(ctx, true);
  const std::string &op = args[1];
  std::string why;
  if (op == "set") {
    std::vector<std::string> rest;
    std::optional<std::string> filter;
    for (size_t i = 2; i < args.size(); i++) {
      if (args[i] == "--filter") {
        if (i + 1 >= args.size()) return usage("--filter needs a TEXT");
        filter = args[++i];
      } else {
        rest.push_back(args[i]);
      }
    }
    if (rest.size() != 2) return usage("map set ACCOUNT CLUSTER [--filter TEXT]");
    if (rest[1] == "-") return usage("CLUSTER must be a decimal cluster id: '-'");
    auto e = entry(rest[0], rest[1], why);
    if (!e) return usage(why);
    e->filter = filter;
    return post_map(ctx, {*e},
                    "account " + rest[0] + " -> cluster " + std::to_string(*e->cluster) +
                        (filter ? " (filter " + *filter + ")" : ""));
  }
  if (op == "unset") {
    if (args.size() < 3) return usage("map unset ACCOUNT...");
    std::vector<MapEntry> entries;
    for (size_t i = 2; i < args.size(); i++) {
      auto e = entry(args[i], "-", why);
      if (!e) return usage(why);
      entries.push_back(*e);
    }
    return post_map(ctx, entries,
                    "removed from the configuration file; the live mapping "
                    "stays until the daemon restarts");
  }
  if (op == "load") {
    if (args.size() != 3) return usage("map load FILE (or - for standard input)");
    return cmd_map_load(ctx, args[2]);
  }
  return usage("unknown map operation '" + op + "'");
}

int cmd_clusters(const Context &ctx, const std::vector<std::string> &args) {
  if (args.size() != 1) return usage("clusters takes no arguments");
  int exit = kOk;
  Json doc = get_json(ctx, "/module/kavalin/clusters", exit);
  if (!doc) return exit;
  Table t({"CLUSTER", "BOOTSTRAP", "TOPOLOGY", "NODES"});
  json_object *clusters = field(doc.get(), "clusters");
  for (size_t i = 0; clusters && i < json_object_array_length(clusters); i++) {
    json_object *c = json_object_array_get_idx(clusters, i);
    t.add({cell(c, "cluster_id"), join(field(c, "bootstrap"), ","),
           cell(c, "topology_signature"), join(field(c, "nodes"), ",")});
  }
  t.print(stdout);
  json_object *overrides = field(doc.get(), "overrides");
  for (size_t i = 0; overrides && i < json_object_array_length(overrides); i++) {
    json_object *o = json_object_array_get_idx(overrides, i);
    printf("%soverride: account %s -> clusters %s\n", i == 0 ? "\n" : "",
           cell(o, "account").c_str(), join(field(o, "clusters"), ",").c_str());
  }
  return kOk;
}

int cmd_cluster(const Context &ctx, const std::vector<std::string> &args) {
  if (args.size() < 4 || args[1] != "set") return usage("cluster set ID HOST...");
  auto id = parse_i32(args[2]);
  if (!id || *id < 1) return usage("ID must be a cluster id of 1 or more: '" + args[2] + "'");
  std::vector<std::string> hosts(args.begin() + 3, args.end());
  for (const std::string &h : hosts) {
    for (unsigned char c : h) {
      if (c <= ' ' || c == 0x7f) return usage("a HOST holds blanks or control characters");
    }
  }
  auto doc = cluster_document(hosts);
  if (!doc) return usage("a HOST holds bytes that are not UTF-8");
  const std::string path = "/module/kavalin/cluster/" + std::to_string(*id);
  Outcome o = call(ctx, path, true, *doc);
  if (o.exit != kOk) return o.exit;
  if (o.answer.status != 204) return refused(path, o.answer);
  if (ctx.json) {
    printf("{\"status\":204}\n");
  } else {
    std::string list;
    for (const auto &h : hosts) list += (list.empty() ? "" : ", ") + h;
    printf("cluster %d: bootstrap %s\n", *id, list.c_str());
  }
  return kOk;
}

int cmd_show(const Context &ctx, const std::vector<std::string> &args) {
  if (args.size() != 2) return usage("show CHECK_UUID");
  std::string uuid = args[1];
  bool ok = uuid.size() == 36;
  for (size_t i = 0; ok && i < uuid.size(); i++) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    ok = dash ? uuid[i] == '-' : isxdigit(static_cast<unsigned char>(uuid[i])) != 0;
    uuid[i] = static_cast<char>(tolower(static_cast<unsigned char>(uuid[i])));
  }
  if (!ok) return usage("CHECK_UUID must be a UUID (8-4-4-4-12 hex digits): '" + args[1] + "'");
  int exit = kOk;
  Json doc = get_json(ctx, "/module/ostrel/show/" + uuid + ".json", exit);
  if (!doc) return exit;
  json_object *tags = field(doc.get(), "tags");
  size_t n = tags ? json_object_array_length(tags) : 0;
  for (size_t i = 0; i < n; i++)
    printf("%s\n", json_object_get_string(json_object_array_get_idx(tags, i)));
  if (n == 0) fprintf(stderr, "wendrelctl: check %s has no replicated tags\n", uuid.c_str());
  return kOk;
}

/* The exposition, or only the families whose names start with PREFIX. */
int cmd_metrics(const Context &ctx, const std::vector<std::string> &args) {
  if (args.size() > 2) return usage("metrics [PREFIX]");
  const std::string path = "/metrics";
  Outcome o = call(ctx, path);
  if (o.exit != kOk) return o.exit;
  if (o.answer.status != 200) return refused(path, o.answer);
  if (args.size() == 1) {
    print_body(o.answer);
    return kOk;
  }
  std::string_view prefix = args[1];
  std::istringstream lines(o.answer.body);
  std::string line;
  while (std::getline(lines, line)) {
    std::string_view name = line;
    if (name.starts_with("# HELP ") || name.starts_with("# TYPE ")) name.remove_prefix(7);
    if (name.starts_with(prefix)) printf("%s\n", line.c_str());
  }
  return kOk;
}

}  // namespace

int run_command(const Context &ctx, const std::vector<std::string> &args) {
  const std::string &name = args[0];
  if (name == "status") return cmd_status(ctx, args);
  if (name == "health") return cmd_health(ctx, args);
  if (name == "map") return cmd_map(ctx, args);
  if (name == "clusters") return cmd_clusters(ctx, args);
  if (name == "cluster") return cmd_cluster(ctx, args);
  if (name == "show") return cmd_show(ctx, args);
  if (name == "metrics") return cmd_metrics(ctx, args);
  return usage("unknown command '" + name + "'");
}

}  // namespace wendrelctl
