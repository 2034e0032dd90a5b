// kavalin loaded by the real daemon: the start-up lines of the cluster
// registry and the account map, and check messages re-keyed through the
// daemon's routing diagnostic route by the configured account map. The
// kavalin sections are those of the example configuration etc/wendrel.conf.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <string>

#include "support/kavalin_support.h"

namespace {

using kavalin_test::KavalinDaemon;

/* The drask and override sections of the example configuration, as XML
 * text. */
std::string example_kavalin_sections() {
  std::string path = wendrel_test::source_dir() + "/etc/wendrel.conf";
  xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
  if (doc == nullptr) return "";
  std::string out;
  for (xmlNodePtr n = xmlDocGetRootElement(doc)->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (xmlStrcmp(n->name, BAD_CAST "drask") != 0 &&
        xmlStrcmp(n->name, BAD_CAST "drask_cluster_map_override") != 0) {
      continue;
    }
    xmlBufferPtr buf = xmlBufferCreate();
    xmlNodeDump(buf, doc, n, 0, 0);
    out += reinterpret_cast<const char *>(xmlBufferContent(buf));
    out += "\n";
    xmlBufferFree(buf);
  }
  xmlFreeDoc(doc);
  return out;
}

TEST(KavalinStartup, ExampleConfigurationLoadsAndRoutes) {
  std::string sections = example_kavalin_sections();
  ASSERT_NE(sections.find("<drask"), std::string::npos)
      << "etc/wendrel.conf has no drask section";
  KavalinDaemon d(sections);
  ASSERT_TRUE(d.start()) << d.log();
  std::string log = d.log();
  /* Cluster 1 and 2 in the order of their first sections, default last. */
  size_t c1 = log.find("Initializing cluster 1 with 2 bootstrap nodes");
  size_t c2 = log.find("Initializing cluster 2 with 1 bootstrap nodes");
  size_t c0 = log.find("Initializing cluster 0 with ");
  ASSERT_NE(c1, std::string::npos) << log;
  ASSERT_NE(c2, std::string::npos) << log;
  ASSERT_NE(c0, std::string::npos) << log;
  EXPECT_LT(c1, c2);
  EXPECT_LT(c2, c0);
  EXPECT_NE(log.find("[notice/kavalin] loaded "), std::string::npos) << log;
  EXPECT_NE(log.find(" account->cluster mappings"), std::string::npos);

  /* The example maps account 42 to cluster 2 and account 43 to cluster 1;
   * others route through the default cluster 0. */
  EXPECT_EQ(d.routed_key(kavalin_test::check_payload(42)),
            "stream.2.42.1.0.a.1.b.2.c.3.d.4.e.5.f.4.a.6.b.8.c.7.d.9.e.0.f.1."
            "a.2.b.3.c.4.d");
  EXPECT_EQ(d.live_swimlane(43), 1);
  EXPECT_EQ(d.live_swimlane(999), 0);
  /* A message that is not a check message keeps the host's key. */
  EXPECT_EQ(d.routed_key("M\tjust\ttext"), "stream");
}

}  // namespace
