// The REST server under concurrent use: several keep-alive clients, uploads
// and routes registered while requests are being served (modules register
// theirs from post-initialisation hooks, after the listeners started).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_test_client.h"
#include "zorv/host.h"
#include "zorv/memory.h"
#include "zorv/rest.h"

namespace {

int echo_capture(zorv_http_rest_closure_t *restc, int npats, char **pats) {
  // Server threads use safe memory the way module handlers do.
  zorv_memory_begin();
  char *scratch = static_cast<char *>(zorv_memory_safe_malloc(64));
  snprintf(scratch, 64, "%s", npats == 1 ? pats[0] : "?");
  zorv_memory_end();
  zorv_http_response_status_set(restc->http_ctx, 200, "OK");
  zorv_http_response_append_str(restc->http_ctx, scratch);
  zorv_http_response_end(restc->http_ctx);
  zorv_memory_safe_free(scratch);
  return 0;
}

int body_length(zorv_http_rest_closure_t *restc, int, char **) {
  if (!zorv_http_request_body_complete(restc->http_ctx)) return ZORV_EVENT_READ;
  size_t len = 0;
  zorv_http_request_body(restc->http_ctx, &len);
  std::string out = std::to_string(len);
  zorv_http_response_status_set(restc->http_ctx, 200, "OK");
  zorv_http_response_append(restc->http_ctx, out.data(), out.size());
  zorv_http_response_end(restc->http_ctx);
  return 0;
}

int late(zorv_http_rest_closure_t *restc, int, char **) {
  zorv_http_response_status_set(restc->http_ctx, 200, "OK");
  zorv_http_response_append_str(restc->http_ctx, "late");
  zorv_http_response_end(restc->http_ctx);
  return 0;
}

TEST(RestConcurrencyTest, ParallelKeepAliveClientsWhileRoutesAreAdded) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  ASSERT_EQ(0, zorv_http_rest_register("GET", "/echo/", "^([a-z0-9]+)$", echo_capture));
  ASSERT_EQ(0, zorv_http_rest_register("POST", "/len", "^$", body_length));
  char *err = nullptr;
  int port = zorv_http_listen("127.0.0.1", 0, nullptr, nullptr, nullptr, &err);
  ASSERT_GT(port, 0) << (err ? err : "");
  std::string base = "http://127.0.0.1:" + std::to_string(port);

  constexpr int kClients = 4;
  constexpr int kRequests = 60;
  std::atomic<int> wrong{0};
  std::atomic<bool> clients_done{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      CURL *curl = curl_easy_init();  // one handle: the connection is reused
      std::string body;
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, http_test::collect_body);
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
      std::string upload(100000 + c * 1000, 'u');
      for (int i = 0; i < kRequests; ++i) {
        body.clear();
        std::string url, expect;
        if (i % 3 == 2) {
          url = base + "/len";
          curl_easy_setopt(curl, CURLOPT_POSTFIELDS, upload.data());
          curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(upload.size()));
          expect = std::to_string(upload.size());
        } else {
          std::string word = "c" + std::to_string(c) + "r" + std::to_string(i);
          url = base + "/echo/" + word;
          curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
          expect = word;
        }
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK) {
          wrong.fetch_add(1);
          continue;
        }
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200 || body != expect) wrong.fetch_add(1);
      }
      curl_easy_cleanup(curl);
    });
  }
  // Routes added while the clients run; each becomes reachable.
  std::thread registrar([&] {
    for (int i = 0; i < 40 && !clients_done.load(); ++i) {
      std::string prefix = "/late" + std::to_string(i) + "/";
      if (zorv_http_rest_register("GET", prefix.c_str(), "^x$", late) != 0)
        wrong.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (auto &t : threads) t.join();
  clients_done.store(true);
  registrar.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ("late", http_test::get(base + "/late0/x").body);
  zorv_http_stop_listeners();
  zorv_memory_drain();
}

}  // namespace
