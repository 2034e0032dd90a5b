// The two figures that bind the hash table's design, each measured beside
// std::unordered_map in the same run:
//  - memory: a table of ten pairs whose keys are 16-byte texts (15
//    characters and a NUL) malloc'd by the caller, counted whole (table
//    struct, slot array, the caller's keys) as resident-memory growth over
//    100,000 tables divided by 100,000; the budget is 700 bytes;
//  - lookup: one table of 1,000,000 36-character UUID texts, looked up in
//    random order on one thread; the budget is 1.5 times the unordered_map.
//
// Run: bench_hash_bench (from a build without sanitizers).

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "zorv/hash.h"

namespace {

// ---------------------------------------------------------------- memory

constexpr int kTables = 100000;
constexpr int kPairsPerTable = 10;
constexpr size_t kKeyBytes = 16;  // 15 characters and the NUL

long resident_bytes() {
  long pages_total = 0, pages_resident = 0;
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = -1;
  std::fclose(f);
  return pages_resident * sysconf(_SC_PAGESIZE);
}

void key_text(char *out, int table, int pair) {
  std::snprintf(out, kKeyBytes, "t%07dk%06d", table, pair);  // 15 characters
}

// Runs build() in a child process and returns its resident growth in bytes
// per table: a fresh process image keeps one measurement's freed memory from
// being reused by the next.
template <typename Build>
double bytes_per_table_in_child(Build build) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    // The holders of the tables are not part of a table's cost: touch them
    // before the first reading.
    std::vector<void *> holders(kTables, nullptr);
    for (auto &h : holders) benchmark::DoNotOptimize(h);
    long before = resident_bytes();
    build(holders);
    long after = resident_bytes();
    double per_table = static_cast<double>(after - before) / kTables;
    ssize_t ignored = write(fds[1], &per_table, sizeof per_table);
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  double per_table = -1;
  if (read(fds[0], &per_table, sizeof per_table) != sizeof per_table) per_table = -1;
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);
  return per_table;
}

void BM_Memory_TenPairTables_Zorv(benchmark::State &state) {
  double per_table = 0;
  for (auto _ : state) {
    per_table = bytes_per_table_in_child([](std::vector<void *> &holders) {
      for (int t = 0; t < kTables; ++t) {
        auto *table = static_cast<zorv_hash_table *>(std::calloc(1, sizeof(zorv_hash_table)));
        for (int p = 0; p < kPairsPerTable; ++p) {
          char *key = static_cast<char *>(std::malloc(kKeyBytes));
          key_text(key, t, p);
          zorv_hash_store(table, key, static_cast<int>(kKeyBytes - 1), key);
        }
        holders[t] = table;
      }
    });
  }
  state.counters["bytes_per_table"] = per_table;
  state.counters["budget_700_used"] = per_table / 700.0;
}

void BM_Memory_TenPairTables_StdUnorderedMap(benchmark::State &state) {
  double per_table = 0;
  for (auto _ : state) {
    per_table = bytes_per_table_in_child([](std::vector<void *> &holders) {
      char key[kKeyBytes];
      for (int t = 0; t < kTables; ++t) {
        auto *map = new std::unordered_map<std::string, void *>();
        for (int p = 0; p < kPairsPerTable; ++p) {
          key_text(key, t, p);
          map->emplace(key, map);
        }
        holders[t] = map;
      }
    });
  }
  state.counters["bytes_per_table"] = per_table;
}

// ---------------------------------------------------------------- lookup

constexpr size_t kLookupKeys = 1000000;

// One table of each kind holding the same 1,000,000 UUID texts, and probe
// texts in separate memory (a lookup key never shares the stored pointer),
// visited in a shuffled order. Built once for all lookup benchmarks.
struct LookupWorld {
  std::vector<std::unique_ptr<char[]>> stored;  // the zorv table's keys
  std::vector<std::string> probes;
  std::vector<uint32_t> order;
  zorv_hash_table table{};
  std::unordered_map<std::string, void *> map;

  LookupWorld() {
    std::mt19937_64 rng(12345);
    stored.reserve(kLookupKeys);
    probes.reserve(kLookupKeys);
    map.reserve(0);  // let it grow as an ordinary user's would
    for (size_t i = 0; i < kLookupKeys; ++i) {
      uuid_t uu;
      uint64_t a = rng(), b = rng();
      std::memcpy(uu, &a, 8);
      std::memcpy(uu + 8, &b, 8);
      char text[37];
      uuid_unparse_lower(uu, text);
      stored.emplace_back(new char[37]);
      std::memcpy(stored.back().get(), text, 37);
      probes.emplace_back(text, 36);
    }
    for (size_t i = 0; i < kLookupKeys; ++i) {
      void *value = stored[i].get();
      zorv_hash_store(&table, stored[i].get(), 36, value);
      map.emplace(std::string(stored[i].get(), 36), value);
    }
    order.resize(kLookupKeys);
    for (size_t i = 0; i < kLookupKeys; ++i) order[i] = static_cast<uint32_t>(i);
    std::shuffle(order.begin(), order.end(), rng);
  }

  static LookupWorld &get() {
    static LookupWorld world;
    return world;
  }
};

inline void *zorv_lookup(LookupWorld &w, uint32_t i) {
  void *v = nullptr;
  const std::string &k = w.probes[i];
  zorv_hash_retrieve(&w.table, k.data(), static_cast<int>(k.size()), &v);
  return v;
}

inline void *std_lookup(LookupWorld &w, uint32_t i) {
  auto it = w.map.find(w.probes[i]);
  return it == w.map.end() ? nullptr : it->second;
}

void BM_Lookup_1M_Uuid_Zorv(benchmark::State &state) {
  LookupWorld &w = LookupWorld::get();
  size_t n = 0, misses = 0;
  for (auto _ : state) {
    void *v = zorv_lookup(w, w.order[n]);
    misses += v == nullptr;
    benchmark::DoNotOptimize(v);
    if (++n == kLookupKeys) n = 0;
  }
  state.counters["misses"] = static_cast<double>(misses);
}

void BM_Lookup_1M_Uuid_StdUnorderedMap(benchmark::State &state) {
  LookupWorld &w = LookupWorld::get();
  size_t n = 0, misses = 0;
  for (auto _ : state) {
    void *v = std_lookup(w, w.order[n]);
    misses += v == nullptr;
    benchmark::DoNotOptimize(v);
    if (++n == kLookupKeys) n = 0;
  }
  state.counters["misses"] = static_cast<double>(misses);
}

// Both tables timed in alternating batches of the same probes, so that the
// ratio does not depend on what the machine did between two benchmarks.
void BM_Lookup_1M_Uuid_Ratio(benchmark::State &state) {
  using Clock = std::chrono::steady_clock;
  LookupWorld &w = LookupWorld::get();
  constexpr size_t kBatch = 20000;
  double zorv_ns = 0, std_ns = 0;
  size_t lookups = 0, start = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (size_t i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(zorv_lookup(w, w.order[start + i]));
    auto t1 = Clock::now();
    for (size_t i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(std_lookup(w, w.order[start + i]));
    auto t2 = Clock::now();
    zorv_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
    std_ns += std::chrono::duration<double, std::nano>(t2 - t1).count();
    lookups += kBatch;
    start += kBatch;
    if (start + kBatch > kLookupKeys) start = 0;
  }
  state.counters["zorv_ns_per_lookup"] = zorv_ns / lookups;
  state.counters["std_ns_per_lookup"] = std_ns / lookups;
  state.counters["ratio_zorv_to_std"] = zorv_ns / std_ns;
}

}  // namespace

BENCHMARK(BM_Memory_TenPairTables_Zorv)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_TenPairTables_StdUnorderedMap)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lookup_1M_Uuid_Zorv);
BENCHMARK(BM_Lookup_1M_Uuid_StdUnorderedMap);
BENCHMARK(BM_Lookup_1M_Uuid_Ratio)->Iterations(100);

BENCHMARK_MAIN();
