// The metric director's check-generation notice. The daemon's director is
// reduced here to what the modules can observe: the last generation told
// for each check, kept so that tests and operators can see it.
//
// The notice comes once per stored tag during a full sync (tens of millions
// of times) with the writer's lock held, so it must cost a few cycles and
// no allocation: the UUID is held as its two 64-bit words in one open-
// addressing array (linear probing), grown by half when three quarters full.
#include "quib/metric_director.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>

namespace {

struct Slot {
  uint64_t hi, lo;
  uint64_t gen;  // 0: never used (a told generation is never 0)
};

struct Generations {
  std::mutex mu;
  Slot *slots = nullptr;
  size_t capacity = 0;
  size_t used = 0;
};

Generations &generations() {
  static auto *g = new Generations;
  return *g;
}

inline uint64_t word(const unsigned char *p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline size_t home_of(uint64_t hi, uint64_t lo, size_t capacity) {
  // UUID bits are mostly random already; one multiply spreads the rest, and
  // multiply-shift maps the hash onto any capacity.
  uint64_t h = (hi ^ (lo * 0x9e3779b97f4a7c15ull)) * 0xff51afd7ed558ccdull;
  return static_cast<size_t>((static_cast<__uint128_t>(h) * capacity) >> 64);
}

// The slot holding the key, or the empty slot where it would go.
Slot *find(Slot *slots, size_t capacity, uint64_t hi, uint64_t lo) {
  size_t i = home_of(hi, lo, capacity);
  for (;;) {
    Slot *s = &slots[i];
    if (s->gen == 0 || (s->hi == hi && s->lo == lo)) return s;
    i = i + 1 == capacity ? 0 : i + 1;
  }
}

bool grow(Generations &g) {
  size_t cap = g.capacity == 0 ? 1024 : g.capacity + g.capacity / 2;
  auto *fresh = static_cast<Slot *>(calloc(cap, sizeof(Slot)));
  if (fresh == nullptr) return false;
  for (size_t i = 0; i < g.capacity; ++i) {
    const Slot &s = g.slots[i];
    if (s.gen != 0) *find(fresh, cap, s.hi, s.lo) = s;
  }
  free(g.slots);
  g.slots = fresh;
  g.capacity = cap;
  return true;
}

}  // namespace

extern "C" {

ZORV_EXPORT void metric_director_set_check_generation_dyn(uuid_t in, uint64_t gen) {
  // Generation 0 means "not in the store" and is never told; here it also
  // marks an empty slot, so the all-zero UUID is an ordinary key.
  if (!in || gen == 0) return;
  const uint64_t hi = word(in), lo = word(in + 8);
  Generations &g = generations();
  std::lock_guard lock(g.mu);
  if ((g.used + 1) * 4 > g.capacity * 3 && !grow(g)) return;
  Slot *s = find(g.slots, g.capacity, hi, lo);
  if (s->gen == 0) {
    s->hi = hi;
    s->lo = lo;
    ++g.used;
  }
  s->gen = gen;
}

ZORV_EXPORT uint64_t metric_director_get_check_generation(const uuid_t in) {
  if (!in) return 0;
  const uint64_t hi = word(in), lo = word(in + 8);
  Generations &g = generations();
  std::lock_guard lock(g.mu);
  if (g.capacity == 0) return 0;
  return find(g.slots, g.capacity, hi, lo)->gen;
}

}  // extern "C"
