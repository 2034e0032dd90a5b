/* The routing-key rewrite on any payload and prefix, for every buffer size
 * from 0 to 300 bytes. The payload sits in a heap block of exactly its size
 * (no NUL after it) and so does the key buffer, so AddressSanitizer sees any
 * byte read or written past either. Oracles: every size gives the same
 * answer; a continue leaves the buffer as it was; a done writes the full
 * key cut to the buffer and terminated inside it, and after the prefix the
 * full key holds only numbers, dots and lower-case hex digits.
 *
 * Input: byte 0 mod 32 is the prefix length, then the prefix (a NUL in it
 * ends it early, as a C string would), then the payload. */
#include <stddef.h>
#include <stdint.h>

#include <algorithm>

#include "fuzz_support.h"
#include "internal.h"

namespace {

constexpr size_t kMaxRlen = 300;
constexpr char kCanary = '\x5a';

/* After the prefix only numbers, dots and hex digits may follow. */
bool tail_is_plain(std::string_view tail) {
  for (char ch : tail) {
    bool ok = ch == '.' || ch == '-' || (ch >= '0' && ch <= '9') ||
              (ch >= 'a' && ch <= 'f');
    if (!ok) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  // Two mapped accounts: the lookup finds something for the common ids.
  add_account_cluster_map(0, -1, nullptr);
  add_account_cluster_map(42, -1, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t plen = std::min<size_t>(data[0] % 32, size - 1);
  std::string prefix(reinterpret_cast<const char *>(data) + 1, plen);
  prefix = prefix.c_str();
  std::string_view payload(reinterpret_cast<const char *>(data) + 1 + plen,
                           size - 1 - plen);
  fuzz::exact_copy body(payload);

  // The whole key, from a buffer larger than any key can be.
  std::string full;
  zorv_hook_return_t first;
  {
    std::vector<char> big(4096, kCanary);
    first = kavalin_alter_route(nullptr, body.p, body.n, prefix.c_str(),
                                big.data(), big.size());
    FUZZ_CHECK(first == ZORV_HOOK_CONTINUE || first == ZORV_HOOK_DONE,
               "result %d", static_cast<int>(first));
    if (first == ZORV_HOOK_DONE) {
      auto nul = std::find(big.begin(), big.end(), '\0');
      FUZZ_CHECK(nul != big.end(), "key not terminated");
      full.assign(big.begin(), nul);
      FUZZ_CHECK(full.compare(0, prefix.size() + 1, prefix + ".") == 0,
                 "key '%s' does not start with the prefix", full.c_str());
      FUZZ_CHECK(tail_is_plain(std::string_view(full).substr(prefix.size())),
                 "key '%s' malformed", full.c_str());
    }
  }

  for (size_t rlen = 0; rlen <= kMaxRlen; rlen++) {
    char *key = static_cast<char *>(malloc(rlen ? rlen : 1));
    memset(key, kCanary, rlen ? rlen : 1);
    zorv_hook_return_t rc = kavalin_alter_route(nullptr, body.p, body.n,
                                                prefix.c_str(), key, rlen);
    FUZZ_CHECK(rc == first, "rlen %zu: result %d, at 4096: %d", rlen,
               static_cast<int>(rc), static_cast<int>(first));
    if (rc == ZORV_HOOK_CONTINUE || rlen == 0) {
      for (size_t i = 0; i < rlen; i++)
        FUZZ_CHECK(key[i] == kCanary, "rlen %zu: byte %zu written", rlen, i);
    } else {
      size_t want = std::min(full.size(), rlen - 1);
      FUZZ_CHECK(memcmp(key, full.data(), want) == 0 && key[want] == '\0',
                 "rlen %zu: key not the cut-off full key", rlen);
    }
    free(key);
  }
  return 0;
}
