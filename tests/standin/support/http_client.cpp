#include "standin/support/http_client.h"

#include <memory>

#include "standin/support/feed_decoders.h"

namespace standin_test {
namespace {

size_t collect_body(char *data, size_t size, size_t count, void *user) {
  static_cast<HttpResult *>(user)->body.append(data, size * count);
  return size * count;
}

size_t collect_header(char *data, size_t size, size_t count, void *user) {
  static_cast<HttpResult *>(user)->header_lines.emplace_back(data, size * count);
  return size * count;
}

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
};

}  // namespace

std::string HttpResult::checkpoint() const {
  for (const auto &line : header_lines)
    if (auto token = checkpoint_from_header_line(line)) return *token;
  return "";
}

HttpResult http(const std::string &method, const std::string &url, const std::string &body,
                const HttpOptions &options) {
  static CurlGlobal global;
  HttpResult result;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, options.timeout_ms);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, options.connect_timeout_ms);
  if (options.low_speed_limit > 0) {
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, options.low_speed_limit);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, options.low_speed_time);
  }
  if (method == "POST") {
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  } else if (method != "GET") {
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &result);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, collect_header);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &result);
  result.code = curl_easy_perform(curl.get());
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &result.status);
  curl_easy_getinfo(curl.get(), CURLINFO_TOTAL_TIME, &result.seconds);
  return result;
}

HttpResult post_json(const std::string &url, const std::string &json) {
  return http("POST", url, json);
}

HttpResult get(const std::string &url) { return http("GET", url); }

}  // namespace standin_test
