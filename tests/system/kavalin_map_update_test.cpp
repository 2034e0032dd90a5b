// The account map update endpoint through the running daemon over HTTPS:
// validation, authorisation, the configuration tree and file, the live
// map (through the routing diagnostic route and the map read-back, which
// also tells file from memory), the audit line, restart on the written
// file, atomic writes and a failing write.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "support/kavalin_support.h"

namespace {

using kavalin_test::elements;
using kavalin_test::error_text;
using kavalin_test::KavalinDaemon;

const char kMapPath[] = "/module/kavalin/map";

const std::string kDrask =
    "  <drask>\n"
    "    <swimlane>\n"
    "      <bootstrap cluster=\"1\" host=\"127.0.0.1:18101\"/>\n"
    "      <bootstrap cluster=\"1\" host=\"127.0.0.1:18102\"/>\n"
    "      <bootstrap cluster=\"2\" host=\"127.0.0.1:18201\"/>\n"
    "      <bootstrap host=\"127.0.0.1:18101\"/>\n"
    "      <account_map>\n"
    "        <map account=\"42\" cluster=\"1\"/>\n"
    "        <map account=\"50\" cluster=\"1\"/>\n"
    "        <map account=\"50\" cluster=\"2\"/>\n"
    "        <map account=\"60\"/>\n"
    "      </account_map>\n"
    "    </swimlane>\n"
    "  </drask>\n";

std::string maps_of(const std::string &conf) {
  return elements(conf, "//drask//swimlane/account_map/map");
}

class KavalinMapUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    d_.reset(new KavalinDaemon(kDrask));
    ASSERT_TRUE(d_->start()) << d_->log();
  }
  wendrel_test::HttpResult read_back(const std::string &path,
                                     const std::string &identity = "client") {
    wendrel_test::RequestOptions opt;
    opt.identity = identity;
    return wendrel_test::https_request(d_->certs(), d_->daemon().https_port(),
                                       path, opt);
  }
  std::unique_ptr<KavalinDaemon> d_;
};

TEST_F(KavalinMapUpdate, ValidationRowsChangeNothing) {
  const std::string before = d_->conf_text();
  struct row {
    std::string body;
    std::string message;
  };
  const row rows[] = {
      {"this is not xml", "xml parse error"},
      {"", "xml parse error"},
      {"<mapping><map account=\"42\" cluster=\"2\"/></mapping>",
       "malformed document"},
      {"<drask><map account=\"42\" cluster=\"2\"/><other/></drask>",
       "child node other than `map`"},
      {"<drask><map account=\"42\" cluster=\"2\"/><!-- note --></drask>",
       "child node other than `map`"},
      {"<drask><map account=\"42\" cluster=\"2\"/><map cluster=\"2\"/></drask>",
       "malformed document"},
      {"<drask><map account=\"43\" cluster=\"2\"><swimlane><account_map>"
       "<map account=\"42\" cluster=\"2\"/></account_map></swimlane></map></drask>",
       "malformed document"},
  };
  for (const auto &r : rows) {
    auto res = d_->post(kMapPath, r.body);
    EXPECT_EQ(res.status, 400) << r.body;
    EXPECT_EQ(res.headers["content-type"], "text/html") << r.body;
    EXPECT_EQ(error_text(res.body), r.message) << r.body;
  }
  EXPECT_EQ(d_->conf_text(), before);
  EXPECT_EQ(d_->live_swimlane(42), 1);

  /* Without a client certificate, or with one of another CA: 403. */
  for (const char *who : {"", "other-client"}) {
    auto res = d_->post(kMapPath, "<drask><map account=\"42\" cluster=\"2\"/></drask>", who);
    EXPECT_EQ(res.status, 403) << who;
  }
  EXPECT_EQ(d_->conf_text(), before);
  EXPECT_EQ(d_->live_swimlane(42), 1);
}

TEST_F(KavalinMapUpdate, UpdatesTreeFileAndLiveMapAndSurviveRestart) {
  /* Two entries for one account: the configured one goes once, both new
   * ones are kept, the later is in force. An element named "text" is
   * dropped like white space. */
  auto r = d_->post(kMapPath,
                    "<drask>\n  <map account=\"42\" cluster=\"2\"/>\n"
                    "  <text/>\n"
                    "  <map account=\"42\" cluster=\"-1\"/>\n</drask>");
  EXPECT_EQ(r.status, 204) << r.body;
  EXPECT_EQ(d_->live_swimlane(42), -1);
  EXPECT_EQ(maps_of(d_->conf_text()),
            "[account=50,cluster=1] [account=50,cluster=2] [account=60] "
            "[account=42,cluster=2] [account=42,cluster=-1]");

  /* Several configured entries for 50: only the last is replaced. A map
   * without cluster removes 42's configured entries... once each request,
   * and leaves the live mapping alone. */
  r = d_->post(kMapPath,
               "<drask><map account=\"50\" cluster=\"-1\"/>"
               "<map account=\"42\"/><map account=\"60\" cluster=\"2\"/></drask>");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(d_->live_swimlane(50), -1);
  EXPECT_EQ(d_->live_swimlane(42), -1);
  EXPECT_EQ(d_->live_swimlane(60), 2);
  EXPECT_EQ(maps_of(d_->conf_text()),
            "[account=50,cluster=1] [account=60] [account=42,cluster=2] "
            "[account=50,cluster=-1] [account=60,cluster=2]");
  /* The audit line says who changed what, and the read-back shows the
   * one account whose live mapping (-1) the file no longer holds (2). */
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "map update from 127.0.0.1 (CN=wendrel operator): 2 mapped (50->-1, "
      "60->2), 0 refused for an unconfigured cluster, 1 dropped from the "
      "file only (42)\n", 5000));
  auto back = read_back(kMapPath);
  EXPECT_EQ(back.status, 200);
  EXPECT_NE(back.body.find("{\"account\":42,\"cluster\":-1,"
                           "\"discard_data_filter\":null}"),
            std::string::npos) << back.body;
  EXPECT_NE(back.body.find(
                "\"file_differs\":true,\"differences\":[{\"account\":42,"
                "\"live\":{\"cluster\":-1,\"discard_data_filter\":null},"
                "\"file\":{\"cluster\":2,\"discard_data_filter\":null}}]}"),
            std::string::npos) << back.body;
  EXPECT_EQ(read_back(kMapPath, "").status, 403);

  /* An unconfigured cluster: 202, written to the file all the same, not
   * live; the refusal is noticed. */
  r = d_->post(kMapPath, "<drask><map account=\"70\" cluster=\"7\"/>"
                         "<map account=\"71\" cluster=\"1\"/></drask>");
  EXPECT_EQ(r.status, 202);
  EXPECT_EQ(d_->live_swimlane(70), 0);
  EXPECT_EQ(d_->live_swimlane(71), 1);
  EXPECT_NE(maps_of(d_->conf_text()).find("[account=70,cluster=7]"),
            std::string::npos);
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "account 70 maps to unconfigured cluster 7", 5000));

  /* The written file loads again and the mappings survive. */
  ASSERT_TRUE(d_->restart()) << d_->log();
  EXPECT_EQ(d_->live_swimlane(50), -1);
  EXPECT_EQ(d_->live_swimlane(42), 2); /* 42's -1 entry was removed above */
  EXPECT_EQ(d_->live_swimlane(60), 2);
  EXPECT_EQ(d_->live_swimlane(71), 1);
  EXPECT_EQ(d_->live_swimlane(70), 0);
}

TEST_F(KavalinMapUpdate, EmptyDocumentAndFilters) {
  auto r = d_->post(kMapPath, "<drask/>");
  EXPECT_EQ(r.status, 204);
  r = d_->post(kMapPath,
               "<drask><map account=\"80\" cluster=\"2\" "
               "discard_data_filter=\"and(env:prod,host:web*)\"/>"
               "<map account=\"81\" cluster=\"2\" discard_data_filter=\"((\"/>"
               "</drask>");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(d_->live_swimlane(80), 2);
  EXPECT_EQ(d_->live_swimlane(81), 2);
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "error parsing discard_data_filter_value '((' at offset `", 5000));
  /* Later updates parse the configured filters again; the bad text is
   * not reported again. The read-back shows each live filter's text.
   * Without drask/update_clients any verified certificate may post. */
  EXPECT_EQ(d_->post(kMapPath, "<drask/>", "auditor").status, 204);
  const std::string log = d_->log();
  const std::string bad = "error parsing discard_data_filter_value '(('";
  EXPECT_EQ(log.find(bad, log.find(bad) + 1), std::string::npos) << log;
  auto back = read_back(kMapPath);
  EXPECT_NE(back.body.find("{\"account\":80,\"cluster\":2,"
                           "\"discard_data_filter\":\"and(env:prod,host:web*)\"}"),
            std::string::npos) << back.body;
  EXPECT_NE(back.body.find("\"file_differs\":false,\"differences\":[]}"),
            std::string::npos) << back.body;
}

/* Least privilege: with drask/update_clients only the certificates it
 * names may post to either endpoint, by subject or by an alternative name
 * (spelt here in other letter cases); any other verified certificate gets
 * 403 and an audit line, and changes nothing, also when a list in the
 * wrong place (under swimlane, which is not read) names it. Reading back
 * still needs only a verified certificate. */
TEST(KavalinUpdateClients, OnlyNamedCertificatesMayPost) {
  KavalinDaemon d("<drask><update_clients>"
                  "<client subject=\"CN=wendrel operator\"/>"
                  "<client san=\"dns:Deploy.Example.NET\"/>"
                  "</update_clients><swimlane>"
                  "<update_clients><client subject=\"CN=wendrel auditor\"/>"
                  "</update_clients>"
                  "<bootstrap cluster=\"1\" host=\"127.0.0.1:18101\"/>"
                  "<bootstrap cluster=\"3\" host=\"127.0.0.1:18301\"/>"
                  "<bootstrap host=\"127.0.0.1:18101\"/>"
                  "</swimlane></drask>");
  ASSERT_TRUE(d.start()) << d.log();
  EXPECT_TRUE(d.daemon().wait_for_log(
      "update_clients: 1 element(s) not directly under drask are not read", 5000));
  const std::string cluster3 = "/module/kavalin/cluster/3";
  EXPECT_EQ(d.post(kMapPath, "<drask><map account=\"42\" cluster=\"1\"/></drask>",
                   "client").status, 204);
  EXPECT_EQ(d.post(kMapPath, "<drask><map account=\"44\" cluster=\"3\"/></drask>",
                   "deployer").status, 204);
  EXPECT_EQ(d.post(cluster3, "<drask><bootstrap host=\"127.0.0.1:18302\"/></drask>",
                   "deployer").status, 204);
  EXPECT_EQ(d.live_swimlane(44), 3);

  const std::string before = d.conf_text();
  EXPECT_EQ(d.post(kMapPath, "<drask><map account=\"43\" cluster=\"1\"/></drask>",
                   "auditor").status, 403);
  EXPECT_EQ(d.post(cluster3, "<drask/>", "auditor").status, 403);
  EXPECT_EQ(d.conf_text(), before);
  EXPECT_EQ(d.live_swimlane(43), 0);
  for (const char *path : {"/module/kavalin/map", "/module/kavalin/cluster/3"})
    EXPECT_TRUE(d.daemon().wait_for_log(
        std::string("update refused for 127.0.0.1 (CN=wendrel auditor): POST ") +
            path + "; the certificate is not named in drask/update_clients\n",
        5000)) << d.log();
  wendrel_test::RequestOptions opt;
  opt.identity = "auditor";
  EXPECT_EQ(wendrel_test::https_request(d.certs(), d.daemon().https_port(),
                                        kMapPath, opt).status, 200);
}

/* A write that fails for root too: the configuration path is a directory.
 * The answer and the live map are as usual; the failure is logged. */
TEST_F(KavalinMapUpdate, FailedFileWriteStillAnswers) {
  ASSERT_EQ(unlink(d_->conf_path().c_str()), 0);
  ASSERT_EQ(mkdir(d_->conf_path().c_str(), 0755), 0);
  auto r = d_->post(kMapPath, "<drask><map account=\"90\" cluster=\"2\"/></drask>");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(d_->live_swimlane(90), 2);
  EXPECT_TRUE(d_->daemon().wait_for_log("local config write failed", 5000));
  rmdir(d_->conf_path().c_str());
}

/* A daemon killed in the middle of updates leaves a whole file: the old
 * one or a new one, which loads and carries every entry it had. */
TEST(KavalinMapUpdateKill, KilledDaemonLeavesAWholeFile) {
  for (int round = 0; round < 3; round++) {
    KavalinDaemon d(kDrask);
    ASSERT_TRUE(d.start()) << d.log();
    /* Posts until the daemon is gone, so the kill lands among updates. */
    std::thread poster([&] {
      for (int i = 0; i < 5000; i++) {
        auto r = d.post(kMapPath, "<drask><map account=\"" +
                                      std::to_string(1000 + i) +
                                      "\" cluster=\"2\"/></drask>");
        if (r.status == 0) break; /* the daemon is gone */
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + 70 * round));
    kill(d.daemon().pid(), SIGKILL);
    poster.join();
    d.daemon().wait_exit(5000);
    std::string text = d.conf_text();
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()),
                                  nullptr, nullptr, XML_PARSE_NOERROR);
    ASSERT_NE(doc, nullptr) << "torn configuration file:\n" << text;
    xmlFreeDoc(doc);
    EXPECT_NE(maps_of(text).find("[account=50,cluster=2]"), std::string::npos);
    /* The start sweeps away what a write cut short left beside the file
     * (planted here, as the kill does not always leave one), and leaves
     * another tool's temporary file (rsync's name) alone. */
    const std::string conf = d.conf_path();
    const std::string hidden = conf.substr(0, conf.rfind('/') + 1) + "." +
                               conf.substr(conf.rfind('/') + 1);
    const std::string leftover = hidden + ".wendrel-tmp.Kx7q2Z";
    const std::string rsyncs = hidden + ".Kx7q2Z";
    ASSERT_TRUE(wendrel_test::write_file(leftover, "<wendrel>"));
    ASSERT_TRUE(wendrel_test::write_file(rsyncs, "<wendrel>"));
    ASSERT_TRUE(d.restart()) << d.log();
    EXPECT_NE(access(leftover.c_str(), F_OK), 0) << leftover;
    EXPECT_NE(d.log().find("removed '" + leftover + "'"), std::string::npos);
    EXPECT_EQ(access(rsyncs.c_str(), F_OK), 0) << rsyncs;
  }
}

/* A file that already holds a map element inside a map element: the
 * nested one maps nothing, and a request naming both accounts removes the
 * outer element (and the nested one with it) once. */
TEST(KavalinMapNesting, NestedEntryInTheFileIsInertAndRemovedOnce) {
  KavalinDaemon d("<drask><swimlane>"
                  "<bootstrap cluster=\"1\" host=\"127.0.0.1:18101\"/>"
                  "<bootstrap cluster=\"2\" host=\"127.0.0.1:18201\"/>"
                  "<account_map><map account=\"42\" cluster=\"1\"><swimlane>"
                  "<account_map><map account=\"43\" cluster=\"2\"/></account_map>"
                  "</swimlane></map></account_map></swimlane></drask>");
  ASSERT_TRUE(d.start()) << d.log();
  EXPECT_EQ(d.live_swimlane(42), 1);
  EXPECT_EQ(d.live_swimlane(43), 0);

  auto r = d.post(kMapPath, "<drask><map account=\"42\" cluster=\"2\"/>"
                            "<map account=\"43\" cluster=\"1\"/></drask>");
  ASSERT_EQ(r.status, 204) << d.log();
  EXPECT_EQ(d.live_swimlane(42), 2);
  EXPECT_EQ(d.live_swimlane(43), 1);
  EXPECT_EQ(elements(d.conf_text(), "//map"),
            "[account=42,cluster=2] [account=43,cluster=1]");
  ASSERT_TRUE(d.restart()) << d.log();
  EXPECT_EQ(d.live_swimlane(42), 2);
  EXPECT_EQ(d.live_swimlane(43), 1);
}

/* No swimlane section: 500, and nothing changes. With a swimlane but no
 * account map section, the section is created. */
TEST(KavalinMapUpdateSections, MissingSections) {
  KavalinDaemon bare("<drask><bootstrap cluster=\"1\" host=\"h\"/></drask>");
  ASSERT_TRUE(bare.start()) << bare.log();
  std::string before = bare.conf_text();
  auto r = bare.post(kMapPath, "<drask><map account=\"1\" cluster=\"1\"/></drask>");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(error_text(r.body),
            "invalid config (missing //drask//swimlane section)");
  EXPECT_EQ(bare.conf_text(), before);
  EXPECT_EQ(bare.live_swimlane(1), 0);

  KavalinDaemon lane("<drask><swimlane><bootstrap cluster=\"1\" host=\"h\"/>"
                     "</swimlane></drask>");
  ASSERT_TRUE(lane.start()) << lane.log();
  r = lane.post(kMapPath, "<drask><map account=\"1\" cluster=\"1\"/></drask>");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(maps_of(lane.conf_text()), "[account=1,cluster=1]");
  EXPECT_EQ(lane.live_swimlane(1), 1);
}

/* Hostile uploads: a document type declaration in any form (entities
 * expand in memory but would be written back undeclared, so the file
 * would no longer load), a deeply nested document, and a chunked body
 * past the upload limit. Each is refused before anything changes. */
TEST_F(KavalinMapUpdate, HostileUploadsAreRefusedAndChangeNothing) {
  const std::string before = d_->conf_text();
  std::string deep = "<drask><map account=\"42\" cluster=\"2\">";
  for (int i = 0; i < 40; ++i) deep += "<x>";
  for (int i = 0; i < 40; ++i) deep += "</x>";
  deep += "</map></drask>";
  const std::pair<const char *, std::string> rows[] = {
      {kMapPath,
       "<!DOCTYPE drask [<!ENTITY x \"42\">]>"
       "<drask><map account=\"&x;\" cluster=\"2\"/></drask>"},
      {"/module/kavalin/cluster/1",
       "<!DOCTYPE drask [<!ENTITY h \"127.0.0.1:18999\">]>"
       "<drask><bootstrap host=\"&h;\"/></drask>"},
      {kMapPath,
       "<!DOCTYPE drask [<!ENTITY x SYSTEM \"file:///etc/hostname\">]>"
       "<drask><map account=\"42\" cluster=\"2\">&x;</map></drask>"},
      {kMapPath,
       "<!DOCTYPE drask SYSTEM \"file:///nonexistent/drask.dtd\">"
       "<drask><map account=\"42\" cluster=\"2\"/></drask>"},
      {kMapPath, deep},
  };
  for (const auto &[path, body] : rows) {
    auto r = d_->post(path, body);
    EXPECT_EQ(r.status, 400) << body;
    EXPECT_EQ(error_text(r.body), "xml parse error") << body;
  }

  /* A valid update padded past 64 MiB and sent chunked, so that its size
   * is known only once it has arrived. */
  wendrel_test::RequestOptions o;
  o.method = "POST";
  o.with_body = true;
  o.body = "<drask><map account=\"42\" cluster=\"2\"/>" +
           std::string((64u << 20) + 16, ' ') + "</drask>";
  o.headers = {"Content-Type: application/xml", "Transfer-Encoding: chunked"};
  auto r = wendrel_test::https_request(d_->certs(), d_->daemon().https_port(),
                                       kMapPath, o);
  EXPECT_EQ(r.status, 413) << r.error;
  EXPECT_EQ(r.body, "request body too large\n");

  EXPECT_EQ(d_->conf_text(), before);
  EXPECT_EQ(d_->live_swimlane(42), 1);
  ASSERT_TRUE(d_->restart()) << d_->log();
  EXPECT_EQ(d_->live_swimlane(42), 1);
}

}  // namespace
