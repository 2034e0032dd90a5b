#include "standin/options.h"

#include <charconv>

#include "standin/generator.h"

namespace standin {

const char kUsage[] =
    "usage: drask-standin --nodes N --base-port P [--admin-port A]\n"
    "                     [--checks C --tags-per-check T --seed S]\n"
    "                     [--signature TEXT] [--batch B] [--log-level debug|info] [--help]\n"
    "\n"
    "Runs a stand-in database cluster of N nodes on 127.0.0.1 that serve the\n"
    "check-tag feed and the topology. Node i listens on port P+i (P = 0: any\n"
    "free ports). The admin API listens on A (default P+N, or any free port\n"
    "when P is 0). Prints one line \"ready admin=A nodes=P0,P1,... signature=S\"\n"
    "when every listener is up. Stops cleanly on SIGINT or SIGTERM.\n"
    "\n"
    "  --nodes N            nodes in the cluster, 1 to 128 (default 3)\n"
    "  --base-port P        first node's port (default 0)\n"
    "  --admin-port A       the admin API's port\n"
    "  --checks C           generate C checks at start (default 0: empty)\n"
    "  --tags-per-check T   tags per generated check (default 10)\n"
    "  --seed S             generator seed (default 1)\n"
    "  --signature TEXT     topology signature (default drask-standin@127.0.0.1:P0)\n"
    "  --batch B            diff messages per pull at most (default 10000)\n"
    "  --log-level L        info (default) or debug (logs every request)\n";

namespace {

template <typename T>
bool parse_number(const std::string &text, T *out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<Options> parse_options(const std::vector<std::string> &args, std::string *error) {
  Options options;
  uint64_t base = 0, admin = 0, nodes = 3, tags = 10, batch = 10000;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (size_t eq = name.find('='); eq != std::string::npos && name.starts_with("--")) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = name.starts_with("--") ? name + " needs a value" : "unexpected argument " + name;
      return std::nullopt;
    }
    bool ok = true;
    if (name == "--nodes") ok = parse_number(value, &nodes);
    else if (name == "--base-port") ok = parse_number(value, &base);
    else if (name == "--admin-port") {
      ok = parse_number(value, &admin) && admin <= 65535;
      options.admin_port = static_cast<uint16_t>(admin);
    }
    else if (name == "--checks") ok = parse_number(value, &options.checks);
    else if (name == "--tags-per-check") ok = parse_number(value, &tags);
    else if (name == "--seed") ok = parse_number(value, &options.seed);
    else if (name == "--signature") {
      ok = !value.empty();
      options.signature = value;
    }
    else if (name == "--batch") ok = parse_number(value, &batch);
    else if (name == "--log-level") {
      ok = value == "debug" || value == "info";
      options.log_level = value == "debug" ? LogLevel::debug : LogLevel::info;
    } else {
      *error = "unknown option " + name;
      return std::nullopt;
    }
    if (!ok) {
      *error = "bad value for " + name + ": " + value;
      return std::nullopt;
    }
  }
  if (options.help) return options;
  if (nodes < 1 || nodes > 128) {
    *error = "--nodes must be 1 to 128";
    return std::nullopt;
  }
  if (base != 0 && base + nodes - 1 > 65535) {
    *error = "--base-port leaves no room for every node below 65536";
    return std::nullopt;
  }
  if (batch < 1 || batch > UINT32_MAX) {
    *error = "--batch must be at least 1";
    return std::nullopt;
  }
  if (auto problem = generator_problem(options.checks, tags)) {
    *error = *problem;
    return std::nullopt;
  }
  options.nodes = static_cast<int>(nodes);
  options.base_port = static_cast<uint16_t>(base);
  options.tags_per_check = static_cast<uint32_t>(tags);
  options.batch = static_cast<uint32_t>(batch);
  if (!options.admin_port && base != 0) {
    if (base + nodes > 65535) {
      *error = "no room for the admin port after the nodes: give --admin-port";
      return std::nullopt;
    }
    options.admin_port = static_cast<uint16_t>(base + nodes);
  }
  return options;
}

}  // namespace standin
