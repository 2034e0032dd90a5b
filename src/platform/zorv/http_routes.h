/* The REST route table: method, path prefix and expression per route, kept
 * in registration order. Registration may happen while requests are being
 * served (modules register routes in their post-initialisation hooks, after
 * the listeners have started), so the table is guarded by a reader/writer
 * lock; routes are never removed, so a Route pointer stays valid for the
 * life of the process. */
#ifndef ZORV_HTTP_ROUTES_H
#define ZORV_HTTP_ROUTES_H

#include <regex.h>

#include <string>
#include <string_view>
#include <vector>

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
};

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
