/* The diff decoder on any byte stream, cut into callbacks where the input
 * says, with the real store underneath. Oracle: the same bytes in one piece
 * and in the chosen pieces leave the same store and the same undecoded
 * rest, and the decoder never aborts a transfer. */
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "ostrel_support.h"

namespace {

struct outcome {
  std::string left;
  uint64_t merged = 0;
  fuzz::store_view store;
};

outcome decode(const std::vector<std::string_view> &chunks) {
  ostrel_store_clear();
  fuzz::record r;
  for (std::string_view chunk : chunks) {
    fuzz::exact_copy bytes(chunk);
    size_t got = read_diff(bytes.p, 1, bytes.n, &r.c);
    FUZZ_CHECK(got == bytes.n, "returned %zu of %zu", got, bytes.n);
  }
  outcome o;
  o.left = r.buffered();
  o.merged = r.c.elements_merged;
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
  FUZZ_CHECK(whole.left == pieces.left, "left %zu vs %zu bytes",
             whole.left.size(), pieces.left.size());
  FUZZ_CHECK(whole.merged == pieces.merged, "merged %llu vs %llu",
             static_cast<unsigned long long>(whole.merged),
             static_cast<unsigned long long>(pieces.merged));
  FUZZ_CHECK(whole.store == pieces.store, "store differs (%zu vs %zu checks)",
             whole.store.size(), pieces.store.size());
  ostrel_store_clear();
  return 0;
}
