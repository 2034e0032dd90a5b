// B3 propagation headers for outgoing libcurl requests.
//
// Each instrumented request is a fresh client span ("curl: request"): a new
// 64-bit span id, in the trace of the thread's current span (whose span id
// becomes the parent) or else in a new 128-bit trace. Spans are not reported
// to a collector; the headers let the receiving side join the trace.

#include "zorv/zipkin.h"

#include <curl/curl.h>
#include <sys/random.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "zorv/conf.h"

namespace {

std::atomic<bool> g_enabled{false};

// 128 bytes per header line, as the tracing headers have always been built.
constexpr size_t kHeaderBuffer = 128;

struct ThreadSpan {
  bool set = false;
  char trace_id[33] = {};
  char span_id[17] = {};
};
thread_local ThreadSpan t_span;

uint64_t random_id() {
  thread_local std::mt19937_64 rng = [] {
    uint64_t seed;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      seed = static_cast<uint64_t>(ts.tv_nsec) ^ reinterpret_cast<uintptr_t>(&ts);
    }
    return std::mt19937_64(seed);
  }();
  uint64_t id;
  do id = rng(); while (id == 0);  // zero means "no id" in B3
  return id;
}

bool is_hex_id(const char *s, size_t want_a, size_t want_b) {
  size_t n = std::strlen(s);
  if (n != want_a && n != want_b) return false;
  bool nonzero = false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit) return false;
    nonzero |= c != '0';
  }
  return nonzero;
}

// Appends one formatted header to a list we own; false when libcurl could
// not allocate (the list is then still valid and still ours).
bool append(curl_slist **list, const char *name, const char *value) {
  char line[kHeaderBuffer];
  std::snprintf(line, sizeof line, "%s: %s", name, value);
  curl_slist *grown = curl_slist_append(*list, line);
  if (grown == nullptr) return false;
  *list = grown;
  return true;
}

}  // namespace

extern "C" {

void zorv_zipkin_set_enabled(zorv_boolean on) { g_enabled.store(on, std::memory_order_relaxed); }

zorv_boolean zorv_zipkin_is_enabled(void) { return g_enabled.load(std::memory_order_relaxed); }

void zorv_zipkin_configure_from_conf(void) {
  zorv_boolean on = false;
  if (!zorv_conf_get_boolean(ZORV_CONF_ROOT, "//zipkin/@enabled", &on)) on = false;
  zorv_zipkin_set_enabled(on);
}

int zorv_zipkin_set_thread_span(const char *trace_id, const char *span_id) {
  t_span = ThreadSpan{};
  if (trace_id == nullptr) return 0;
  if (span_id == nullptr || !is_hex_id(trace_id, 16, 32) || !is_hex_id(span_id, 16, 16))
    return -1;
  std::snprintf(t_span.trace_id, sizeof t_span.trace_id, "%s", trace_id);
  std::snprintf(t_span.span_id, sizeof t_span.span_id, "%s", span_id);
  t_span.set = true;
  return 0;
}

struct curl_slist *zorv_zipkin_inst_curl_headers(struct curl_slist *list) {
  if (!g_enabled.load(std::memory_order_relaxed)) return list;

  char trace_id[33], span_id[17];
  if (t_span.set) {
    std::snprintf(trace_id, sizeof trace_id, "%s", t_span.trace_id);
  } else {
    std::snprintf(trace_id, sizeof trace_id, "%016llx%016llx",
                  static_cast<unsigned long long>(random_id()),
                  static_cast<unsigned long long>(random_id()));
  }
  std::snprintf(span_id, sizeof span_id, "%016llx",
                static_cast<unsigned long long>(random_id()));

  // Built apart and spliced on at the end: a half set of tracing headers
  // would be worse than none, and the caller's list must survive a failure.
  curl_slist *added = nullptr;
  bool ok = append(&added, "X-B3-TraceId", trace_id);
  if (ok && t_span.set) ok = append(&added, "X-B3-ParentSpanId", t_span.span_id);
  ok = ok && append(&added, "X-B3-SpanId", span_id);
  ok = ok && append(&added, "X-B3-Sampled", "1");
  if (!ok) {
    curl_slist_free_all(added);
    return list;
  }
  if (list == nullptr) return added;
  curl_slist *tail = list;
  while (tail->next != nullptr) tail = tail->next;
  tail->next = added;
  return list;
}

}  // extern "C"
