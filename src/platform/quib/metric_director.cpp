// The metric director's check-generation notice. The daemon's director is
// reduced here to what the modules can observe: the last generation told
// for each check, kept so that tests and operators can see it.
//
// The notice comes once per stored tag during a full sync (tens of millions
// of times) with the writer's lock held, so it must cost a few cycles and
// no allocation: the UUID is held as its two 64-bit words in one open-
// addressing array (linear probing), grown by half when three quarters full.
// A million checks make that array tens of megabytes read at random places:
// it is offered to transparent huge pages, and a caller with several checks
// at hand may prefetch their slots first (metric_director_prefetch_check).
#include "quib/metric_director.h"

#include "zorv/arena.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

namespace {

struct Slot {
  uint64_t hi, lo;
  uint64_t gen;  // 0: never used (a told generation is never 0)
};

struct Generations {
  std::mutex mu;
  // Written under mu; atomic only for the prefetch, which reads them
  // without it.
  std::atomic<Slot *> slots{nullptr};
  std::atomic<size_t> capacity{0};
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
  const size_t old_cap = g.capacity.load(std::memory_order_relaxed);
  Slot *old = g.slots.load(std::memory_order_relaxed);
  size_t cap = old_cap == 0 ? 1024 : old_cap + old_cap / 2;
  auto *fresh = static_cast<Slot *>(calloc(cap, sizeof(Slot)));
  if (fresh == nullptr) return false;
  zorv_advise_huge_pages(fresh, cap * sizeof(Slot));
  for (size_t i = 0; i < old_cap; ++i) {
    const Slot &s = old[i];
    if (s.gen != 0) *find(fresh, cap, s.hi, s.lo) = s;
  }
  // A prefetch that still holds the old array only wastes a load: prefetches
  // never fault.
  g.slots.store(fresh, std::memory_order_relaxed);
  g.capacity.store(cap, std::memory_order_relaxed);
  free(old);
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
  if ((g.used + 1) * 4 > g.capacity.load(std::memory_order_relaxed) * 3 &&
      !grow(g))
    return;
  Slot *s = find(g.slots.load(std::memory_order_relaxed),
                 g.capacity.load(std::memory_order_relaxed), hi, lo);
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
  const size_t cap = g.capacity.load(std::memory_order_relaxed);
  if (cap == 0) return 0;
  return find(g.slots.load(std::memory_order_relaxed), cap, hi, lo)->gen;
}

ZORV_EXPORT void metric_director_prefetch_check(const uuid_t in) {
  if (!in) return;
  Generations &g = generations();
  // Slots and capacity may be a grow apart: the home slot is then merely
  // wrong, and a prefetch of any address is harmless.
  Slot *slots = g.slots.load(std::memory_order_relaxed);
  const size_t cap = g.capacity.load(std::memory_order_relaxed);
  if (slots == nullptr || cap == 0) return;
  const Slot *s = &slots[home_of(word(in), word(in + 8), cap)];
  __builtin_prefetch(s, 1);
  __builtin_prefetch(reinterpret_cast<const char *>(s + 1) - 1, 1);
}

}  // extern "C"
