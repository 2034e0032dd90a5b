// A small libcurl client for the tests: one easy handle per request.
#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

namespace standin_test {

struct HttpResult {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::vector<std::string> header_lines;  // raw, line ends included
  double seconds = 0;

  // The checkpoint token of the response, "" when none.
  std::string checkpoint() const;
};

struct HttpOptions {
  long low_speed_limit = 0;  // bytes/s; 0: off
  long low_speed_time = 0;   // seconds
  long timeout_ms = 30000;
  long connect_timeout_ms = 5000;
};

HttpResult http(const std::string &method, const std::string &url,
                const std::string &body = "", const HttpOptions &options = {});

// Admin helpers: POST a JSON text, GET a path.
HttpResult post_json(const std::string &url, const std::string &json);
HttpResult get(const std::string &url);

}  // namespace standin_test
