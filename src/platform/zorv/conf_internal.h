// Configuration internals shared by conf.cpp (document, sections, getters),
// conf_write.cpp (the file write) and conf_params.cpp (run-time parameters).
// Everything here expects the caller to hold the tree lock (conf_lock.h).
#ifndef ZORV_CONF_INTERNAL_H
#define ZORV_CONF_INTERNAL_H

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zorv/conf.h"

namespace zorv::conf {

struct XPathContextFree {
  void operator()(xmlXPathContextPtr p) const { xmlXPathFreeContext(p); }
};
struct XPathObjectFree {
  void operator()(xmlXPathObjectPtr p) const { xmlXPathFreeObject(p); }
};
struct XmlFree {
  void operator()(void *p) const { xmlFree(p); }
};
struct XmlDocFree {
  void operator()(xmlDocPtr p) const { xmlFreeDoc(p); }
};
using XPathContext = std::unique_ptr<xmlXPathContext, XPathContextFree>;
using XPathObject = std::unique_ptr<xmlXPathObject, XPathObjectFree>;
using XmlString = std::unique_ptr<xmlChar, XmlFree>;
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocFree>;

// The loaded document, or nullptr.
xmlDocPtr document();
// The file the document came from ("" when none).
std::string document_path();

// Evaluates xpath with base as the context node (the root element for an
// empty base). nullptr when there is no document or the expression is
// invalid (logged).
XPathObject evaluate(zorv_conf_section_t base, const char *xpath);

// The element nodes of a result, in document order.
std::vector<xmlNodePtr> elements_of(const xmlXPathObject *result);

// The text value of the first node of a result (an attribute's value, an
// element's text), or of a string/number/boolean result.
std::optional<std::string> value_of(const xmlXPathObject *result);

// The value xpath selects from base, or nothing.
std::optional<std::string> lookup_value(zorv_conf_section_t base,
                                        const char *xpath);

// Text conversions shared by the typed getters and the parameters.
bool parse_int64(std::string_view text, int64_t *out);
bool parse_int32(std::string_view text, int32_t *out);
bool parse_boolean(std::string_view text, bool *out);

// Stores value at the node xpath selects from the root (an attribute or
// element); an attribute path whose element exists but whose attribute does
// not ("//drask/@timeout") gets the attribute created. Caller holds the
// write lock. false when there is no place to store it.
bool store_value(const char *xpath, const std::string &value);

}  // namespace zorv::conf

#endif
