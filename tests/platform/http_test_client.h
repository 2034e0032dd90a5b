// A small libcurl client for the HTTP server tests: one request, the whole
// answer (status, headers, body) back. Header-only; shared by the REST, TLS
// and database client tests.
#ifndef TESTS_PLATFORM_HTTP_TEST_CLIENT_H
#define TESTS_PLATFORM_HTTP_TEST_CLIENT_H

#include <curl/curl.h>
#include <strings.h>

#include <map>
#include <string>
#include <vector>

namespace http_test {

struct Request {
  std::string method = "GET";
  std::string url;
  std::string body;
  bool has_body = false;
  std::vector<std::string> headers;
  bool http10 = false;
  std::string ca_file;   // trust for https
  std::string cert_file; // client certificate, when given
  std::string key_file;
  long timeout_ms = 20000;
};

struct Response {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string error;                            // curl's, when it failed
  bool has_header(const std::string &name, const std::string &value) const {
    auto it = headers.find(name);
    return it != headers.end() && strcasecmp(it->second.c_str(), value.c_str()) == 0;
  }
};

inline size_t collect_body(char *data, size_t size, size_t n, void *cls) {
  static_cast<std::string *>(cls)->append(data, size * n);
  return size * n;
}

inline size_t collect_header(char *data, size_t size, size_t n, void *cls) {
  std::string line(data, size * n);
  auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    for (auto &c : name) c = static_cast<char>(tolower(c));
    std::string value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
      value.pop_back();
    (*static_cast<std::map<std::string, std::string> *>(cls))[name] = value;
  }
  return size * n;
}

inline Response perform(const Request &req) {
  Response out;
  CURL *curl = curl_easy_init();
  if (!curl) {
    out.error = "curl_easy_init failed";
    return out;
  }
  curl_slist *headers = nullptr;
  for (const auto &h : req.headers) headers = curl_slist_append(headers, h.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, req.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, req.timeout_ms);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, req.method.c_str());
  if (req.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (req.has_body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, req.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(req.body.size()));
  }
  if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (req.http10)
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  if (!req.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, req.ca_file.c_str());
  if (!req.cert_file.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSLCERT, req.cert_file.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLKEY, req.key_file.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &out.headers);
  CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK)
    out.error = curl_easy_strerror(rc);
  else
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return out;
}

inline Response get(const std::string &url) {
  Request r;
  r.url = url;
  return perform(r);
}

}  // namespace http_test

#endif
