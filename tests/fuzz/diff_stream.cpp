/* The diff decoder on any byte stream, cut into callbacks where the input
 * says, with the real store underneath. Oracle: the same bytes in one piece
 * and in the chosen pieces leave the same store and the same undecoded
 * rest; the only transfer the decoder aborts is one announcing a check's
 * tag longer than any tag, and it aborts it in both. */
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "ostrel_support.h"

namespace {

struct outcome {
  bool refused = false;
  std::string left; /* undecoded bytes; only meaningful when not refused */
  uint64_t skipping = 0;
  uint64_t merged = 0;
  fuzz::store_view store;
};

outcome decode(const std::vector<std::string_view> &chunks) {
  ostrel_store_clear();
  fuzz::record r;
  outcome o;
  for (std::string_view chunk : chunks) {
    fuzz::exact_copy bytes(chunk);
    size_t got = read_diff(bytes.p, 1, bytes.n, &r.c);
    if (got != bytes.n) {
      FUZZ_CHECK(got == 0, "returned %zu of %zu", got, bytes.n);
      o.refused = true;
      break;  // libcurl aborts the transfer
    }
  }
  if (!o.refused) {
    o.left = r.buffered();
    o.skipping = r.c.skip_pending;
  }
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
  FUZZ_CHECK(whole.refused == pieces.refused, "refused %d vs %d",
             whole.refused, pieces.refused);
  FUZZ_CHECK(whole.skipping == pieces.skipping, "skipping %llu vs %llu",
             static_cast<unsigned long long>(whole.skipping),
             static_cast<unsigned long long>(pieces.skipping));
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
