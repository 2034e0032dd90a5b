#include "operator_routes.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "zorv/health.h"
#include "zorv/metrics.h"
#include "zorv/rest.h"
#include "zorv/time.h"

#ifndef WENDREL_VERSION
#define WENDREL_VERSION "unknown"
#endif
#ifndef WENDREL_BUILD_TYPE
#define WENDREL_BUILD_TYPE "unknown"
#endif

namespace wendrel {
namespace {

/* Taken when the daemon's image is loaded, before any module. */
const uint64_t started_mono_us = zorv_now_mono_us();
const uint64_t started_wall_us = zorv_now_us();

void answer(zorv_http_session_ctx *ctx, int status, const char *reason,
            const char *content_type, const char *body, size_t len) {
  zorv_http_response_status_set(ctx, status, reason);
  zorv_http_response_header_set(ctx, "Content-Type", content_type);
  /* A scraper or probe must see an answer that is never cached. */
  zorv_http_response_header_set(ctx, "Cache-Control", "no-store");
  if (!zorv_http_response_option_set(ctx, ZORV_HTTP_CHUNKED))
    zorv_http_response_option_set(ctx, ZORV_HTTP_CLOSE);
  zorv_http_response_append(ctx, body, len);
  zorv_http_response_end(ctx);
}

/* 200 {"status":"ok",...} while no health check reports a problem; 503
 * {"status":"degraded",...,"problems":[...]} otherwise. */
int health(zorv_http_rest_closure_t *restc, int, char **) {
  char *problems = nullptr;
  int count = zorv_health_evaluate(&problems);
  std::string body = std::string("{\"status\":\"") +
                     (count == 0 ? "ok" : "degraded") +
                     "\",\"uptime_seconds\":" +
                     std::to_string((zorv_now_mono_us() - started_mono_us) /
                                    1000000u) +
                     ",\"problems\":" + (problems ? problems : "[]") + "}\n";
  free(problems);
  answer(restc->http_ctx, count == 0 ? 200 : 503,
         count == 0 ? "OK" : "Service Unavailable", "application/json",
         body.data(), body.size());
  return 0;
}

int metrics(zorv_http_rest_closure_t *restc, int, char **) {
  size_t len = 0;
  char *text = zorv_metrics_render(&len);
  if (text == nullptr) {
    answer(restc->http_ctx, 500, "ERROR", "text/plain", "out of memory\n", 14);
    return 0;
  }
  answer(restc->http_ctx, 200, "OK", ZORV_METRICS_CONTENT_TYPE, text, len);
  free(text);
  return 0;
}

void daemon_metrics(void *, zorv_metrics_writer *w) {
  zorv_metrics_family(w, "wendrel_build_info", "gauge",
                      "Always 1; the labels say which build is running.");
  const char *build[] = {"version", WENDREL_VERSION, "build_type",
                         WENDREL_BUILD_TYPE, nullptr};
  zorv_metrics_sample(w, build, 1);
  zorv_metrics_family(w, "wendrel_start_time_seconds", "gauge",
                      "When the daemon started, in seconds since the epoch.");
  zorv_metrics_sample(w, nullptr, static_cast<double>(started_wall_us) / 1e6);
  /* The same checks /health runs, so an alert can follow what a load
   * balancer sees without probing the route itself. */
  int count = zorv_health_evaluate(nullptr);
  zorv_metrics_family(w, "wendrel_health_problems", "gauge",
                      "Problems /health reports now (0: healthy, 200).");
  zorv_metrics_sample_u64(w, nullptr, count < 0 ? 0 : static_cast<uint64_t>(count));
}

}  // namespace

int register_operator_routes() {
  int rc = 0;
  rc |= zorv_metrics_register("wendrel", daemon_metrics, nullptr);
  rc |= zorv_http_rest_register("GET", "/health", "^/?$", health);
  rc |= zorv_http_rest_register_auth("GET", "/metrics", "^/?$", metrics,
                                     zorv_http_rest_metrics_auth);
  return rc;
}

}  // namespace wendrel
