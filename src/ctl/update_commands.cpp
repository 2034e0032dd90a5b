/* The commands that change the daemon: account map updates (set, unset,
 * load) and a cluster's bootstrap hosts. Every value is checked here, so a
 * malformed one is a usage error and never reaches the daemon. */
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "answers.h"
#include "documents.h"

namespace wendrelctl {
namespace {

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

}  // namespace

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

}  // namespace wendrelctl
