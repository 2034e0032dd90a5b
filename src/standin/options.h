// Command line of drask-standin.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "standin/log.h"

namespace standin {

struct Options {
  int nodes = 3;
  uint16_t base_port = 0;
  std::optional<uint16_t> admin_port;  // default: base + nodes, or ephemeral
  uint64_t checks = 0;
  uint32_t tags_per_check = 10;
  uint64_t seed = 1;
  std::string signature;
  uint32_t batch = 10000;
  LogLevel log_level = LogLevel::info;
  bool help = false;
};

extern const char kUsage[];

// nullopt with *error set on bad input.
std::optional<Options> parse_options(const std::vector<std::string> &args, std::string *error);

}  // namespace standin
