// The configuration tree: loading, sections, typed getters and change marks.
// Locking rules are in zorv/conf.h and conf_lock.h; the file write is in
// conf_write.cpp and the run-time parameters in conf_params.cpp.
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <charconv>
#include <mutex>
#include <string_view>

#include "conf_internal.h"
#include "conf_lock.h"
#include "zorv/conf.h"
#include "zorv/log.h"

namespace zorv::conf {
namespace {

// Guarded by the tree lock.
xmlDocPtr current_doc = nullptr;
// The file path is published as a plain C string; paths of earlier loads
// are kept alive (not freed) because zorv_conf_path hands out the pointer.
std::atomic<const char *> current_path{nullptr};
std::atomic<uint64_t> generation{0};

void init_libxml_once() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

// libxml2 prints XPath errors on stderr unless a context has its own
// handler; an invalid expression is reported once, on the error stream.
void silent_xpath_error(void *, xmlErrorPtr) {}

std::string_view trim(std::string_view s) {
  constexpr std::string_view ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// The first parse error, which names the real fault (later ones tend to be
// "premature end of data"). libxml2's error handlers are per thread.
struct FirstError {
  std::string text;
  static void capture(void *self, xmlErrorPtr e) {
    auto *fe = static_cast<FirstError *>(self);
    if (!fe->text.empty() || !e || !e->message || e->level < XML_ERR_ERROR) return;
    std::string msg = e->message;
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    fe->text = e->line > 0 ? "line " + std::to_string(e->line) + ": " + msg : msg;
  }
};

// Runs a parse with errors captured instead of printed.
template <typename Parse>
xmlDocPtr parse_capturing(Parse parse, std::string *error) {
  FirstError first;
  xmlSetStructuredErrorFunc(&first, FirstError::capture);
  xmlDocPtr doc = parse();
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  *error = first.text.empty() ? "not well-formed XML" : first.text;
  return doc;
}

void set_error(char **err, const std::string &text) {
  if (err) *err = strdup(text.c_str());
}

// Installs doc (taking ownership) as the tree, replacing any earlier one.
// Refused while the calling thread holds sections: they belong to the old
// document, which is freed here.
bool install(xmlDocPtr doc, const char *path) {
  if (held_by_me()) return false;
  WriteGuard guard;
  xmlDocPtr old = current_doc;
  current_doc = doc;
  // Earlier paths stay allocated: a caller may still hold zorv_conf_path().
  static auto *paths = new std::vector<std::unique_ptr<char, decltype(&free)>>;
  char *copy = path ? strdup(path) : nullptr;
  if (copy) paths->emplace_back(copy, &free);
  current_path.store(copy);
  if (old) xmlFreeDoc(old);
  generation.fetch_add(1);
  return true;
}

int load_checked(xmlDocPtr doc, const std::string &parse_error,
                 const char *path, const char *what, char **err) {
  if (!doc) {
    set_error(err, std::string("cannot parse configuration ") + what + ": " +
                       parse_error);
    return -1;
  }
  if (!xmlDocGetRootElement(doc)) {
    xmlFreeDoc(doc);
    set_error(err, std::string("configuration ") + what + " has no root element");
    return -1;
  }
  if (!install(doc, path)) {
    xmlFreeDoc(doc);
    set_error(err, "cannot replace the configuration while this thread "
                   "holds sections of it");
    return -1;
  }
  return 0;
}

// Ignorable white space is dropped on load so that the file can be written
// back neatly indented after elements were added or removed. Entities are
// never substituted and no external DTD is loaded (neither option is set).
constexpr int kParseOptions = XML_PARSE_NOBLANKS | XML_PARSE_NONET;

xmlParserInputPtr no_external_entity(void *, const xmlChar *, const xmlChar *) {
  return nullptr;
}

// Parses the file (xml null) or the text with a parser that cannot open
// anything besides the file itself: the configuration is partly written
// from what clients posted, so a declaration in it must not make the
// daemon read other files or reach the network, whatever the library's
// defaults.
xmlDocPtr read_config(const char *path, const char *xml) {
  xmlParserCtxtPtr parser = xmlNewParserCtxt();
  if (!parser) return nullptr;
  parser->sax->resolveEntity = no_external_entity;
  parser->sax->externalSubset = nullptr;
  xmlDocPtr doc =
      xml ? xmlCtxtReadMemory(parser, xml, static_cast<int>(strlen(xml)),
                              path ? path : "configuration", nullptr,
                              kParseOptions)
          : xmlCtxtReadFile(parser, path, nullptr, kParseOptions);
  xmlFreeParserCtxt(parser);
  return doc;
}

zorv_conf_section_t section_of(xmlNodePtr node) {
  return zorv_conf_section_t{node};
}

// Takes the lock, evaluates xpath and collects the elements it finds. The
// lock stays held only when something was found, so that an empty result
// holds nothing and is never released.
bool lock_and_find(zorv_conf_section_t base, const char *xpath, bool write,
                   std::vector<xmlNodePtr> *nodes) {
  if (write) {
    if (!lock_write()) {
      zorvL(zorv_error,
            "configuration: write access to '%s' refused: this thread reads "
            "while another waits to write\n", xpath ? xpath : "");
      return false;
    }
  } else {
    lock_read();
  }
  XPathObject result = evaluate(base, xpath);
  *nodes = elements_of(result.get());
  if (nodes->empty()) {
    write ? unlock_write() : unlock_read();
    return false;
  }
  return true;
}

// Shared body of the single-section getters: the first element found, with
// the lock held, or the empty section holding nothing.
zorv_conf_section_t get_section(zorv_conf_section_t base, const char *xpath,
                                bool write) {
  std::vector<xmlNodePtr> nodes;
  if (!lock_and_find(base, xpath, write, &nodes)) return ZORV_CONF_EMPTY;
  return section_of(nodes.front());
}

zorv_conf_section_t *get_sections(zorv_conf_section_t base, const char *xpath,
                                  int *cnt, bool write) {
  if (cnt) *cnt = 0;
  std::vector<xmlNodePtr> nodes;
  if (!lock_and_find(base, xpath, write, &nodes)) return nullptr;
  auto *list = static_cast<zorv_conf_section_t *>(
      calloc(nodes.size(), sizeof(zorv_conf_section_t)));
  if (!list) {
    write ? unlock_write() : unlock_read();
    return nullptr;
  }
  for (size_t i = 0; i < nodes.size(); ++i) list[i] = section_of(nodes[i]);
  if (cnt) *cnt = static_cast<int>(nodes.size());
  return list;
}

}  // namespace

xmlDocPtr document() { return current_doc; }

std::string document_path() {
  const char *p = current_path.load();
  return p ? p : "";
}

XPathObject evaluate(zorv_conf_section_t base, const char *xpath) {
  xmlDocPtr doc = current_doc;
  if (!doc || !xpath || !*xpath) return nullptr;
  init_libxml_once();
  XPathContext ctx(xmlXPathNewContext(doc));
  if (!ctx) return nullptr;
  ctx->error = silent_xpath_error;
  ctx->node = base.opaque1 ? static_cast<xmlNodePtr>(base.opaque1)
                           : xmlDocGetRootElement(doc);
  XPathObject result(
      xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(xpath), ctx.get()));
  if (!result) zorvL(zorv_error, "configuration: invalid XPath '%s'\n", xpath);
  return result;
}

std::vector<xmlNodePtr> elements_of(const xmlXPathObject *result) {
  std::vector<xmlNodePtr> out;
  if (!result || result->type != XPATH_NODESET || !result->nodesetval) return out;
  const xmlNodeSet *set = result->nodesetval;
  out.reserve(set->nodeNr);
  // XPath node sets come back in document order.
  for (int i = 0; i < set->nodeNr; ++i)
    if (set->nodeTab[i] && set->nodeTab[i]->type == XML_ELEMENT_NODE)
      out.push_back(set->nodeTab[i]);
  return out;
}

std::optional<std::string> value_of(const xmlXPathObject *result) {
  if (!result) return std::nullopt;
  switch (result->type) {
    case XPATH_NODESET: {
      const xmlNodeSet *set = result->nodesetval;
      if (!set || set->nodeNr == 0) return std::nullopt;
      xmlNodePtr node = set->nodeTab[0];
      // Namespace nodes are not xmlNode structures; they carry no value here.
      if (!node || node->type == XML_NAMESPACE_DECL) return std::nullopt;
      XmlString text(xmlNodeGetContent(node));
      if (!text) return std::string();
      return std::string(reinterpret_cast<const char *>(text.get()));
    }
    case XPATH_STRING:
    case XPATH_NUMBER:
    case XPATH_BOOLEAN: {
      XmlString text(xmlXPathCastToString(const_cast<xmlXPathObject *>(result)));
      if (!text) return std::nullopt;
      return std::string(reinterpret_cast<const char *>(text.get()));
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::string> lookup_value(zorv_conf_section_t base,
                                        const char *xpath) {
  ReadGuard guard;
  XPathObject result = evaluate(base, xpath);
  return value_of(result.get());
}

bool parse_int64(std::string_view text, int64_t *out) {
  text = trim(text);
  // Decimal only: an optional sign, then digits (from_chars takes no '+').
  bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  if (text.empty() || (plus && text.front() == '-')) return false;
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *out = v;
  return true;
}

bool parse_int32(std::string_view text, int32_t *out) {
  int64_t v;
  if (!parse_int64(text, &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool parse_boolean(std::string_view text, bool *out) {
  text = trim(text);
  auto is = [&](std::string_view word) {
    return text.size() == word.size() &&
           strncasecmp(text.data(), word.data(), word.size()) == 0;
  };
  if (is("true") || is("yes") || is("on") || is("1")) {
    *out = true;
    return true;
  }
  if (is("false") || is("no") || is("off") || is("0")) {
    *out = false;
    return true;
  }
  return false;
}

}  // namespace zorv::conf

using namespace zorv::conf;

extern "C" {

int zorv_conf_load(const char *path, char **err) {
  if (!path || !*path) {
    set_error(err, "no configuration file given");
    return -1;
  }
  /* libxml2 reports a missing or unreadable file as a parse error;
   * the operator needs the file and the system's reason instead. */
  FILE *probe = fopen(path, "r");
  int probe_error = probe ? 0 : errno;
  if (probe) {
    /* A folder opens but cannot be read (EISDIR). */
    if (fgetc(probe) == EOF && ferror(probe)) probe_error = errno;
    fclose(probe);
  }
  if (probe_error != 0) {
    set_error(err, std::string("cannot read '") + path + "': " +
                       strerror(probe_error));
    return -1;
  }
  init_libxml_once();
  std::string why;
  xmlDocPtr doc = parse_capturing([&] { return read_config(path, nullptr); }, &why);
  return load_checked(doc, why, path, (std::string("'") + path + "'").c_str(), err);
}

int zorv_conf_load_string(const char *xml, const char *path, char **err) {
  if (!xml) {
    set_error(err, "no configuration text given");
    return -1;
  }
  init_libxml_once();
  std::string why;
  xmlDocPtr doc = parse_capturing([&] { return read_config(path, xml); }, &why);
  return load_checked(doc, why, path, "text", err);
}

const char *zorv_conf_path(void) { return current_path.load(); }

zorv_conf_section_t zorv_conf_get_section_read(zorv_conf_section_t base,
                                               const char *xpath) {
  return get_section(base, xpath, false);
}

zorv_conf_section_t zorv_conf_get_section_write(zorv_conf_section_t base,
                                                const char *xpath) {
  return get_section(base, xpath, true);
}

void zorv_conf_release_section_read(zorv_conf_section_t section) {
  if (section.opaque1) unlock_read();
}

void zorv_conf_release_section_write(zorv_conf_section_t section) {
  if (section.opaque1) unlock_write();
}

zorv_boolean zorv_conf_section_is_empty(zorv_conf_section_t section) {
  return section.opaque1 == nullptr;
}

zorv_conf_section_t *zorv_conf_get_sections_read(zorv_conf_section_t base,
                                                 const char *xpath, int *cnt) {
  return get_sections(base, xpath, cnt, false);
}

zorv_conf_section_t *zorv_conf_get_sections_write(zorv_conf_section_t base,
                                                  const char *xpath, int *cnt) {
  return get_sections(base, xpath, cnt, true);
}

void zorv_conf_release_sections_read(zorv_conf_section_t *sections, int cnt) {
  if (sections && cnt > 0) unlock_read();
  free(sections);
}

void zorv_conf_release_sections_write(zorv_conf_section_t *sections, int cnt) {
  if (sections && cnt > 0) unlock_write();
  free(sections);
}

int zorv_conf_get_int32(zorv_conf_section_t section, const char *xpath,
                        int32_t *out) {
  auto text = lookup_value(section, xpath);
  int32_t v;
  if (!text || !out || !parse_int32(*text, &v)) return 0;
  *out = v;
  return 1;
}

int zorv_conf_get_int64(zorv_conf_section_t section, const char *xpath,
                        int64_t *out) {
  auto text = lookup_value(section, xpath);
  int64_t v;
  if (!text || !out || !parse_int64(*text, &v)) return 0;
  *out = v;
  return 1;
}

int zorv_conf_get_string(zorv_conf_section_t section, const char *xpath,
                         char **out) {
  auto text = lookup_value(section, xpath);
  if (!text || !out) return 0;
  char *copy = strdup(text->c_str());
  if (!copy) return 0;
  *out = copy;
  return 1;
}

int zorv_conf_get_boolean(zorv_conf_section_t section, const char *xpath,
                          zorv_boolean *out) {
  auto text = lookup_value(section, xpath);
  bool v;
  if (!text || !out || !parse_boolean(*text, &v)) return 0;
  *out = v;
  return 1;
}

xmlNodePtr zorv_conf_section_to_xmlnodeptr(zorv_conf_section_t section) {
  return static_cast<xmlNodePtr>(section.opaque1);
}

zorv_conf_section_t zorv_conf_section_from_xmlnodeptr(xmlNodePtr node) {
  return zorv_conf_section_t{node};
}

// Every section lives in the one loaded file: there is no backing store or
// include file to detach a section from.
void zorv_conf_backingstore_remove(zorv_conf_section_t) {}
void zorv_conf_include_remove(zorv_conf_section_t) {}

// With no backing store, a dirty section only means the tree changed.
void zorv_conf_backingstore_dirty(zorv_conf_section_t) { zorv_conf_mark_changed(); }

void zorv_conf_mark_changed(void) { generation.fetch_add(1); }

uint64_t zorv_conf_generation(void) { return generation.load(); }

}  // extern "C"
