/* The commands that only read: status, health, the account map and its
 * differences, clusters, a check's tags, metrics. */
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "answers.h"
#include "table.h"

namespace wendrelctl {

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

namespace {

/* A live or file mapping as a cell. */
std::string mapping(json_object *m) {

  if (m == nullptr) return "-";
  std::string out = "cluster " + cell(m, "cluster");
  if (field(m, "discard_data_filter")) out += ", filter " + cell(m, "discard_data_filter");
  return out;
}

}  // namespace

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

}  // namespace wendrelctl
