// The REST server over plain HTTP on loopback: routing and captures,
// request accessors, response options, uploads in pieces and the XML
// upload reader.
#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/http_test_client.h"
#include "zorv/host.h"
#include "zorv/rest.h"

namespace {

int g_port = 0;

std::string url(const std::string &path) {
  return "http://127.0.0.1:" + std::to_string(g_port) + path;
}

void reply(zorv_http_rest_closure_t *restc, int status, const std::string &body) {
  zorv_http_response_status_set(restc->http_ctx, status, "OK");
  zorv_http_response_header_set(restc->http_ctx, "Content-Type", "text/plain");
  zorv_http_response_append(restc->http_ctx, body.data(), body.size());
  zorv_http_response_end(restc->http_ctx);
}

int echo_captures(zorv_http_rest_closure_t *restc, int npats, char **pats) {
  std::string out = std::to_string(npats) + ":";
  for (int i = 0; i < npats; ++i) out += (i ? "|" : "") + std::string(pats[i]);
  reply(restc, 200, out);
  return 0;
}

int first_route(zorv_http_rest_closure_t *restc, int, char **) {
  reply(restc, 200, "first");
  return 0;
}
int second_route(zorv_http_rest_closure_t *restc, int, char **) {
  reply(restc, 200, "second");
  return 0;
}

int echo_request(zorv_http_rest_closure_t *restc, int, char **) {
  auto *ctx = restc->http_ctx;
  const char *q = zorv_http_request_querystring(ctx, "q");
  const char *h = zorv_http_request_header(ctx, "x-test-header");
  const char *tags[4] = {};
  int n = zorv_http_request_querystring_all(ctx, "tag", tags, 4);
  std::string out = std::string("q=") + (q ? q : "(null)") +
                    " h=" + (h ? h : "(null)") + " tags=" + std::to_string(n);
  for (int i = 0; i < n && i < 4; ++i) out += std::string(",") + tags[i];
  out += std::string(" path=") + restc->path + " tls=" + (restc->tls ? "1" : "0") +
         " peer=" + restc->remote_addr;
  reply(restc, 200, out);
  return 0;
}

// Answers with the option named in ?opt=, falling back from chunked to close
// the way the modules do; X-Chunked tells whether chunked was accepted.
int with_option(zorv_http_rest_closure_t *restc, int, char **) {
  auto *ctx = restc->http_ctx;
  const char *opt_arg = zorv_http_request_querystring(ctx, "opt");
  std::string opt = opt_arg ? opt_arg : "";
  const char *status = zorv_http_request_querystring(ctx, "status");
  zorv_http_response_status_set(ctx, status ? atoi(status) : 200, "OK");
  if (opt == "chunked") {
    bool ok = zorv_http_response_option_set(ctx, ZORV_HTTP_CHUNKED);
    zorv_http_response_header_set(ctx, "X-Chunked", ok ? "yes" : "no");
    if (!ok) zorv_http_response_option_set(ctx, ZORV_HTTP_CLOSE);
  } else if (opt == "close") {
    zorv_http_response_option_set(ctx, ZORV_HTTP_CLOSE);
  }
  zorv_http_response_append_str(ctx, "body-");
  zorv_http_response_append_str(ctx, "text");
  zorv_http_response_end(ctx);
  return 0;
}

int never_answers(zorv_http_rest_closure_t *, int, char **) { return 0; }

std::atomic<int> g_upload_calls{0};
std::atomic<int> g_upload_incomplete{0};
std::atomic<int> g_closures_freed{0};

void free_call_closure(void *p) {
  delete static_cast<int *>(p);
  g_closures_freed.fetch_add(1);
}

// The XML upload protocol as a module uses it: keep per-request state in
// call_closure, return the mask while incomplete, answer once complete.
int xml_upload(zorv_http_rest_closure_t *restc, int, char **) {
  g_upload_calls.fetch_add(1);
  if (!restc->call_closure) {
    restc->call_closure = new int(0);
    restc->call_closure_free = free_call_closure;
  }
  ++*static_cast<int *>(restc->call_closure);
  int mask = 0, complete = 0;
  xmlDocPtr doc = rest_get_xml_upload(restc, &mask, &complete);
  if (!complete) {
    g_upload_incomplete.fetch_add(1);
    return mask;
  }
  if (!doc) {
    reply(restc, 400, "xml parse error");
    return 0;
  }
  int elements = 0;
  for (xmlNodePtr n = xmlDocGetRootElement(doc)->children; n; n = n->next)
    if (n->type == XML_ELEMENT_NODE) ++elements;
  size_t len = 0;
  zorv_http_request_body(restc->http_ctx, &len);
  reply(restc, 200,
        "elements=" + std::to_string(elements) + " bytes=" + std::to_string(len) +
            " calls=" + std::to_string(*static_cast<int *>(restc->call_closure)));
  return 0;
}

int xml_answer(zorv_http_rest_closure_t *restc, int, char **) {
  xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
  xmlNodePtr root = xmlNewNode(nullptr, BAD_CAST "error");
  xmlDocSetRootElement(doc, root);
  xmlNodeAddContent(root, BAD_CAST "a < b");
  zorv_http_response_status_set(restc->http_ctx, 400, "ERROR");
  zorv_http_response_header_set(restc->http_ctx, "Content-Type", "text/html");
  zorv_http_response_xml(restc->http_ctx, doc);
  zorv_http_response_end(restc->http_ctx);
  xmlFreeDoc(doc);
  return 0;
}

class RestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/cap/",
                                         "^(\\d+)/(?:x|y)/([a-z]+)(/extra)?$",
                                         echo_captures));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/order/", "^a", first_route));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/order/", "^a.*$", second_route));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/order/", "^b[[:digit:]]$", second_route));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/echo", "", echo_request));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/opt", "^$", with_option));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/silent", "^$", never_answers));
    ASSERT_EQ(0, zorv_http_rest_register("POST", "/upload", "^$", xml_upload));
    ASSERT_EQ(0, zorv_http_rest_register("GET", "/xml", "^$", xml_answer));
    char *err = nullptr;
    g_port = zorv_http_listen("127.0.0.1", 0, nullptr, nullptr, nullptr, &err);
    ASSERT_GT(g_port, 0) << (err ? err : "");
  }
  static void TearDownTestSuite() { zorv_http_stop_listeners(); }
};

TEST_F(RestTest, RoutesByPrefixAndExpressionWithCaptures) {
  auto r = http_test::get(url("/cap/42/x/abc"));
  EXPECT_EQ(200, r.status);
  // (?:x|y) does not capture; the optional group that took no part is
  // handed over as an empty capture.
  EXPECT_EQ("3:42|abc|", r.body);
  EXPECT_EQ("3:7|abc|/extra", http_test::get(url("/cap/7/y/abc/extra")).body);
  EXPECT_EQ(404, http_test::get(url("/cap/x/x/abc")).status);  // \d is a digit
  EXPECT_EQ(404, http_test::get(url("/cap/42/z/abc")).status);
  EXPECT_EQ(404, http_test::get(url("/nothing/here")).status);

  http_test::Request post;
  post.method = "POST";
  post.url = url("/cap/42/x/abc");
  EXPECT_EQ(405, http_test::perform(post).status);
}

TEST_F(RestTest, FirstMatchingRegistrationWins) {
  EXPECT_EQ("first", http_test::get(url("/order/abc")).body);
  EXPECT_EQ("second", http_test::get(url("/order/b7")).body);
  EXPECT_EQ(404, http_test::get(url("/order/bx")).status);
}

TEST_F(RestTest, RefusesExpressionsThatDoNotCompile) {
  EXPECT_EQ(-1, zorv_http_rest_register("GET", "/bad/", "(abc", never_answers));
  EXPECT_EQ(-1, zorv_http_rest_register("GET", "/bad/", "abc)", never_answers));
  EXPECT_EQ(-1, zorv_http_rest_register("GET", "/bad/", "[a-", never_answers));
  EXPECT_EQ(404, http_test::get(url("/bad/abc")).status);
}

TEST_F(RestTest, RequestAccessors) {
  http_test::Request req;
  req.url = url("/echo/sub?q=hello%20world&tag=a:1&tag=b:2");
  req.headers.push_back("X-Test-Header: v1");
  auto r = http_test::perform(req);
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("q=hello world h=v1 tags=2,a:1,b:2 path=/echo/sub tls=0 peer=127.0.0.1",
            r.body);
  EXPECT_EQ("q=(null) h=(null) tags=0 path=/echo tls=0 peer=127.0.0.1",
            http_test::get(url("/echo")).body);
}

TEST_F(RestTest, ResponseOptions) {
  auto plain = http_test::get(url("/opt"));
  EXPECT_EQ("body-text", plain.body);
  EXPECT_EQ("9", plain.headers["content-length"]);
  EXPECT_EQ(0u, plain.headers.count("transfer-encoding"));
  EXPECT_FALSE(plain.has_header("connection", "close"));

  auto chunked = http_test::get(url("/opt?opt=chunked"));
  EXPECT_EQ("body-text", chunked.body);
  EXPECT_EQ("yes", chunked.headers["x-chunked"]);
  EXPECT_TRUE(chunked.has_header("transfer-encoding", "chunked"));
  EXPECT_FALSE(chunked.has_header("connection", "close"));

  auto close = http_test::get(url("/opt?opt=close"));
  EXPECT_EQ("body-text", close.body);
  EXPECT_EQ("9", close.headers["content-length"]);
  EXPECT_TRUE(close.has_header("connection", "close"));

  // HTTP/1.0 has no chunked framing: the option is refused and the
  // fallback closes the connection after a body of known length.
  http_test::Request old;
  old.url = url("/opt?opt=chunked");
  old.http10 = true;
  auto r10 = http_test::perform(old);
  EXPECT_EQ("body-text", r10.body);
  EXPECT_EQ("no", r10.headers["x-chunked"]);
  EXPECT_EQ(0u, r10.headers.count("transfer-encoding"));

  // A 204 carries no body even when chunked was asked for.
  auto empty = http_test::get(url("/opt?opt=chunked&status=204"));
  EXPECT_EQ(204, empty.status);
  EXPECT_EQ("", empty.body);
  EXPECT_EQ(0u, empty.headers.count("transfer-encoding"));
}

TEST_F(RestTest, HandlerThatDoesNotAnswerGets500) {
  EXPECT_EQ(500, http_test::get(url("/silent")).status);
}

TEST_F(RestTest, XmlResponse) {
  auto r = http_test::get(url("/xml"));
  EXPECT_EQ(400, r.status);
  EXPECT_EQ("text/html", r.headers["content-type"]);
  EXPECT_NE(std::string::npos, r.body.find("<?xml version=\"1.0\""));
  EXPECT_NE(std::string::npos, r.body.find("<error>a &lt; b</error>"));
}

TEST_F(RestTest, MultiMegabyteUploadArrivesWhole) {
  std::string body = "<drask>\n";
  const int kElements = 100000;
  for (int i = 0; i < kElements; ++i)
    body += "  <map account=\"" + std::to_string(i) + "\" cluster=\"3\"/>\n";
  body += "</drask>\n";
  ASSERT_GT(body.size(), 3u << 20);

  int calls_before = g_upload_calls.load();
  int incomplete_before = g_upload_incomplete.load();
  int freed_before = g_closures_freed.load();
  http_test::Request req;
  req.method = "POST";
  req.url = url("/upload");
  req.body = body;
  req.has_body = true;
  req.headers.push_back("Content-Type: application/xml");
  auto r = http_test::perform(req);
  ASSERT_EQ(200, r.status) << r.error << r.body;
  EXPECT_EQ(0u, r.body.find("elements=" + std::to_string(kElements) +
                            " bytes=" + std::to_string(body.size())))
      << r.body;
  // The handler saw the body arrive in several pieces before it was whole.
  EXPECT_GT(g_upload_incomplete.load() - incomplete_before, 2);
  EXPECT_EQ(g_upload_calls.load() - calls_before,
            g_upload_incomplete.load() - incomplete_before + 1);
  // The per-request state is released once the request is over.
  for (int i = 0; i < 200 && g_closures_freed.load() == freed_before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(freed_before + 1, g_closures_freed.load());
}

TEST_F(RestTest, UploadThatIsNotAPlainDocument) {
  http_test::Request req;
  req.method = "POST";
  req.url = url("/upload");
  req.body = "this is <not xml";
  req.has_body = true;
  auto r = http_test::perform(req);
  EXPECT_EQ(400, r.status);
  EXPECT_EQ("xml parse error", r.body);

  req.body.clear();  // an empty body is no document either
  EXPECT_EQ(400, http_test::perform(req).status);

  // Any document type declaration is refused, so that nothing declared in
  // an upload is expanded or fetched; so is nesting past a modest depth.
  auto nested = [](int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) open += "<e>", close = "</e>" + close;
    return "<r>" + open + close + "</r>";
  };
  for (const std::string &doc :
       {std::string("<!DOCTYPE r [<!ENTITY x \"42\">]><r a=\"&x;\"/>"),
        std::string("<!DOCTYPE r [<!ENTITY x SYSTEM \"/etc/hostname\">]><r>&x;</r>"),
        std::string("<!DOCTYPE r SYSTEM \"/nonexistent/r.dtd\"><r/>"),
        std::string("<!DOCTYPE r><r/>"), nested(40)}) {
    req.body = doc;
    auto refused = http_test::perform(req);
    EXPECT_EQ(400, refused.status) << doc;
    EXPECT_EQ("xml parse error", refused.body) << doc;
  }
  req.body = nested(20);
  EXPECT_EQ(200, http_test::perform(req).status);
}

TEST_F(RestTest, OversizedUploadIsRefusedWith413) {
  // Bodies produced lazily. An announced 100 MB is refused from the headers
  // alone, so almost nothing of it is ever produced; a chunked body has no
  // length to refuse early, so it is refused once it has grown past the
  // limit, with the same answer rather than a cut connection.
  struct Source {
    curl_off_t produced = 0;
    curl_off_t stop_at = 0;
  };
  auto produce = +[](char *buf, size_t size, size_t n, void *cls) -> size_t {
    auto *s = static_cast<Source *>(cls);
    size_t len = std::min<curl_off_t>(size * n, s->stop_at - s->produced);
    memset(buf, 'x', len);
    s->produced += static_cast<curl_off_t>(len);
    return len;
  };
  for (bool chunked : {false, true}) {
    SCOPED_TRACE(chunked ? "chunked" : "announced");
    Source src;
    src.stop_at = chunked ? 80ll << 20 : 100ll << 20;
    CURL *curl = curl_easy_init();
    std::string body, u = url("/upload");
    curl_slist *hdrs = chunked ? curl_slist_append(nullptr,
                                                   "Transfer-Encoding: chunked")
                               : nullptr;
    curl_easy_setopt(curl, CURLOPT_URL, u.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    if (chunked)
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, hdrs);
    else
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, src.stop_at);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, produce);
    curl_easy_setopt(curl, CURLOPT_READDATA, &src);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, http_test::collect_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    int calls_before = g_upload_calls.load();
    int incomplete_before = g_upload_incomplete.load();
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(hdrs);
    EXPECT_EQ(413, status) << curl_easy_strerror(rc);
    EXPECT_EQ("request body too large\n", body);
    if (chunked) {
      // The handler saw pieces, never a complete body.
      EXPECT_EQ(g_upload_calls.load() - calls_before,
                g_upload_incomplete.load() - incomplete_before);
    } else {
      EXPECT_LT(src.produced, 1ll << 20);
      EXPECT_EQ(calls_before, g_upload_calls.load());
    }
  }
}

TEST_F(RestTest, ListenRefusesBadArguments) {
  char *err = nullptr;
  EXPECT_EQ(-1, zorv_http_listen("127.0.0.1", 0, "/nonexistent/cert.pem",
                                 "/nonexistent/key.pem", nullptr, &err));
  ASSERT_NE(nullptr, err);
  EXPECT_NE(nullptr, strstr(err, "/nonexistent/cert.pem")) << err;
  free(err);
  err = nullptr;
  EXPECT_EQ(-1, zorv_http_listen("127.0.0.1", g_port, nullptr, nullptr,
                                 nullptr, &err));
  ASSERT_NE(nullptr, err);
  EXPECT_NE(nullptr, strstr(err, "cannot listen on 127.0.0.1")) << err;
  free(err);
}

}  // namespace
