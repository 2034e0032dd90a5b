/* The REST route table: method, path prefix and expression per route, kept
 * in registration order. Registration may happen while requests are being
 * served (modules register routes in their post-initialisation hooks, after
 * the listeners have started), so the table is guarded by a reader/writer
 * lock; routes are never removed, so a Route pointer stays valid for the
 * life of the process. */
#ifndef ZORV_HTTP_ROUTES_H
#define ZORV_HTTP_ROUTES_H

#include <regex.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "zorv/metrics.h"
#include "zorv/rest.h"

namespace zorv::http {

struct Route {
  std::string method;
  std::string base;
  std::string expr;
  regex_t re{};
  /* For each parenthesised group of the compiled expression (in the order
   * regcomp numbers them), whether it captures; (?:...) groups do not. */
  std::vector<bool> capturing;
  zorv_http_rest_handler_t handler = nullptr;
  zorv_http_rest_authorize_func_t auth = nullptr;
  /* Answers sent, by status (index status - kFirstCountedStatus); relaxed
   * increments on the serving threads, summed only by a scrape. */
  mutable std::atomic<uint64_t> answers[500]{};
};

constexpr int kFirstCountedStatus = 100;

/* Calls fn for every route, in registration order (under the table's
 * reader lock: fn must not register routes). */
void for_each_route(const std::function<void(const Route &)> &fn);
/* Counts one answer (route null: none matched). */
void count_answer(const Route *route, int status);
/* Marks the listener at address:port (as bound) as one where the metrics
 * route needs no client certificate. */
void open_metrics_on(const std::string &address, int port);
/* The family of answers by route and status, for the metrics scrape. */
void write_request_metrics(zorv_metrics_writer *w);

/* Rewrites the route dialect (POSIX extended plus (?:...) and \d) into
 * plain POSIX extended. Returns false on an unbalanced group. */
bool translate_expression(std::string_view expr, std::string &posix,
                          std::vector<bool> &capturing);

/* 0 on success, -1 when the expression does not compile. */
int add_route(const char *method, const char *base, const char *expr,
              zorv_http_rest_handler_t handler,
              zorv_http_rest_authorize_func_t auth);

enum class RouteMatch { none, wrong_method, found };

/* Finds the first route for method and path; on success fills captures with
 * the text of each capturing group (empty for a group that took no part). */
RouteMatch find_route(std::string_view method, std::string_view path,
                      const Route **route, std::vector<std::string> &captures);

}  // namespace zorv::http

#endif
