/* REST answers by route and status, counted where each answer is queued. */
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "http_routes.h"
#include "http_session.h"

namespace zorv::http {
namespace {

/* Requests no route took (404, 405) are counted together: their paths and
 * methods come from the client and would make labels without bound. */
std::atomic<uint64_t> unrouted_answers[500]{};

int slot_of(int status) {
  int slot = status - kFirstCountedStatus;
  return slot >= 0 && slot < 500 ? slot : -1;
}

/* "/module/kavalin/" with "^map$" reads as "/module/kavalin/map". */
std::string route_label(const Route &r) {
  std::string expr = r.expr;
  if (!expr.empty() && expr.front() == '^') expr.erase(0, 1);
  if (!expr.empty() && expr.back() == '$') expr.pop_back();
  return r.base + expr;
}

void write_counts(zorv_metrics_writer *w, const std::string &method,
                  const std::string &route,
                  const std::atomic<uint64_t> (&answers)[500]) {
  for (int slot = 0; slot < 500; ++slot) {
    uint64_t n = answers[slot].load(std::memory_order_relaxed);
    if (n == 0) continue;
    std::string code = std::to_string(slot + kFirstCountedStatus);
    const char *labels[] = {"method", method.c_str(), "route", route.c_str(),
                            "code", code.c_str(), nullptr};
    zorv_metrics_sample_u64(w, labels, n);
  }
}

std::mutex open_lock;
std::set<std::pair<std::string, int>> &open_listeners() {
  static auto *set = new std::set<std::pair<std::string, int>>();
  return *set;
}

}  // namespace

void open_metrics_on(const std::string &address, int port) {
  std::lock_guard<std::mutex> guard(open_lock);
  open_listeners().insert({address, port});
}

void count_answer(const Route *route, int status) {
  int slot = slot_of(status);
  if (slot < 0) return;
  auto &counter = route ? route->answers[slot] : unrouted_answers[slot];
  counter.fetch_add(1, std::memory_order_relaxed);
}

void write_request_metrics(zorv_metrics_writer *w) {
  zorv_metrics_family(w, "zorv_http_requests_total", "counter",
                      "REST requests answered, by route and status code.");
  for_each_route([&](const Route &r) {
    write_counts(w, r.method, route_label(r), r.answers);
  });
  write_counts(w, "", "", unrouted_answers);
}

}  // namespace zorv::http

extern "C" zorv_boolean zorv_http_rest_metrics_auth(
    zorv_http_rest_closure_t *restc, int npats, char **pats) {
  const zorv::http::Listener *l = restc->http_ctx->listener;
  {
    std::lock_guard<std::mutex> guard(zorv::http::open_lock);
    if (l && zorv::http::open_listeners().count({l->address, l->port}))
      return true;
  }
  return zorv_http_rest_client_cert_auth(restc, npats, pats);
}
