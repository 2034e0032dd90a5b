// Run-time parameters: a name bound to a configuration XPath and to a
// variable of the caller. Setting one converts and checks the text, stores
// it into the variable and writes the text into the tree (the caller decides
// when the file is written).
//
// Locking: the registry mutex is never held while the tree lock is taken,
// so a thread that holds the tree for writing may still set parameters.
// Variables are stored with atomic stores: readers on other threads read
// them as plain integers and must never see a torn value.
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "conf_internal.h"
#include "conf_lock.h"
#include "zorv/conf.h"
#include "zorv/log.h"

namespace zorv::conf {
namespace {

struct Param {
  std::string xpath;
  zorv_param_type_t type;
  void *variable;
  zorv_param_parse_func parser;
  zorv_param_validate_func validator;
};

std::mutex params_mutex;
std::map<std::string, Param> &params() {
  static auto *m = new std::map<std::string, Param>;
  return *m;
}

// A converted value, big enough for every type.
union Value {
  int32_t i32;
  int64_t i64;
  char *str;
  zorv_boolean b;
};

bool convert(const Param &p, const std::string &text, Value *v) {
  if (p.parser) {
    // The parser converts into a value of the variable's type; for strings
    // it produces a heap text.
    return p.parser(text.c_str(), v) == 0;
  }
  bool b;
  switch (p.type) {
    case ZORV_PARAM_INT32:
      return parse_int32(text, &v->i32);
    case ZORV_PARAM_INT64:
      return parse_int64(text, &v->i64);
    case ZORV_PARAM_STRING:
      v->str = strdup(text.c_str());
      return v->str != nullptr;
    case ZORV_PARAM_BOOLEAN:
      if (!parse_boolean(text, &b)) return false;
      v->b = b;
      return true;
  }
  return false;
}

bool validate(const Param &p, const Value &v) {
  // The validator gets a pointer to the converted value, as the variable
  // would hold it (for a string, a pointer to the char *).
  return !p.validator || p.validator(&v) == 0;
}

// String values replaced here are not freed: another thread may still read
// the old text through its own copy of the pointer. Parameters change by
// operator action, rarely, so the cost is a few bytes per change.
void store(const Param &p, const Value &v) {
  switch (p.type) {
    case ZORV_PARAM_INT32:
      __atomic_store_n(static_cast<int32_t *>(p.variable), v.i32, __ATOMIC_RELEASE);
      break;
    case ZORV_PARAM_INT64:
      __atomic_store_n(static_cast<int64_t *>(p.variable), v.i64, __ATOMIC_RELEASE);
      break;
    case ZORV_PARAM_STRING:
      __atomic_store_n(static_cast<char **>(p.variable), v.str, __ATOMIC_RELEASE);
      break;
    case ZORV_PARAM_BOOLEAN:
      __atomic_store_n(static_cast<zorv_boolean *>(p.variable), v.b, __ATOMIC_RELEASE);
      break;
  }
}

std::string text_of(const Param &p) {
  char buf[32];
  switch (p.type) {
    case ZORV_PARAM_INT32:
      snprintf(buf, sizeof buf, "%" PRId32,
               __atomic_load_n(static_cast<int32_t *>(p.variable), __ATOMIC_ACQUIRE));
      return buf;
    case ZORV_PARAM_INT64:
      snprintf(buf, sizeof buf, "%" PRId64,
               __atomic_load_n(static_cast<int64_t *>(p.variable), __ATOMIC_ACQUIRE));
      return buf;
    case ZORV_PARAM_STRING: {
      const char *s = __atomic_load_n(static_cast<char **>(p.variable), __ATOMIC_ACQUIRE);
      return s ? s : "";
    }
    case ZORV_PARAM_BOOLEAN:
      return __atomic_load_n(static_cast<zorv_boolean *>(p.variable), __ATOMIC_ACQUIRE)
                 ? "true"
                 : "false";
  }
  return "";
}

std::optional<Param> find(const char *name) {
  std::lock_guard lock(params_mutex);
  auto it = params().find(name);
  if (it == params().end()) return std::nullopt;
  return it->second;
}

}  // namespace

bool store_value(const char *xpath, const std::string &value) {
  const xmlChar *text = reinterpret_cast<const xmlChar *>(value.c_str());
  XPathObject result = evaluate(ZORV_CONF_ROOT, xpath);
  if (result && result->type == XPATH_NODESET && result->nodesetval &&
      result->nodesetval->nodeNr > 0) {
    xmlNodePtr node = result->nodesetval->nodeTab[0];
    if (node->type == XML_ATTRIBUTE_NODE && node->parent) {
      xmlSetProp(node->parent, node->name, text);
      return true;
    }
    if (node->type == XML_ELEMENT_NODE) {
      // Replace the element's content with one plain text node (the value is
      // text, not markup: no entity parsing).
      xmlNodeSetContent(node, nullptr);
      xmlNodeAddContent(node, text);
      return true;
    }
    return false;
  }
  // An attribute that does not exist yet: create it on its element.
  std::string path(xpath);
  size_t at = path.rfind("/@");
  if (at == std::string::npos || at == 0) return false;
  std::string attr = path.substr(at + 2);
  if (attr.empty() || attr.find_first_of("/[]()*|:") != std::string::npos) return false;
  XPathObject owner = evaluate(ZORV_CONF_ROOT, path.substr(0, at).c_str());
  std::vector<xmlNodePtr> elements = elements_of(owner.get());
  if (elements.empty()) return false;
  xmlSetProp(elements.front(), reinterpret_cast<const xmlChar *>(attr.c_str()), text);
  return true;
}

}  // namespace zorv::conf

using namespace zorv::conf;

extern "C" {

int zorv_conf_register_global_param(const char *name, const char *xpath,
                                    zorv_param_type_t type, void *variable,
                                    zorv_param_parse_func parser,
                                    zorv_param_validate_func validator) {
  if (!name || !*name || !xpath || !*xpath || !variable ||
      type < ZORV_PARAM_INT32 || type > ZORV_PARAM_BOOLEAN)
    return -1;
  Param p{xpath, type, variable, parser, validator};

  // Take the configured value when the tree has one.
  if (auto text = lookup_value(ZORV_CONF_ROOT, xpath)) {
    Value v{};
    if (convert(p, *text, &v) && validate(p, v)) {
      store(p, v);
    } else {
      if (type == ZORV_PARAM_STRING) free(v.str);
      zorvL(zorv_error, "parameter %s: configured value '%s' at %s refused\n",
            name, text->c_str(), xpath);
    }
  }
  std::lock_guard lock(params_mutex);
  params().insert_or_assign(name, std::move(p));
  return 0;
}

int zorv_conf_set_global_param(const char *name, const char *value) {
  if (!name || !value) return -1;
  std::optional<Param> p = find(name);
  if (!p) return -1;
  Value v{};
  if (!convert(*p, value, &v) || !validate(*p, v)) {
    if (p->type == ZORV_PARAM_STRING) free(v.str);
    return -2;
  }
  WriteGuard guard;
  if (!guard.ok()) {
    if (p->type == ZORV_PARAM_STRING) free(v.str);
    zorvL(zorv_error, "parameter %s: configuration busy, not set\n", name);
    return -2;
  }
  // Under the tree's write lock, so that the variable and the tree change
  // together and concurrent setters are applied in one order.
  // The tree keeps the text as given: it is what the parser accepted, so it
  // reads back to the same value at the next start.
  store(*p, v);
  std::string text = value;
  if (store_value(p->xpath.c_str(), text)) {
    zorv_conf_mark_changed();
  } else {
    zorvL(zorv_notice, "parameter %s set to %s; %s has no place in the "
          "configuration, so the value is not kept there\n",
          name, text.c_str(), p->xpath.c_str());
  }
  return 0;
}

int zorv_conf_get_global_param(const char *name, char *out, size_t outlen) {
  if (!name) return -1;
  std::optional<Param> p = find(name);
  if (!p) return -1;
  std::string text = text_of(*p);
  if (out && outlen > 0) snprintf(out, outlen, "%s", text.c_str());
  return 0;
}

}  // extern "C"
