#include "answers.h"

#include <cstdio>

#include "documents.h"
#include "exit_codes.h"

namespace wendrelctl {

int usage(const std::string &why) {
  fprintf(stderr, "wendrelctl: %s (wendrelctl --help)\n", why.c_str());
  return kUsage;
}

Outcome call(const Context &ctx, const std::string &path, bool post,
             const std::string &body) {
  Outcome o;
  o.answer = request(ctx.settings, path, post, body);
  if (o.answer.status == 0) {
    fprintf(stderr, "wendrelctl: cannot reach %s: %s\n",
            ctx.settings.url.c_str(), o.answer.error.c_str());
    o.exit = kUnreachable;
  }
  return o;
}

/* A refusal: the daemon's own words, on standard error. */
int refused(const std::string &path, const Answer &a) {
  std::string text = error_text(a.body);
  fprintf(stderr, "wendrelctl: %s answered %ld%s%s\n", path.c_str(), a.status,
          text.empty() ? "" : ": ", text.c_str());
  return kRefused;
}

Json parse(const Answer &a, const std::string &path, int &exit) {
  json_tokener *tok = json_tokener_new();
  Json doc(json_tokener_parse_ex(tok, a.body.c_str(),
                                 static_cast<int>(a.body.size())));
  json_tokener_free(tok);
  if (!doc) {
    fprintf(stderr, "wendrelctl: %s answered no JSON document\n", path.c_str());
    exit = kRefused;
  }
  return doc;
}

json_object *field(json_object *o, const char *name) {
  json_object *v = nullptr;
  return o && json_object_object_get_ex(o, name, &v) ? v : nullptr;
}

/* A field as a table cell: "-" for null or absent. */
std::string cell(json_object *o, const char *name) {
  json_object *v = field(o, name);
  if (v == nullptr) return "-";
  if (json_object_is_type(v, json_type_double)) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", json_object_get_double(v));
    return text;
  }
  return json_object_get_string(v);
}

std::string join(json_object *array, const char *sep) {
  std::string out;
  for (size_t i = 0; array && i < json_object_array_length(array); i++) {
    if (i > 0) out += sep;
    out += json_object_get_string(json_object_array_get_idx(array, i));
  }
  return out.empty() ? "-" : out;
}

void print_body(const Answer &a) {
  fwrite(a.body.data(), 1, a.body.size(), stdout);
  if (!a.body.empty() && a.body.back() != '\n') putchar('\n');
}

/* GET path, answered 200 with JSON: the document (or the exit status). */
Json get_json(const Context &ctx, const std::string &path, int &exit) {
  Outcome o = call(ctx, path);
  if ((exit = o.exit) != kOk) return nullptr;
  if (o.answer.status != 200) {
    exit = refused(path, o.answer);
    return nullptr;
  }
  if (ctx.json) {
    print_body(o.answer);
    return nullptr;
  }
  return parse(o.answer, path, exit);
}

}  // namespace wendrelctl
