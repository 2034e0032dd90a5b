// How fast the stand-in produces its streams, beside a baseline that only
// copies the same bytes out of a buffer encoded beforehand: the gap is
// the encoder's own cost per byte. Reported as bytes per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "standin/diff_encoder.h"
#include "standin/database.h"
#include "standin/full_state_encoder.h"
#include "standin/generator.h"
#include "standin/snapshot.h"

using namespace standin;

namespace {

constexpr uint64_t kChecks = 100'000;
constexpr size_t kReadSize = 32 * 1024;  // the HTTP layer's block size

std::shared_ptr<Dataset> dataset() {
  static std::shared_ptr<Dataset> shared = generate_dataset(kChecks, 10, 1);
  return shared;
}

size_t drain(ByteSource &source) {
  static char buf[kReadSize];
  size_t total = 0;
  for (ssize_t n; (n = source.read(buf, sizeof buf)) > 0;) total += static_cast<size_t>(n);
  benchmark::DoNotOptimize(buf);
  return total;
}

// The database of 100,000 checks changed 100,000 times, for the diffs.
std::shared_ptr<Dataset> changed_dataset() {
  static std::shared_ptr<Dataset> shared = [] {
    Database db;
    db.replace(generate_dataset(kChecks, 10, 1));
    auto ds = db.current();
    for (uint32_t i = 0; i < 100'000; ++i) {
      std::string check = uuid_text(ds->checks[i % kChecks].uuid);
      db.add_tag(check, "bench:" + std::to_string(i % 97));
    }
    return db.current();
  }();
  return shared;
}

void BM_Baseline_CopyEncodedFullState(benchmark::State &state) {
  FullStateSource source(dataset());
  std::string encoded;
  char buf[kReadSize];
  for (ssize_t n; (n = source.read(buf, sizeof buf)) > 0;) encoded.append(buf, static_cast<size_t>(n));
  static char out[kReadSize];
  for (auto _ : state) {
    for (size_t at = 0; at < encoded.size(); at += kReadSize) {
      size_t n = std::min(kReadSize, encoded.size() - at);
      std::memcpy(out, encoded.data() + at, n);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * encoded.size()));
}
BENCHMARK(BM_Baseline_CopyEncodedFullState)->Unit(benchmark::kMillisecond);

void BM_FullState(benchmark::State &state) {
  size_t bytes = 0;
  for (auto _ : state) {
    FullStateSource source(dataset());
    bytes = drain(source);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_FullState)->Unit(benchmark::kMillisecond);

void BM_Diff100k(benchmark::State &state) {
  auto ds = changed_dataset();
  size_t bytes = 0;
  for (auto _ : state) {
    DiffSource source(ds, 0, static_cast<uint32_t>(ds->log.size()));
    bytes = drain(source);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Diff100k)->Unit(benchmark::kMillisecond);

void BM_Snapshot(benchmark::State &state) {
  size_t bytes = 0;
  for (auto _ : state) {
    SnapshotSource source(dataset());
    bytes = drain(source);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Snapshot)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
