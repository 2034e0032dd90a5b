/* Following a diff on a full replica: the store filled with 1,000,000
 * checks x 10 tags (untimed, the metric director loaded as the daemon loads
 * it), then 100,000 diff messages, each a new tag on a different check,
 * through read_diff in 16 KiB chunks. Beside it, in the same run, the same
 * messages applied to a std::unordered_map of the same 1,000,000 checks
 * (check -> vector of tag pointers, each new text copied once).
 * Before each round every cache is flushed, as a diff finds them after a
 * minute of other work. OSTREL_BENCH_CHECKS overrides the number of checks
 * (for a quick run); OSTREL_BENCH_IN_ORDER changes checks in the order they
 * were stored instead of spread at random; OSTREL_BENCH_IDLE_S=N leaves the
 * store untouched for N seconds before each round, as the end-to-end run
 * does while it makes its changes (on some virtual machines memory left
 * alone that long is much slower to touch again). */
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "modules/ostrel/stream_buffer.h"
#include "zorv/memory.h"

extern "C" void kavalin_cluster_changed_hook_register(
    const char *, kavalin_cluster_changed_hook_func_t, void *) {}

namespace {

constexpr int kTagsPerCheck = 10;
constexpr int kTagLen = 16;
constexpr uint32_t kChanges = 100000;
constexpr size_t kChunk = 16 << 10;

uint32_t checks() {
  static uint32_t n = [] {
    const char *e = getenv("OSTREL_BENCH_CHECKS");
    int v = e ? atoi(e) : 0;
    return static_cast<uint32_t>(v > 0 ? v : 1000000);
  }();
  return n;
}

std::string uuid(uint32_t c) {
  char buf[40];
  snprintf(buf, sizeof(buf), "%08x-%04x-4%03x-8%03x-%012x", c * 2654435761u,
           (c * 40503u) & 0xffff, c & 0xfff, (c >> 12) & 0xfff, c);
  return buf;
}

std::string tag(const char *cat, uint32_t c) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%s:v%010u", cat, c);
  return std::string(buf, kTagLen);
}

/* The changed check of message i of round r: distinct within a round,
 * spread over the whole store (999983 is prime, so coprime to any count
 * that is not its multiple). */
uint32_t changed_check(uint32_t i, uint32_t r) {
  static const bool in_order = getenv("OSTREL_BENCH_IN_ORDER") != nullptr;
  if (in_order) return static_cast<uint32_t>((uint64_t{r} * kChanges + i) % checks());
  return static_cast<uint32_t>((uint64_t{i} * 999983u + uint64_t{r} * 7919u) % checks());
}

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[i] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

/* Round r's diff: a tag of category n<r> on kChanges checks. */
std::string diff_round(uint32_t r) {
  std::string out;
  char cat[8];
  snprintf(cat, sizeof(cat), "n%03u", r % 1000);
  for (uint32_t i = 0; i < kChanges; i++) {
    const uint32_t c = changed_check(i, r);
    std::string t = tag(cat, c);
    std::string body = be32(36) + uuid(c);
    std::string info(16, '\0');
    info[0] = 2;  // seq 2
    const uint32_t word = static_cast<uint32_t>(t.size()) << 1;
    for (int b = 0; b < 4; b++) info[8 + b] = static_cast<char>(word >> (8 * b));
    body += info + t;
    out += be32(static_cast<uint32_t>(body.size())) + body;
  }
  return out;
}

void load_director() {
  void *h = dlopen(QUIB_DIRECTOR_PATH, RTLD_NOW | RTLD_GLOBAL);
  if (h == nullptr) {
    fprintf(stderr, "cannot load %s: %s\n", QUIB_DIRECTOR_PATH, dlerror());
    exit(1);
  }
}

void fill_store() {
  ostrel_store_setup();
  setcrdt_alter_entry_t in{};
  in.info.len = kTagLen;
  in.info.seq = 1;
  for (uint32_t c = 0; c < checks(); c++) {
    const std::string u = uuid(c);
    for (int t = 0; t < kTagsPerCheck; t++) {
      char cat[8];
      snprintf(cat, sizeof(cat), "cat%d", t);
      const std::string tg = tag(cat, c);
      in.value = tg.data();
      store_check_tag(u.c_str(), &in);
    }
  }
}

void feed(const std::string &stream, size_t (*decoder)(char *, size_t, size_t, void *),
          void *record, benchmark::State &state) {
  std::vector<char> chunk(kChunk);
  for (size_t off = 0; off < stream.size(); off += kChunk) {
    const size_t n = std::min(kChunk, stream.size() - off);
    memcpy(chunk.data(), stream.data() + off, n);  // as the transfer does
    if (decoder(chunk.data(), 1, n, record) != n) {
      state.SkipWithError("decoder refused the stream");
      return;
    }
  }
}

/* A diff comes long after the replica was filled: by then the store is no
 * longer in any cache. Run before each round, untimed: writes more memory
 * than the last-level cache holds (and evicts the page-table entries too). */
void evict_caches() {
  if (const char *idle = getenv("OSTREL_BENCH_IDLE_S")) {
    sleep(static_cast<unsigned>(atoi(idle)));
  }
  static std::vector<char> junk(size_t{1} << 30);
  static char v = 0;
  v++;
  for (size_t i = 0; i < junk.size(); i += 64) junk[i] = v;
  benchmark::DoNotOptimize(junk.data());
}

void BM_DiffFollow_Ostrel(benchmark::State &state) {
  static uint32_t round = 0;  // every round adds new tags, repetitions too
  for (auto _ : state) {
    state.PauseTiming();
    evict_caches();
    const std::string stream = diff_round(round++);
    cluster c{};
    zorv_dyn_buffer_init(&c.buffer);
    state.ResumeTiming();
    feed(stream, read_diff, &c, state);
    state.PauseTiming();
    if (c.elements_merged != kChanges) state.SkipWithError("messages lost");
    zorv_dyn_buffer_destroy(&c.buffer);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t{kChanges} * state.iterations());
}
BENCHMARK(BM_DiffFollow_Ostrel)->Iterations(5)->Unit(benchmark::kMillisecond);

/* The baseline's transparent lookup by the message's UUID bytes. */
struct Hash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using Map = std::unordered_map<std::string, std::vector<const char *>, Hash,
                               std::equal_to<>>;

Map &baseline_map() {
  static Map *m = [] {
    auto *map = new Map();
    map->reserve(checks());
    static std::vector<char> texts(size_t{checks()} * kTagsPerCheck * kTagLen);
    char *p = texts.data();
    for (uint32_t c = 0; c < checks(); c++) {
      auto &v = (*map)[uuid(c)];
      v.reserve(kTagsPerCheck);
      for (int t = 0; t < kTagsPerCheck; t++) {
        char cat[8];
        snprintf(cat, sizeof(cat), "cat%d", t);
        memcpy(p, tag(cat, c).data(), kTagLen);
        v.push_back(p);
        p += kTagLen;
      }
    }
    return map;
  }();
  return *m;
}

/* The same messages: framing read, the check found, the text copied and
 * appended (no CRDT merge, no director, no lock). */
struct Baseline {
  char *texts;  // kept for good: the map points into them
  size_t used = 0;
  zorv_dyn_buffer_t buffer;
};

size_t baseline_decode(char *bytes, size_t size, size_t count, void *closure) {
  auto *b = static_cast<Baseline *>(closure);
  Map &m = baseline_map();
  const size_t n = size * count;
  zorv_dyn_buffer_add(&b->buffer, bytes, n);
  const char *data = zorv_dyn_buffer_data(&b->buffer);
  const size_t have = zorv_dyn_buffer_used(&b->buffer);
  size_t off = 0;
  while (have - off >= 4) {
    const auto *msg = reinterpret_cast<const unsigned char *>(data + off);
    const size_t l = read_be32(msg);
    if (have - off < l + 4) break;
    const size_t len = read_le32(msg + 52) >> 1;
    auto it = m.find(std::string_view(data + off + 8, 36));
    if (it != m.end()) {
      char *t = b->texts + b->used;
      memcpy(t, msg + 60, len);
      t[len] = '\0';
      b->used += len + 1;
      it->second.push_back(t);
    }
    off += l + 4;
  }
  discard_front(&b->buffer, off);
  return n;
}

void BM_Baseline_DiffFollowUnorderedMap(benchmark::State &state) {
  baseline_map();
  static uint32_t round = 0;  // every round adds new tags, repetitions too
  for (auto _ : state) {
    state.PauseTiming();
    evict_caches();
    const std::string stream = diff_round(round++);
    Baseline b;
    b.texts = new char[size_t{kChanges} * (kTagLen + 1)];
    zorv_dyn_buffer_init(&b.buffer);
    state.ResumeTiming();
    feed(stream, baseline_decode, &b, state);
    state.PauseTiming();
    zorv_dyn_buffer_destroy(&b.buffer);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t{kChanges} * state.iterations());
}
BENCHMARK(BM_Baseline_DiffFollowUnorderedMap)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  zorv_memory_init_thread();
  load_director();
  fill_store();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
