/* The check tag store at full size (1,000,000 checks x 10 tags of 16
 * bytes), each measurement beside its baseline in the same run:
 *   - merging new elements vs inserting the same keys into
 *     std::unordered_map (check -> tag -> element info), with the resident
 *     memory each needs per stored tag beside the raw text size;
 *   - completing a check tagset (10 live tags) vs looking the UUID up in a
 *     std::unordered_map<std::string, std::vector<const char *>> and
 *     copying the same 10 pointers.
 * OSTREL_BENCH_CHECKS overrides the number of checks (for a quick run). */
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "zorv/memory.h"

/* ostrel_init's hook registration; nothing here fires it. */
extern "C" void kavalin_cluster_changed_hook_register(
    const char *, kavalin_cluster_changed_hook_func_t, void *) {}

namespace {

constexpr int kTagsPerCheck = 10;
constexpr int kTagLen = 16;

int checks() {
  static int n = [] {
    const char *e = getenv("OSTREL_BENCH_CHECKS");
    int v = e ? atoi(e) : 0;
    return v > 0 ? v : 1000000;
  }();
  return n;
}

/* The data set, generated once before anything is measured. */
struct DataSet {
  std::vector<char> uuids;  // checks() x 37 bytes, NUL-terminated
  std::vector<char> tags;   // checks() x 10 x 16 bytes, no NUL
  const char *uuid(int c) const { return &uuids[static_cast<size_t>(c) * 37]; }
  const char *tag(int c, int t) const {
    return &tags[(static_cast<size_t>(c) * kTagsPerCheck + t) * kTagLen];
  }
};

const DataSet &data() {
  static DataSet d = [] {
    DataSet s;
    int n = checks();
    s.uuids.resize(static_cast<size_t>(n) * 37);
    s.tags.resize(static_cast<size_t>(n) * kTagsPerCheck * kTagLen);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (int c = 0; c < n; c++) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      snprintf(&s.uuids[static_cast<size_t>(c) * 37], 37,
               "%08x-%04x-4%03x-8%03x-%012llx", static_cast<unsigned>(x),
               static_cast<unsigned>(x >> 32) & 0xffff, c & 0xfff,
               (c >> 12) & 0xfff, static_cast<unsigned long long>(c));
      for (int t = 0; t < kTagsPerCheck; t++) {
        char buf[kTagLen + 1];
        // 16 bytes: "cat<t>:" and a value that differs per check.
        snprintf(buf, sizeof(buf), "cat%d:v%010d", t, c);
        memcpy(&s.tags[(static_cast<size_t>(c) * kTagsPerCheck + t) * kTagLen],
               buf, kTagLen);
      }
    }
    return s;
  }();
  return d;
}

size_t resident_bytes() {
  long pages = 0, resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (f) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

bool g_store_filled = false;

/* Fills the store once; the first run of this benchmark does the work and
 * is the measurement (one iteration: the store cannot be emptied). */
void BM_StoreMerge_NewElements(benchmark::State &state) {
  const DataSet &d = data();
  const int n = checks();
  for (auto _ : state) {
    if (g_store_filled) {
      state.SkipWithError("store already filled");
      break;
    }
    ostrel_store_setup();
    size_t before = resident_bytes();
    setcrdt_alter_entry_t in{};
    in.info.len = kTagLen;
    for (int c = 0; c < n; c++) {
      for (int t = 0; t < kTagsPerCheck; t++) {
        in.value = d.tag(c, t);
        in.info.seq = 1;
        store_check_tag(d.uuid(c), &in);
      }
    }
    size_t after = resident_bytes();
    g_store_filled = true;
    double tags = static_cast<double>(n) * kTagsPerCheck;
    state.counters["rss_bytes_per_tag"] = static_cast<double>(after - before) / tags;
    state.counters["raw_text_bytes_per_tag"] = kTagLen;
  }
  state.SetItemsProcessed(static_cast<int64_t>(n) * kTagsPerCheck);
}
BENCHMARK(BM_StoreMerge_NewElements)->Iterations(1)->Unit(benchmark::kMillisecond);

struct Info {
  uint64_t seq;
  uint32_t word;
};

void BM_Baseline_UnorderedMapInsert(benchmark::State &state) {
  const DataSet &d = data();
  const int n = checks();
  for (auto _ : state) {
    size_t before = resident_bytes();
    auto *m = new std::unordered_map<std::string,
                                     std::unordered_map<std::string, Info>>();
    for (int c = 0; c < n; c++) {
      auto &inner = (*m)[std::string(d.uuid(c), 36)];
      for (int t = 0; t < kTagsPerCheck; t++) {
        inner.emplace(std::string(d.tag(c, t), kTagLen), Info{1, kTagLen << 1});
      }
    }
    size_t after = resident_bytes();
    double tags = static_cast<double>(n) * kTagsPerCheck;
    state.counters["rss_bytes_per_tag"] = static_cast<double>(after - before) / tags;
    state.counters["raw_text_bytes_per_tag"] = kTagLen;
    state.PauseTiming();
    delete m;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(n) * kTagsPerCheck *
                          static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Baseline_UnorderedMapInsert)->Iterations(1)->Unit(benchmark::kMillisecond);

/* The tagset of check c as the metric library hands it over: its UUID tag. */
struct CheckTagset {
  quib_metric_tag_t tags[QUIB_METRIC_MAX_TAGS];
  char uuid_tag[13 + 36];
  quib_metric_tagset_t ts{tags, 0, 0};
  void reset(const char *uuid) {
    memcpy(uuid_tag, "__check_uuid:", 13);
    memcpy(uuid_tag + 13, uuid, 36);
    tags[0] = {13 + 36, 13, uuid_tag};
    ts.tag_count = 1;
  }
};

uint32_t next_index(uint64_t &x) {
  x = x * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(x >> 33);
}

void BM_Complete_Ostrel(benchmark::State &state) {
  if (!g_store_filled) {
    state.SkipWithError("needs BM_StoreMerge_NewElements first");
    return;
  }
  const DataSet &d = data();
  const uint32_t n = static_cast<uint32_t>(checks());
  CheckTagset cts;
  uint64_t x = 42;
  for (auto _ : state) {
    cts.reset(d.uuid(static_cast<int>(next_index(x) % n)));
    check_tag_tagset_completer(nullptr, QUIB_METRIC_TAGSET_CHECK, &cts.ts);
    benchmark::DoNotOptimize(cts.ts.tag_count);
    if (cts.ts.tag_count != 1 + kTagsPerCheck) {
      state.SkipWithError("wrong tag count");
      break;
    }
  }
}
BENCHMARK(BM_Complete_Ostrel);

void BM_Baseline_CompleteUnorderedMap(benchmark::State &state) {
  const DataSet &d = data();
  const uint32_t n = static_cast<uint32_t>(checks());
  static std::unordered_map<std::string, std::vector<const char *>> *map = [&] {
    auto *m = new std::unordered_map<std::string, std::vector<const char *>>();
    m->reserve(n);
    for (uint32_t c = 0; c < n; c++) {
      auto &v = (*m)[std::string(d.uuid(static_cast<int>(c)), 36)];
      for (int t = 0; t < kTagsPerCheck; t++) v.push_back(d.tag(static_cast<int>(c), t));
    }
    return m;
  }();
  CheckTagset cts;
  std::string key;
  key.reserve(37);
  uint64_t x = 42;
  for (auto _ : state) {
    cts.reset(d.uuid(static_cast<int>(next_index(x) % n)));
    key.assign(cts.uuid_tag + 13, 36);
    auto it = map->find(key);
    if (it != map->end()) {
      for (const char *t : it->second) {
        cts.tags[cts.ts.tag_count++] = {kTagLen, 5, t};
      }
    }
    benchmark::DoNotOptimize(cts.ts.tag_count);
  }
}
BENCHMARK(BM_Baseline_CompleteUnorderedMap);

}  // namespace

int main(int argc, char **argv) {
  zorv_memory_init_thread();
  data();  // generated before any measurement
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
