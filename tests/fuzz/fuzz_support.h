/* Pieces shared by the fuzz targets: quiet logs, a scratch folder, the
 * chunk splits an input chooses for itself, and a check that reports a
 * finding the way the sanitizers do (message, then abort). */
#ifndef ZORV_FUZZ_SUPPORT_H
#define ZORV_FUZZ_SUPPORT_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "zorv/log.h"

namespace fuzz {

/* A broken oracle is a finding: libFuzzer saves the input on abort. */
#define FUZZ_CHECK(cond, ...)                                           \
  do {                                                                  \
    if (!(cond)) {                                                      \
      fprintf(stderr, "fuzz check failed at %s:%d: %s\n  ", __FILE__,   \
              __LINE__, #cond);                                         \
      fprintf(stderr, __VA_ARGS__);                                     \
      fprintf(stderr, "\n");                                            \
      abort();                                                          \
    }                                                                   \
  } while (0)

/* Lines are still formatted (their format strings are exercised), but go
 * nowhere, so a run is not slowed by its own log. */
inline void quiet_logs() { zorv_log_set_output_file("/dev/null"); }

/* A folder of this process's own, in memory when /dev/shm exists, so that
 * the configuration writes (fsync and rename) cost little. */
inline const std::string &scratch_dir() {
  // Never destroyed: the exit handler below still reads it.
  static const std::string &dir = *new std::string([] {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string d = std::string(base) + "/zorv-fuzz-" +
                    std::to_string(static_cast<long>(getpid()));
    mkdir(d.c_str(), 0700);
    // Gone again at a regular exit; a crashed run leaves it for inspection.
    atexit([] {
      std::string cmd = "rm -rf '" + scratch_dir() + "'";
      if (system(cmd.c_str()) != 0) return;
    });
    return d;
  }());
  return dir;
}

/* An input that chooses how its stream is cut into callbacks:
 *   k = byte 0 mod 16, then k chunk lengths of 2 bytes (little-endian),
 *   then the stream. The chunks take the lengths in order (cut to what is
 *   left; a length 0 is a call with no bytes, which libcurl never makes and
 *   so is skipped), and the rest of the stream is the last chunk. */
struct split_input {
  std::string_view stream;
  std::vector<std::string_view> chunks;
};

inline split_input split(const uint8_t *data, size_t size) {
  split_input out;
  if (size == 0) return out;
  size_t k = data[0] % 16;
  size_t pos = 1;
  std::vector<size_t> lengths;
  for (size_t i = 0; i < k && pos + 2 <= size; i++, pos += 2) {
    lengths.push_back(size_t{data[pos]} | (size_t{data[pos + 1]} << 8));
  }
  if (pos > size) pos = size;
  out.stream = std::string_view(reinterpret_cast<const char *>(data) + pos,
                                size - pos);
  size_t off = 0;
  for (size_t len : lengths) {
    len = std::min(len, out.stream.size() - off);
    if (len > 0) out.chunks.push_back(out.stream.substr(off, len));
    off += len;
  }
  if (off < out.stream.size()) out.chunks.push_back(out.stream.substr(off));
  return out;
}

/* Bytes handed to a callback in a heap block of exactly their size, so
 * that AddressSanitizer sees a read one past the end. */
struct exact_copy {
  explicit exact_copy(std::string_view bytes)
      : p(static_cast<char *>(malloc(bytes.size() ? bytes.size() : 1))),
        n(bytes.size()) {
    if (n) memcpy(p, bytes.data(), n);
  }
  ~exact_copy() { free(p); }
  exact_copy(const exact_copy &) = delete;
  exact_copy &operator=(const exact_copy &) = delete;
  char *p;
  size_t n;
};

}  // namespace fuzz

#endif
