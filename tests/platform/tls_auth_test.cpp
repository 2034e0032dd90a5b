// Client-certificate admission over real TLS: certificates made by
// scripts/make-certs.sh, requests made with libcurl.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_test_client.h"
#include "platform/zorv/http_session.h"
#include "zorv/log.h"
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

// Requests to /hold/N wait in their handler, on the server thread that
// serves them, until the test lets them go.
struct Holds {
  std::mutex mu;
  std::condition_variable cv;
  int entered = 0;
  int released = 0;  // holds 0 .. released-1 may leave
} g_holds;

int hold(zorv_http_rest_closure_t *restc, int npats, char **pats) {
  int n = npats > 0 ? atoi(pats[0]) : 0;
  {
    std::unique_lock lk(g_holds.mu);
    ++g_holds.entered;
    g_holds.cv.notify_all();
    g_holds.cv.wait(lk, [&] { return n < g_holds.released; });
  }
  return open_route(restc, npats, pats);
}

// Lines on the error stream, as the log sends them out.
struct ErrorLines {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> lines;
  static void record(void *cls, const char *stream, const char *text) {
    auto *self = static_cast<ErrorLines *>(cls);
    if (std::string(stream) != "error") return;
    std::lock_guard lk(self->mu);
    self->lines.push_back(text);
    self->cv.notify_all();
  }
};

// A plain-text request to a TLS port from source address from: the
// server's handshake fails on it.
int plain_text_to_tls(const char *from, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from, &a.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const char text[] = "GET /open/ping HTTP/1.0\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      send(fd, text, sizeof text - 1, MSG_NOSIGNAL) != ssize_t(sizeof text - 1)) {
    close(fd);
    return -1;
  }
  return fd;
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
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/hold/", "^(\\d+)$", hold));

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

// Each failed handshake is logged with the peer of its own connection. Two
// connections fail one after the other on one server thread, in one pass
// of its loop (every other thread is held in a handler, and both wait in
// the listen queue until the one free thread takes them together): each
// line must name its own peer, none another's, none none. The holding
// requests (from 127.0.0.1) completed their handshakes: no line for them.
TEST_F(TlsAuthTest, FailedHandshakeNamesItsOwnPeer) {
  std::vector<std::thread> holders;
  for (unsigned i = 0; i < zorv::http::kThreadPoolSize; ++i) {
    holders.emplace_back([i] {
      http_test::perform(tls_request(g_tls_port, "/hold/" + std::to_string(i), nullptr));
    });
    std::unique_lock lk(g_holds.mu);
    g_holds.cv.wait(lk, [&] { return g_holds.entered == int(i) + 1; });
  }
  ErrorLines seen;
  zorv_log_set_observer(&ErrorLines::record, &seen);
  int first = plain_text_to_tls("127.0.0.2", g_tls_port);
  int second = plain_text_to_tls("127.0.0.3", g_tls_port);
  EXPECT_GE(first, 0);
  EXPECT_GE(second, 0);
  {
    std::lock_guard lk(g_holds.mu);
    g_holds.released = 1;  // one thread goes back to its loop
  }
  g_holds.cv.notify_all();
  auto named = [&](const char *peer) {
    for (const auto &line : seen.lines)
      if (line.find("TLS handshake failed (peer " + std::string(peer) + ")") !=
          std::string::npos)
        return true;
    return false;
  };
  {
    std::unique_lock lk(seen.mu);
    seen.cv.wait_for(lk, std::chrono::seconds(20),
                     [&] { return named("127.0.0.2") && named("127.0.0.3"); });
  }
  {
    std::lock_guard lk(g_holds.mu);
    g_holds.released = int(zorv::http::kThreadPoolSize);
  }
  g_holds.cv.notify_all();
  for (auto &t : holders) t.join();
  zorv_log_set_observer(nullptr, nullptr);
  if (first >= 0) close(first);
  if (second >= 0) close(second);

  EXPECT_TRUE(named("127.0.0.2"));
  EXPECT_TRUE(named("127.0.0.3"));
  for (const auto &line : seen.lines) {
    if (line.find("handshake") != std::string::npos) {
      EXPECT_TRUE(line.find("(peer 127.0.0.2)") != std::string::npos ||
                  line.find("(peer 127.0.0.3)") != std::string::npos) << line;
    }
  }
}

}  // namespace
