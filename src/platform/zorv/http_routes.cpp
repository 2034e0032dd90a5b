/* Route registration and matching. */
#include "http_routes.h"

#include <memory>
#include <mutex>
#include <shared_mutex>

namespace zorv::http {
namespace {

/* More groups than this in one route expression is refused at registration,
 * which keeps matching free of heap allocation for the match array. */
constexpr size_t kMaxGroups = 31;

struct RouteTable {
  std::shared_mutex lock;
  std::vector<std::unique_ptr<Route>> routes;
};

RouteTable &table() {
  /* Never destroyed: handlers may still be looked up by server threads that
   * outlive static destruction order at exit. */
  static RouteTable *t = new RouteTable;
  return *t;
}

/* Copies a bracket expression starting at expr[i] == '[' into out and
 * returns the index just past its closing ']', or npos when unterminated.
 * \d inside it becomes the range 0-9. */
size_t copy_bracket(std::string_view expr, size_t i, std::string &out) {
  out += '[';
  ++i;
  if (i < expr.size() && expr[i] == '^') out += expr[i++];
  if (i < expr.size() && expr[i] == ']') out += expr[i++];  // literal ]
  while (i < expr.size()) {
    char c = expr[i];
    if (c == ']') {
      out += c;
      return i + 1;
    }
    if (c == '[' && i + 1 < expr.size() &&
        (expr[i + 1] == ':' || expr[i + 1] == '=' || expr[i + 1] == '.')) {
      /* A class such as [:digit:]: copy through its closing pair. */
      char kind = expr[i + 1];
      size_t end = expr.find(std::string{kind, ']'}, i + 2);
      if (end == std::string_view::npos) return std::string_view::npos;
      out.append(expr.substr(i, end + 2 - i));
      i = end + 2;
      continue;
    }
    if (c == '\\' && i + 1 < expr.size() && expr[i + 1] == 'd') {
      out += "0-9";
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  return std::string_view::npos;
}

}  // namespace

bool translate_expression(std::string_view expr, std::string &posix,
                          std::vector<bool> &capturing) {
  posix.clear();
  capturing.clear();
  int depth = 0;
  for (size_t i = 0; i < expr.size();) {
    char c = expr[i];
    if (c == '\\' && i + 1 < expr.size()) {
      if (expr[i + 1] == 'd')
        posix += "[0-9]";
      else
        posix.append(expr.substr(i, 2));
      i += 2;
    } else if (c == '[') {
      i = copy_bracket(expr, i, posix);
      if (i == std::string_view::npos) return false;
    } else if (c == '(') {
      bool group_only = expr.substr(i, 3) == "(?:";
      capturing.push_back(!group_only);
      posix += '(';
      i += group_only ? 3 : 1;
      ++depth;
    } else if (c == ')') {
      if (--depth < 0) return false;
      posix += c;
      ++i;
    } else {
      posix += c;
      ++i;
    }
  }
  return depth == 0;
}

int add_route(const char *method, const char *base, const char *expr,
              zorv_http_rest_handler_t handler,
              zorv_http_rest_authorize_func_t auth) {
  if (!method || !base || !handler) return -1;
  auto route = std::make_unique<Route>();
  route->method = method;
  route->base = base;
  route->expr = expr ? expr : "";
  route->handler = handler;
  route->auth = auth;
  std::string posix;
  if (!translate_expression(route->expr, posix, route->capturing)) return -1;
  if (route->capturing.size() > kMaxGroups) return -1;
  if (regcomp(&route->re, posix.c_str(), REG_EXTENDED) != 0) return -1;
  if (route->re.re_nsub != route->capturing.size()) {
    /* The translation and regcomp disagree on the group count (an escaped
     * parenthesis inside a construct we did not model): refuse rather than
     * hand out the wrong captures. */
    regfree(&route->re);
    return -1;
  }
  RouteTable &t = table();
  std::unique_lock guard(t.lock);
  t.routes.push_back(std::move(route));
  return 0;
}

void for_each_route(const std::function<void(const Route &)> &fn) {
  RouteTable &t = table();
  std::shared_lock guard(t.lock);
  for (const auto &r : t.routes) fn(*r);
}

RouteMatch find_route(std::string_view method, std::string_view path,
                      const Route **route, std::vector<std::string> &captures) {
  RouteTable &t = table();
  std::shared_lock guard(t.lock);
  RouteMatch result = RouteMatch::none;
  std::string rest;
  for (const auto &r : t.routes) {
    if (!path.starts_with(r->base)) continue;
    rest.assign(path.substr(r->base.size()));
    regmatch_t m[kMaxGroups + 1];
    if (regexec(&r->re, rest.c_str(), r->re.re_nsub + 1, m, 0) != 0) continue;
    if (r->method != method) {
      result = RouteMatch::wrong_method;
      continue;
    }
    captures.clear();
    for (size_t g = 0; g < r->capturing.size(); ++g) {
      if (!r->capturing[g]) continue;
      const regmatch_t &gm = m[g + 1];
      if (gm.rm_so < 0)
        captures.emplace_back();
      else
        captures.emplace_back(rest.substr(gm.rm_so, gm.rm_eo - gm.rm_so));
    }
    *route = r.get();
    return RouteMatch::found;
  }
  return result;
}

}  // namespace zorv::http
