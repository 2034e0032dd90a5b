/* read_full and read_diff over a 64 MiB generated stream delivered in
 * 16 KiB chunks (as libcurl delivers a body), beside memcpy of the same
 * bytes in the same run. Built twice: with the store merge replaced by a
 * no-op (OSTREL_BENCH_NOOP_STORE), and with the real store. */
#include <benchmark/benchmark.h>
#include <string.h>

#include <string>
#include <vector>

#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "zorv/memory.h"

#ifdef OSTREL_BENCH_NOOP_STORE
/* The decoders' only way out: counted, nothing stored. */
static size_t g_elements = 0;
void store_check_tag(const char *, const setcrdt_alter_entry_t *) {
  g_elements++;
}
void store_batch_push(store_batch *, const char *, uint32_t,
                      const setcrdt_alter_entry_t *) {
  g_elements++;
}
void store_batch_flush(store_batch *) {}
zorv_log_stream_t errorls = nullptr;
zorv_log_stream_t noticels = nullptr;
void note_full_progress(cluster *) {}
#else
extern "C" void kavalin_cluster_changed_hook_register(
    const char *, kavalin_cluster_changed_hook_func_t, void *) {}
#endif

namespace {

constexpr size_t kStreamBytes = size_t{64} << 20;
constexpr size_t kChunk = 16 << 10;

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[i] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}
std::string info(uint64_t seq, uint32_t len) {
  std::string s(16, '\0');
  for (int i = 0; i < 8; i++) s[i] = static_cast<char>(seq >> (8 * i));
  uint32_t word = len << 1;
  for (int i = 0; i < 4; i++) s[8 + i] = static_cast<char>(word >> (8 * i));
  return s;
}
std::string uuid(uint32_t n) {
  char buf[40];
  snprintf(buf, sizeof(buf), "%08x-0000-4000-8000-%012u", n * 2654435761u, n);
  return buf;
}
std::string tag(uint32_t n, int t) {
  char buf[32];
  snprintf(buf, sizeof(buf), "cat%d:v%09u", t, n);  // 16 bytes
  return buf;
}

/* Checks of 10 tags each until the stream reaches 64 MiB. */
const std::string &full_stream() {
  static std::string s = [] {
    std::string out;
    out.reserve(kStreamBytes + 4096);
    auto rec = [&](uint8_t type, const std::string &p) {
      out.push_back(static_cast<char>(type));
      out += be32(static_cast<uint32_t>(p.size()));
      out += p;
    };
    rec(0, "check");
    rec(1, "tag");
    for (uint32_t n = 0; out.size() < kStreamBytes; n++) {
      rec(2, uuid(n));
      for (int t = 0; t < 10; t++) {
        std::string tg = tag(n, t);
        rec(4, info(n + 1, static_cast<uint32_t>(tg.size())));
        rec(3, tg);
      }
    }
    return out;
  }();
  return s;
}

const std::string &diff_stream() {
  static std::string s = [] {
    std::string out;
    out.reserve(kStreamBytes + 4096);
    for (uint32_t n = 0; out.size() < kStreamBytes; n++) {
      for (int t = 0; t < 10; t++) {
        std::string tg = tag(n, t);
        std::string body = be32(36) + uuid(n) +
                           info(n + 2, static_cast<uint32_t>(tg.size())) + tg;
        out += be32(static_cast<uint32_t>(body.size())) + body;
      }
    }
    return out;
  }();
  return s;
}

void run_decoder(benchmark::State &state, const std::string &stream,
                 size_t (*decoder)(char *, size_t, size_t, void *)) {
  std::vector<char> chunk(kChunk);
  for (auto _ : state) {
    cluster c{};
    c.full_state = 255;
    zorv_dyn_buffer_init(&c.buffer);
    for (size_t off = 0; off < stream.size(); off += kChunk) {
      size_t n = std::min(kChunk, stream.size() - off);
      memcpy(chunk.data(), stream.data() + off, n);  // as the transfer does
      if (decoder(chunk.data(), 1, n, &c) != n) {
        state.SkipWithError("decoder refused the stream");
        break;
      }
    }
    zorv_dyn_buffer_destroy(&c.buffer);
    free(c.last_set_name);
  }
  state.SetBytesProcessed(static_cast<int64_t>(stream.size()) *
                          static_cast<int64_t>(state.iterations()));
}

void BM_ReadFull(benchmark::State &state) {
  run_decoder(state, full_stream(), read_full);
}
void BM_ReadDiff(benchmark::State &state) {
  run_decoder(state, diff_stream(), read_diff);
}

/* The baseline: the same bytes, the same chunks, copied into a growing
 * buffer and dropped, as a decoder that looks at nothing would. */
void BM_Baseline_Memcpy(benchmark::State &state) {
  const std::string &stream = full_stream();
  std::vector<char> chunk(kChunk), sink(2 * kChunk);
  for (auto _ : state) {
    for (size_t off = 0; off < stream.size(); off += kChunk) {
      size_t n = std::min(kChunk, stream.size() - off);
      memcpy(chunk.data(), stream.data() + off, n);
      memcpy(sink.data(), chunk.data(), n);
      benchmark::DoNotOptimize(sink.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(stream.size()) *
                          static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_Baseline_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFull)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadDiff)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  zorv_memory_init_thread();
#ifndef OSTREL_BENCH_NOOP_STORE
  ostrel_store_setup();
#endif
  full_stream();
  diff_stream();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
