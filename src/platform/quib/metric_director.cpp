// The metric director's check-generation notice. The daemon's director is
// reduced here to what the modules can observe: the last generation told
// for each check, kept so that tests and operators can see it.
#include "quib/metric_director.h"

#include <string.h>

#include <mutex>
#include <unordered_map>

namespace {

// The 16 raw bytes of a check UUID, held as two words: the notice comes once
// per stored tag during a full sync (millions of times), so the key must not
// cost an allocation, as a 16-byte std::string (past the short-string
// buffer) would.
struct CheckKey {
  uint64_t hi, lo;
  bool operator==(const CheckKey &) const = default;
};

struct CheckKeyHash {
  size_t operator()(const CheckKey &k) const {
    // UUID bits are mostly random already; one multiply spreads the rest.
    return static_cast<size_t>((k.hi ^ (k.lo * 0x9e3779b97f4a7c15ull)) *
                               0xff51afd7ed558ccdull);
  }
};

struct Generations {
  std::mutex mu;
  std::unordered_map<CheckKey, uint64_t, CheckKeyHash> by_check;
};

Generations &generations() {
  static auto *g = new Generations;
  return *g;
}

CheckKey key_of(const unsigned char *uu) {
  CheckKey k;
  memcpy(&k.hi, uu, sizeof k.hi);
  memcpy(&k.lo, uu + sizeof k.hi, sizeof k.lo);
  return k;
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
