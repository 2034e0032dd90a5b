/* The full-state decoder on any byte stream, cut into callbacks where the
 * input says, with the real store underneath. Oracle: the same bytes in
 * one piece and in the chosen pieces end in the same outcome, decoder state
 * and store. */
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "ostrel_support.h"

namespace {

struct outcome {
  bool refused = false;
  uint8_t full_state = 0;
  std::string last_set_name;
  bool has_set_name = false;
  std::string left; /* undecoded bytes; only meaningful when not refused */
  uint64_t merged = 0, checks = 0, elements = 0;
  fuzz::store_view store;
};

outcome decode(const std::vector<std::string_view> &chunks) {
  ostrel_store_clear();
  fuzz::record r;
  outcome o;
  for (std::string_view chunk : chunks) {
    fuzz::exact_copy bytes(chunk);
    size_t got = read_full(bytes.p, 1, bytes.n, &r.c);
    if (got != bytes.n) {
      FUZZ_CHECK(got == 0, "returned %zu of %zu", got, bytes.n);
      o.refused = true;
      FUZZ_CHECK(r.c.full_state == 254, "refused in state %d", r.c.full_state);
      break;  // libcurl aborts the transfer
    }
  }
  o.full_state = r.c.full_state;
  o.has_set_name = r.c.last_set_name != nullptr;
  if (o.has_set_name) o.last_set_name = r.c.last_set_name;
  if (!o.refused) o.left = r.buffered();
  o.merged = r.c.elements_merged;
  o.checks = r.c.full_checks;
  o.elements = r.c.full_elements;
  o.store = fuzz::snapshot_store();
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  ostrel_store_setup();
  errorls = zorv_log_stream_find("error/ostrel");
  noticels = zorv_log_stream_find("notice/ostrel");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::split_input in = fuzz::split(data, size);
  if (in.stream.empty()) return 0;
  outcome whole = decode({in.stream});
  outcome pieces = decode(in.chunks);
  FUZZ_CHECK(whole.refused == pieces.refused, "refused %d vs %d",
             whole.refused, pieces.refused);
  FUZZ_CHECK(whole.full_state == pieces.full_state, "state %d vs %d",
             whole.full_state, pieces.full_state);
  FUZZ_CHECK(whole.has_set_name == pieces.has_set_name &&
                 whole.last_set_name == pieces.last_set_name,
             "set name differs");
  FUZZ_CHECK(whole.left == pieces.left, "left %zu vs %zu bytes",
             whole.left.size(), pieces.left.size());
  FUZZ_CHECK(whole.merged == pieces.merged && whole.checks == pieces.checks &&
                 whole.elements == pieces.elements,
             "counts differ");
  FUZZ_CHECK(whole.store == pieces.store, "store differs (%zu vs %zu checks)",
             whole.store.size(), pieces.store.size());
  ostrel_store_clear();
  return 0;
}
