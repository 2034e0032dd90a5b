// Clocks in microseconds.

#include "zorv/time.h"

#include <time.h>

namespace {

uint64_t to_us(const struct timespec &ts) {
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

extern "C" {

uint64_t zorv_now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return to_us(ts);
}

uint64_t zorv_now_mono_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return to_us(ts);
}

}  // extern "C"
