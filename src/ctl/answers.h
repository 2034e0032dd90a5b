/* What every command shares: one call to the daemon with its failure
 * turned into an exit status, the daemon's refusals in its own words, and
 * the cells of its JSON answers. */
#ifndef WENDRELCTL_ANSWERS_H
#define WENDRELCTL_ANSWERS_H

#include <json-c/json.h>

#include <memory>
#include <string>

#include "client.h"
#include "commands.h"
#include "exit_codes.h"

namespace wendrelctl {

struct JsonDeleter {
  void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonDeleter>;

/* A usage error on standard error: returns kUsage. */
int usage(const std::string &why);

/* The daemon's answer, or the exit status when there is none. */
struct Outcome {
  Answer answer;
  int exit = kOk;
};
/* One request; no answer prints why and gives kUnreachable. */
Outcome call(const Context &ctx, const std::string &path, bool post = false,
             const std::string &body = "");

/* A refusal: the daemon's own words, on standard error; returns kRefused. */
int refused(const std::string &path, const Answer &a);

/* The answer's JSON document; null (exit set) when it is none. */
Json parse(const Answer &a, const std::string &path, int &exit);

/* GET path, answered 200 with JSON: the document; null with exit set
 * otherwise, and also (exit kOk) under --json, where the body is printed
 * as it came. */
Json get_json(const Context &ctx, const std::string &path, int &exit);

/* A member of o, null when absent or JSON null. */
json_object *field(json_object *o, const char *name);
/* A field as a table cell: "-" for null or absent. */
std::string cell(json_object *o, const char *name);
/* An array's strings joined by sep, "-" when empty. */
std::string join(json_object *array, const char *sep);

void print_body(const Answer &a);

}  // namespace wendrelctl

#endif
