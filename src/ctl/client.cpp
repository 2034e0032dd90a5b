#include "client.h"

#include <curl/curl.h>

#include <memory>

namespace wendrelctl {
namespace {

struct EasyDeleter {
  void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

size_t collect(char *data, size_t size, size_t n, void *cls) {
  auto *body = static_cast<std::string *>(cls);
  size_t len = size * n;
  if (body->size() + len > kMaxBody) return 0;  // ends the transfer
  body->append(data, len);
  return len;
}

}  // namespace

Answer request(const Settings &s, const std::string &path, bool post,
               const std::string &body) {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == 0;
  Answer a;
  std::unique_ptr<CURL, EasyDeleter> curl(ready ? curl_easy_init() : nullptr);
  if (!curl) {
    a.error = "libcurl cannot be initialised";
    return a;
  }
  CURL *c = curl.get();
  const std::string url = s.url + path;
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, s.timeout_s);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, s.timeout_s);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &a.body);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "wendrelctl/" WENDREL_VERSION);
  if (!s.cacert.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, s.cacert.c_str());
  if (!s.cert.empty()) {
    curl_easy_setopt(c, CURLOPT_SSLCERT, s.cert.c_str());
    curl_easy_setopt(c, CURLOPT_SSLKEY, s.key.c_str());
  }
  std::unique_ptr<curl_slist, ListDeleter> headers;
  if (post) {
    headers.reset(curl_slist_append(nullptr, "Content-Type: application/xml"));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(body.size()));
  }
  CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    a.error = error[0] ? error : curl_easy_strerror(rc);
    if (rc == CURLE_WRITE_ERROR) a.error = "answer longer than 256 MiB";
    a.body.clear();
    return a;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.status);
  return a;
}

}  // namespace wendrelctl
