// Thread names. The kernel keeps 15 bytes of a name; we keep the caller's
// whole name so zorv_thread_getname reports what was asked for.

#include "zorv/thread.h"

#include <pthread.h>

#include <cstring>

namespace {

constexpr size_t kKernelNameMax = 15;
constexpr size_t kKeptNameMax = 63;

thread_local char t_name[kKeptNameMax + 1];

// Longest prefix of at most max bytes that does not split a UTF-8 sequence,
// so that ps and /proc never show a broken character.
size_t utf8_prefix(const char *s, size_t len, size_t max) {
  if (len <= max) return len;
  size_t cut = max;
  // Step back over continuation bytes (10xxxxxx) to the start of the
  // character that the cut would split.
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

}  // namespace

extern "C" {

void zorv_thread_setname(const char *name) {
  if (name == nullptr) name = "";
  size_t len = std::strlen(name);
  size_t kept = utf8_prefix(name, len, kKeptNameMax);
  std::memcpy(t_name, name, kept);
  t_name[kept] = '\0';

  char kernel_name[kKernelNameMax + 1];
  size_t cut = utf8_prefix(name, len, kKernelNameMax);
  std::memcpy(kernel_name, name, cut);
  kernel_name[cut] = '\0';
  pthread_setname_np(pthread_self(), kernel_name);
}

const char *zorv_thread_getname(void) { return t_name; }

}  // extern "C"
