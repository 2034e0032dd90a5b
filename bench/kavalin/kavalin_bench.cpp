/* kavalin's per-message and per-lookup costs, each beside a baseline:
 *   - kavalin_alter_route on the worked-example payload and on a 1 KiB
 *     payload whose check field carries the marker, against only locating
 *     the four TABs of the same payload with memchr; and the hook as
 *     registered, with its per-thread rewrite counter, beside the bare
 *     rewrite;
 *   - the account lookup with 1,000,000 mapped accounts, against a
 *     std::unordered_map<int64_t, int> holding the same accounts. */
#include <benchmark/benchmark.h>
#include <string.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "modules/kavalin/internal.h"
#include "modules/kavalin/metrics.h"
#include "zorv/conf.h"

namespace {

const std::string kUuid = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";

std::string worked_example() {
  return "M\t10.1.2.3\t17.250\tex`web01`c_42_1234::" + kUuid + "\tcpu\t1.5";
}

/* 1 KiB in all, nearly all of it in the check field: padding, then the
 * marker and the UUID at its end. */
std::string one_kib() {
  const std::string head = "M\t10.1.2.3\t17.250\t";
  const std::string tail = "`web01`c_42_1234::" + kUuid + "\tcpu\t1.5";
  return head + std::string(1024 - head.size() - tail.size(), 'x') + tail;
}

void setup_module(int64_t accounts) {
  static bool done = false;
  if (done) return;
  done = true;
  char *err = nullptr;
  zorv_conf_load_string(
      "<wendrel><drask><bootstrap cluster=\"3\" host=\"127.0.0.1:1\"/>"
      "</drask></wendrel>",
      "/tmp/kavalin-bench.conf", &err);
  free(err);
  zorv_hash_init(&global_clusters);
  zorv_hash_init(&account_map);
  zorv_hash_init(&manual_cluster_override);
  initialize_drask_cluster(0);
  for (int64_t a = 0; a < accounts; a++) {
    add_account_cluster_map(a * 7919, 3, nullptr);
  }
  add_account_cluster_map(42, 3, nullptr);
}

constexpr int64_t kAccounts = 1000000;

template <typename Hook = decltype(&kavalin_alter_route)>
void run_route(benchmark::State &state, const std::string &payload,
               Hook hook = kavalin_alter_route) {
  setup_module(kAccounts);
  char key[256];
  for (auto _ : state) {
    zorv_hook_return_t rc = hook(
        nullptr, payload.data(), payload.size(), "stream", key, sizeof(key));
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(key);
  }
}

void run_tabs(benchmark::State &state, const std::string &payload) {
  const char *p = payload.data();
  const char *end = p + payload.size();
  for (auto _ : state) {
    const char *t = p;
    for (int i = 0; i < 4 && t; i++) {
      t = static_cast<const char *>(memchr(t, '\t', end - t));
      if (t) t++;
    }
    benchmark::DoNotOptimize(t);
  }
}

void BM_Route_WorkedExample(benchmark::State &s) { run_route(s, worked_example()); }
void BM_Baseline_FourTabs_WorkedExample(benchmark::State &s) { run_tabs(s, worked_example()); }
void BM_Route_1KiB(benchmark::State &s) { run_route(s, one_kib()); }
void BM_RouteCounted_WorkedExample(benchmark::State &s) {
  run_route(s, worked_example(), kavalin_alter_route_counted);
}
void BM_Baseline_FourTabs_1KiB(benchmark::State &s) { run_tabs(s, one_kib()); }

/* Random mapped accounts in a fixed order, so both lookups see the same
 * access pattern. */
std::vector<int64_t> probe_order() {
  std::vector<int64_t> order(1 << 16);
  std::mt19937_64 rng(12345);
  for (auto &a : order) a = static_cast<int64_t>(rng() % kAccounts) * 7919;
  return order;
}

void BM_AccountLookup_1M(benchmark::State &state) {
  setup_module(kAccounts);
  auto order = probe_order();
  size_t i = 0;
  for (auto _ : state) {
    int c = kavalin_get_cluster_for_account_dyn_function(order[i++ & 0xffff]);
    benchmark::DoNotOptimize(c);
  }
}

/* Where the lookup's time goes: the same table retrieval without the
 * safe-memory bracket the lookup takes around it. */
void BM_Part_TableRetrieveOnly_1M(benchmark::State &state) {
  setup_module(kAccounts);
  auto order = probe_order();
  size_t i = 0;
  for (auto _ : state) {
    int64_t account = order[i++ & 0xffff];
    void *data = nullptr;
    int found = zorv_hash_retrieve(&account_map, &account, sizeof(account), &data);
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(data);
  }
}

void BM_Baseline_UnorderedMap_1M(benchmark::State &state) {
  static std::unordered_map<int64_t, int> *map = [] {
    auto *m = new std::unordered_map<int64_t, int>();
    m->reserve(kAccounts);
    for (int64_t a = 0; a < kAccounts; a++) (*m)[a * 7919] = 3;
    return m;
  }();
  auto order = probe_order();
  size_t i = 0;
  for (auto _ : state) {
    auto it = map->find(order[i++ & 0xffff]);
    int c = it == map->end() ? 0 : it->second;
    benchmark::DoNotOptimize(c);
  }
}

BENCHMARK(BM_Route_WorkedExample);
BENCHMARK(BM_Baseline_FourTabs_WorkedExample);
BENCHMARK(BM_Route_1KiB);
BENCHMARK(BM_RouteCounted_WorkedExample);
BENCHMARK(BM_Baseline_FourTabs_1KiB);
BENCHMARK(BM_AccountLookup_1M);
BENCHMARK(BM_Part_TableRetrieveOnly_1M);
BENCHMARK(BM_Baseline_UnorderedMap_1M);

}  // namespace

BENCHMARK_MAIN();
