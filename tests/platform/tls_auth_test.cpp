// Client-certificate admission over real TLS: certificates made by
// scripts/make-certs.sh, requests made with libcurl.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <string>

#include "platform/http_test_client.h"
#include "zorv/host.h"
#include "zorv/rest.h"

namespace {

std::string g_certs;
int g_tls_port = 0;       // TLS, asks for client certificates
int g_tls_no_ca_port = 0; // TLS without a client CA
int g_plain_port = 0;
std::atomic<int> g_secure_calls{0};

int secure(zorv_http_rest_closure_t *restc, int, char **) {
  g_secure_calls.fetch_add(1);
  zorv_http_response_status_set(restc->http_ctx, 200, "OK");
  zorv_http_response_append_str(restc->http_ctx, "admitted");
  zorv_http_response_end(restc->http_ctx);
  return 0;
}

int secure_upload(zorv_http_rest_closure_t *restc, int npats, char **pats) {
  int mask = 0, complete = 0;
  rest_get_xml_upload(restc, &mask, &complete);
  if (!complete) return mask;
  return secure(restc, npats, pats);
}

int open_route(zorv_http_rest_closure_t *restc, int, char **) {
  zorv_http_response_status_set(restc->http_ctx, 200, "OK");
  zorv_http_response_append_str(restc->http_ctx, restc->tls ? "open tls" : "open");
  zorv_http_response_end(restc->http_ctx);
  return 0;
}

std::string cert(const char *name) { return g_certs + "/" + name; }

class TlsAuthTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const char *src = getenv("ZORV_SOURCE_DIR");
    ASSERT_NE(nullptr, src) << "ZORV_SOURCE_DIR is not set";
    char tmpl[] = "/tmp/zorv-tls-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    g_certs = tmpl;
    std::string cmd = std::string(src) + "/scripts/make-certs.sh " + g_certs +
                      " >/dev/null";
    ASSERT_EQ(0, system(cmd.c_str()));

    ASSERT_EQ(0, zorv_http_rest_register_auth("GET", "/secure/", "^ping$", secure,
                                              zorv_http_rest_client_cert_auth));
    ASSERT_EQ(0, zorv_http_rest_register_auth("POST", "/secure/", "^upload$",
                                              secure_upload,
                                              zorv_http_rest_client_cert_auth));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/open/", "^ping$", open_route));

    char *err = nullptr;
    g_tls_port = zorv_http_listen("127.0.0.1", 0, cert("server.crt").c_str(),
                                  cert("server.key").c_str(),
                                  cert("ca.crt").c_str(), &err);
    ASSERT_GT(g_tls_port, 0) << (err ? err : "");
    g_tls_no_ca_port = zorv_http_listen("127.0.0.1", 0, cert("server.crt").c_str(),
                                        cert("server.key").c_str(), nullptr, &err);
    ASSERT_GT(g_tls_no_ca_port, 0) << (err ? err : "");
    g_plain_port = zorv_http_listen("127.0.0.1", 0, nullptr, nullptr, nullptr, &err);
    ASSERT_GT(g_plain_port, 0) << (err ? err : "");
  }
  static void TearDownTestSuite() {
    zorv_http_stop_listeners();
    std::string cmd = "rm -rf " + g_certs;
    (void)system(cmd.c_str());
  }

  static http_test::Request tls_request(int port, const std::string &path,
                                        const char *identity) {
    http_test::Request r;
    r.url = "https://localhost:" + std::to_string(port) + path;
    r.ca_file = cert("ca.crt");
    if (identity) {
      r.cert_file = cert((std::string(identity) + ".crt").c_str());
      r.key_file = cert((std::string(identity) + ".key").c_str());
    }
    return r;
  }
};

TEST_F(TlsAuthTest, TrustedClientCertificateIsAdmitted) {
  int before = g_secure_calls.load();
  auto r = http_test::perform(tls_request(g_tls_port, "/secure/ping", "client"));
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("admitted", r.body);
  EXPECT_EQ(before + 1, g_secure_calls.load());
}

TEST_F(TlsAuthTest, EveryOtherCredentialIsRefusedBeforeTheHandler) {
  // No certificate; one from an unrelated CA; one the CA signed for servers
  // only (it verifies, but is not meant for client authentication); the
  // server's own certificate presented as a client's.
  for (const char *identity :
       {(const char *)nullptr, "other-client", "server-only", "server"}) {
    SCOPED_TRACE(identity ? identity : "no certificate");
    int before = g_secure_calls.load();
    auto r = http_test::perform(tls_request(g_tls_port, "/secure/ping", identity));
    EXPECT_EQ(403, r.status) << r.error;
    EXPECT_EQ(before, g_secure_calls.load());
  }
}

TEST_F(TlsAuthTest, HandshakeDoesNotRequireACertificate) {
  auto r = http_test::perform(tls_request(g_tls_port, "/open/ping", nullptr));
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("open tls", r.body);
}

TEST_F(TlsAuthTest, PlainHttpAndListenersWithoutClientCaRefuse) {
  int before = g_secure_calls.load();
  auto plain = http_test::get("http://127.0.0.1:" + std::to_string(g_plain_port) +
                              "/secure/ping");
  EXPECT_EQ(403, plain.status) << plain.error;
  EXPECT_EQ("open", http_test::get("http://127.0.0.1:" +
                                   std::to_string(g_plain_port) + "/open/ping")
                        .body);
  auto no_ca = http_test::perform(tls_request(g_tls_no_ca_port, "/secure/ping", "client"));
  EXPECT_EQ(403, no_ca.status) << no_ca.error;
  EXPECT_EQ(before, g_secure_calls.load());
}

TEST_F(TlsAuthTest, RefusedUploadIsAnsweredBeforeTheBodyIsRead) {
  auto req = tls_request(g_tls_port, "/secure/upload", nullptr);
  req.method = "POST";
  req.body.assign(8u << 20, 'x');
  req.has_body = true;
  int before = g_secure_calls.load();
  auto r = http_test::perform(req);
  EXPECT_EQ(403, r.status) << r.error;
  EXPECT_EQ(before, g_secure_calls.load());

  // The same upload with the trusted certificate goes through whole.
  req = tls_request(g_tls_port, "/secure/upload", "client");
  req.method = "POST";
  req.body = "<drask/>";
  req.has_body = true;
  EXPECT_EQ(200, http_test::perform(req).status);
  EXPECT_EQ(before + 1, g_secure_calls.load());
}

}  // namespace
