/* The checkpoint header callback on any header line, against a plain model
 * of the rule: the name in any letter case, white space, then a 17-byte
 * token of 8 lower-case hex digits, a colon and 8 more, taken from the first
 * 127 bytes of the line.
 *
 * Input: byte 0 picks the record's state (bit 0: it already holds a
 * checkpoint; bit 1: a pull is in progress, so the token must wait as the
 * pending one); the rest is the line, in a heap block of exactly its size. */
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <strings.h>

#include "fuzz_support.h"
#include "ostrel_support.h"

namespace {

const char kOld[] = "00000000:00000000";
const char kName[] = "X-Drask-Feed-Checkpoint:";

/* The token the line carries, or "" when it carries none. */
std::string model_token(std::string_view line) {
  std::string copy(line.substr(0, 127));
  copy = copy.substr(0, strlen(copy.c_str()));  // text ends at a NUL
  const size_t name_len = strlen(kName);
  if (copy.size() < name_len ||
      strncasecmp(copy.c_str(), kName, name_len) != 0)
    return "";
  size_t p = name_len;
  while (p < copy.size() && isspace(static_cast<unsigned char>(copy[p]))) p++;
  if (copy.size() - p < 17) return "";
  std::string token = copy.substr(p, 17);
  for (size_t i = 0; i < 17; i++) {
    char ch = token[i];
    bool ok = i == 8 ? ch == ':'
                     : (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f');
    if (!ok) return "";
  }
  return token;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  errorls = zorv_log_stream_find("error/ostrel");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const bool had = data[0] & 1;
  const bool pulling = data[0] & 2;
  std::string_view line(reinterpret_cast<const char *>(data) + 1, size - 1);

  fuzz::record r;
  if (had) r.c.checkpoint = strdup(kOld);
  r.c.pull_in_progress = pulling;
  r.c.checkpoint_changed = true;  // untouched unless a token is taken
  fuzz::exact_copy bytes(line);
  size_t got = capture_checkpoint(bytes.p, 1, bytes.n, &r.c);
  FUZZ_CHECK(got == bytes.n, "returned %zu of %zu", got, bytes.n);

  const std::string token = model_token(line);
  const std::string now = r.c.checkpoint ? r.c.checkpoint : "";
  if (token.empty()) {
    FUZZ_CHECK(now == (had ? kOld : ""), "checkpoint became '%s'", now.c_str());
    FUZZ_CHECK(!r.c.pending_valid, "pending set without a token");
    FUZZ_CHECK(r.c.checkpoint_changed, "changed flag touched");
  } else if (pulling) {
    FUZZ_CHECK(r.c.pending_valid && token == r.c.pending_checkpoint,
               "pending '%s' expected '%s'", r.c.pending_checkpoint,
               token.c_str());
    FUZZ_CHECK(now == (had ? kOld : ""), "checkpoint taken during a pull");
  } else {
    FUZZ_CHECK(now == token, "checkpoint '%s' expected '%s'", now.c_str(),
               token.c_str());
    FUZZ_CHECK(r.c.checkpoint_changed == (!had || token != kOld),
               "changed flag wrong");
  }
  return 0;
}
