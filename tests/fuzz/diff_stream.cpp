/* The diff decoder on any byte stream, cut into callbacks where the input
 * says, with the real store underneath. Oracle: the decoder never aborts a
 * transfer, and the same bytes in one piece and in the chosen pieces leave
 * the same store, the same undecoded rest and the same count of elements
 * passed over for their length. */
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "ostrel_support.h"

namespace {

struct outcome {
  std::string left; /* undecoded bytes */
  uint64_t skipping = 0;
  uint64_t merged = 0;
  uint64_t oversized = 0;
  fuzz::store_view store;
};

outcome decode(const std::vector<std::string_view> &chunks) {
  ostrel_store_clear();
  fuzz::record r;
  outcome o;
  for (std::string_view chunk : chunks) {
    fuzz::exact_copy bytes(chunk);
    size_t got = read_diff(bytes.p, 1, bytes.n, &r.c);
    FUZZ_CHECK(got == bytes.n, "returned %zu of %zu", got, bytes.n);
  }
  o.left = r.buffered();
  o.skipping = r.c.skip_pending;
  o.merged = r.c.elements_merged;
  o.oversized = r.c.stats.oversized_skipped;
  o.store = fuzz::snapshot_store();
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  ostrel_store_setup();
  errorls = zorv_log_stream_find("error/ostrel");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::split_input in = fuzz::split(data, size);
  if (in.stream.empty()) return 0;
  outcome whole = decode({in.stream});
  outcome pieces = decode(in.chunks);
  FUZZ_CHECK(whole.skipping == pieces.skipping, "skipping %llu vs %llu",
             static_cast<unsigned long long>(whole.skipping),
             static_cast<unsigned long long>(pieces.skipping));
  FUZZ_CHECK(whole.left == pieces.left, "left %zu vs %zu bytes",
             whole.left.size(), pieces.left.size());
  FUZZ_CHECK(whole.merged == pieces.merged, "merged %llu vs %llu",
             static_cast<unsigned long long>(whole.merged),
             static_cast<unsigned long long>(pieces.merged));
  FUZZ_CHECK(whole.oversized == pieces.oversized, "passed over %llu vs %llu",
             static_cast<unsigned long long>(whole.oversized),
             static_cast<unsigned long long>(pieces.oversized));
  FUZZ_CHECK(whole.store == pieces.store, "store differs (%zu vs %zu checks)",
             whole.store.size(), pieces.store.size());
  ostrel_store_clear();
  return 0;
}
