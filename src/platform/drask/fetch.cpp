/* Fetching the topology document from the bootstrap hosts. */
#include <curl/curl.h>

#include <ctime>

#include "internal.h"

namespace {

/* A topology document is small; anything far larger is not one. */
constexpr size_t kMaxDocumentBytes = 1u << 20;

struct Body {
  std::string bytes;
  bool too_large = false;
};

size_t collect(char *data, size_t size, size_t count, void *cls) {
  auto *body = static_cast<Body *>(cls);
  size_t n = size * count;
  if (body->bytes.size() + n > kMaxDocumentBytes) {
    body->too_large = true;
    return 0; /* aborts the transfer */
  }
  body->bytes.append(data, n);
  return n;
}

struct EasyHandle {
  CURL *h = curl_easy_init();
  ~EasyHandle() {
    if (h) curl_easy_cleanup(h);
  }
};

std::unique_ptr<drask_topo> fetch_one(const std::string &host,
                                      long connect_ms, long total_ms) {
  EasyHandle curl;
  if (!curl.h) return nullptr;
  std::string url = host.find("://") == std::string::npos ? "http://" + host
                                                          : host;
  url += DRASK_TOPOLOGY_PATH;
  Body body;
  curl_easy_setopt(curl.h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.h, CURLOPT_NOSIGNAL, 1L);
  /* Bootstrap hosts are cluster-internal addresses. */
  curl_easy_setopt(curl.h, CURLOPT_NOPROXY, "*");
  if (connect_ms > 0) curl_easy_setopt(curl.h, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  if (total_ms > 0) curl_easy_setopt(curl.h, CURLOPT_TIMEOUT_MS, total_ms);
  curl_easy_setopt(curl.h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.h, CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(curl.h) != CURLE_OK) return nullptr;
  long status = 0;
  curl_easy_getinfo(curl.h, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return nullptr;
  return std::unique_ptr<drask_topo>(
      drask_topo_parse(body.bytes.data(), body.bytes.size()));
}

}  // namespace

namespace drask {

uint64_t now_mono_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::unique_ptr<drask_topo> fetch_topology(const drask_client &client) {
  long connect_ms = client.connect_timeout_ms.load();
  long total_ms = client.timeout_ms.load();
  for (const std::string &host : client.hosts) {
    if (auto topo = fetch_one(host, connect_ms, total_ms)) return topo;
  }
  return nullptr;
}

}  // namespace drask
