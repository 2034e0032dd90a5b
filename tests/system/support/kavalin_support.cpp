#include "support/kavalin_support.h"

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <limits.h>

#include <cstdlib>
#include <mutex>

namespace kavalin_test {

namespace {

const std::string kUuid = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";

// One certificate folder for the whole test process.
const std::string &shared_certs() {
  static wendrel_test::TempDir *dir = new wendrel_test::TempDir("kavalin-certs");
  static std::string path;
  static std::once_flag once;
  std::call_once(once, [] {
    path = dir->file("certs");
    std::string why;
    if (!wendrel_test::make_certs(path, &why)) path.clear();
  });
  return path;
}

struct doc_free {
  void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};
using doc_owner = std::unique_ptr<xmlDoc, doc_free>;

doc_owner parse(const std::string &xml) {
  return doc_owner(xmlReadMemory(xml.data(), static_cast<int>(xml.size()),
                                 nullptr, nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOERROR |
                                     XML_PARSE_NOWARNING));
}

}  // namespace

std::string check_payload(int64_t account) {
  return "M\t10.1.2.3\t17.250\tex`web01`c_" + std::to_string(account) +
         "_1::" + kUuid + "\tcpu\t1.5";
}

KavalinDaemon::KavalinDaemon(const std::string &extra_xml, bool with_ostrel)
    : dir_(new wendrel_test::TempDir("kavalin-system")),
      daemon_(new wendrel_test::Daemon()) {
  wendrel_test::ConfigOptions opt;
  opt.certs_dir = shared_certs();
  opt.modules_xml = "    <module image=\"kavalin\" name=\"kavalin\"/>\n";
  if (with_ostrel) {
    opt.modules_xml +=
        "    <module image=\"ostrel\" name=\"ostrel\"><config>"
        "<subscriber>kavalin-test</subscriber><update_interval>1"
        "</update_interval></config></module>\n";
  }
  opt.extra_xml = extra_xml;
  conf_ = dir_->file("wendrel.conf");
  wendrel_test::write_file(conf_, wendrel_test::make_config(opt));
}

const std::string &KavalinDaemon::certs() const { return shared_certs(); }

bool KavalinDaemon::start() {
  return daemon_->start(conf_,
                        dir_->file("wendrel." + std::to_string(generation_++) +
                                   ".log"));
}

bool KavalinDaemon::restart() {
  daemon_->stop();
  daemon_.reset(new wendrel_test::Daemon());
  return start();
}

wendrel_test::HttpResult KavalinDaemon::post(const std::string &path,
                                             const std::string &body,
                                             const std::string &identity) {
  wendrel_test::RequestOptions o;
  o.method = "POST";
  o.body = body;
  o.with_body = true;
  o.identity = identity;
  o.headers.push_back("Content-Type: application/xml");
  return wendrel_test::https_request(certs(), daemon_->https_port(), path, o);
}

std::string KavalinDaemon::routed_key(const std::string &payload) {
  wendrel_test::RequestOptions o;
  o.method = "POST";
  o.body = payload;
  o.with_body = true;
  auto r = wendrel_test::https_request(certs(), daemon_->https_port(),
                                       "/diag/route?prefix=stream", o);
  if (r.status != 200) return "";
  std::string key = r.body;
  while (!key.empty() && key.back() == '\n') key.pop_back();
  return key;
}

int64_t KavalinDaemon::live_swimlane(int64_t account) {
  std::string key = routed_key(check_payload(account));
  std::string want_tail = "." + std::to_string(account) + ".1.0.a.1.b";
  if (key.rfind("stream.", 0) != 0 || key.find(want_tail) == std::string::npos) {
    return INT32_MIN;
  }
  return std::strtoll(key.c_str() + 7, nullptr, 10);
}

std::string error_text(const std::string &body) {
  doc_owner doc = parse(body);
  xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root || xmlStrcmp(root->name, BAD_CAST "error") != 0) {
    return "(not an error document: " + body + ")";
  }
  xmlChar *text = xmlNodeGetContent(root);
  std::string out = text ? reinterpret_cast<const char *>(text) : "";
  xmlFree(text);
  return out;
}

std::string elements(const std::string &xml, const std::string &xpath) {
  doc_owner doc = parse(xml);
  if (!doc) return "(not XML)";
  xmlXPathContextPtr ctx = xmlXPathNewContext(doc.get());
  xmlXPathObjectPtr res =
      xmlXPathEvalExpression(BAD_CAST xpath.c_str(), ctx);
  std::string out;
  if (res && res->nodesetval) {
    for (int i = 0; i < res->nodesetval->nodeNr; i++) {
      xmlNodePtr n = res->nodesetval->nodeTab[i];
      if (!out.empty()) out += " ";
      std::string one;
      for (xmlAttrPtr a = n->properties; a; a = a->next) {
        xmlChar *v = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
        if (!one.empty()) one += ",";
        one += std::string(reinterpret_cast<const char *>(a->name)) + "=" +
               (v ? reinterpret_cast<const char *>(v) : "");
        xmlFree(v);
      }
      out += "[" + one + "]";
    }
  }
  xmlXPathFreeObject(res);
  xmlXPathFreeContext(ctx);
  return out;
}

}  // namespace kavalin_test
