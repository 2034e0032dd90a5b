// The metric director's check-generation notice. The daemon's director is
// reduced here to what the modules can observe: the last generation told
// for each check, kept so that tests and operators can see it.
#include "quib/metric_director.h"

#include <string.h>

#include <mutex>
#include <string>
#include <unordered_map>

namespace {

struct Generations {
  std::mutex mu;
  // Keyed by the 16 raw bytes of the check UUID.
  std::unordered_map<std::string, uint64_t> by_check;
};

Generations &generations() {
  static auto *g = new Generations;
  return *g;
}

std::string key_of(const unsigned char *uu) {
  return std::string(reinterpret_cast<const char *>(uu), sizeof(uuid_t));
}

}  // namespace

extern "C" {

ZORV_EXPORT void metric_director_set_check_generation_dyn(uuid_t in, uint64_t gen) {
  if (!in) return;
  Generations &g = generations();
  std::lock_guard lock(g.mu);
  g.by_check[key_of(in)] = gen;
}

ZORV_EXPORT uint64_t metric_director_get_check_generation(const uuid_t in) {
  if (!in) return 0;
  Generations &g = generations();
  std::lock_guard lock(g.mu);
  auto it = g.by_check.find(key_of(in));
  return it == g.by_check.end() ? 0 : it->second;
}

}  // extern "C"
