/* Test-side HTTPS: a throw-away CA with server and client certificates
 * (openssl tool), and a small libcurl client that presents the client
 * certificate. */
#ifndef OSTREL_TESTS_HTTPS_CLIENT_H
#define OSTREL_TESTS_HTTPS_CLIENT_H

#include <curl/curl.h>
#include <stdlib.h>

#include <memory>
#include <string>

namespace https_test {

inline bool run(const std::string &cmd) {
  return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

/* ca.pem, server.pem/server.key (127.0.0.1), client.pem/client.key. */
inline bool make_certs(const std::string &d) {
  const std::string o = "openssl ";
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
  return run(o + "req -x509" + ec + "-days 2 -subj /CN=ostrel-test-ca -keyout " +
             d + "/ca.key -out " + d + "/ca.pem") &&
         run("printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n"
             "extendedKeyUsage=serverAuth\\n' > " + d + "/server.ext") &&
         run("printf 'extendedKeyUsage=clientAuth\\n' > " + d + "/client.ext") &&
         run(o + "req" + ec + "-subj /CN=127.0.0.1 -keyout " + d +
             "/server.key -out " + d + "/server.csr") &&
         run(o + "x509 -req -days 2 -in " + d + "/server.csr -CA " + d +
             "/ca.pem -CAkey " + d + "/ca.key -CAcreateserial -extfile " + d +
             "/server.ext -out " + d + "/server.pem") &&
         run(o + "req" + ec + "-subj /CN=operator -keyout " + d +
             "/client.key -out " + d + "/client.csr") &&
         run(o + "x509 -req -days 2 -in " + d + "/client.csr -CA " + d +
             "/ca.pem -CAkey " + d + "/ca.key -CAcreateserial -extfile " + d +
             "/client.ext -out " + d + "/client.pem");
}

struct Reply {
  long status = 0;
  std::string body;
  std::string content_type;
  std::string error;  // transfer failure, empty on success
};

inline size_t append_body(char *p, size_t size, size_t n, void *closure) {
  static_cast<std::string *>(closure)->append(p, size * n);
  return size * n;
}

/* GET (or POST when body is given) https://127.0.0.1:port/path. */
inline Reply request(const std::string &dir, int port, const std::string &path,
                     bool with_cert = true, const std::string *body = nullptr) {
  Reply r;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> h(curl_easy_init(),
                                                        curl_easy_cleanup);
  std::string url = "https://127.0.0.1:" + std::to_string(port) + path;
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_CAINFO, (dir + "/ca.pem").c_str());
  if (with_cert) {
    curl_easy_setopt(h.get(), CURLOPT_SSLCERT, (dir + "/client.pem").c_str());
    curl_easy_setopt(h.get(), CURLOPT_SSLKEY, (dir + "/client.key").c_str());
  }
  struct curl_slist *headers = nullptr;
  if (body) {
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body->c_str());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE,
                     static_cast<long>(body->size()));
    headers = curl_slist_append(headers, "Content-Type: application/xml");
    curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers);
  }
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &r.body);
  CURLcode rc = curl_easy_perform(h.get());
  if (rc != CURLE_OK) r.error = curl_easy_strerror(rc);
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &r.status);
  char *ct = nullptr;
  curl_easy_getinfo(h.get(), CURLINFO_CONTENT_TYPE, &ct);
  if (ct) r.content_type = ct;
  curl_slist_free_all(headers);
  return r;
}

}  // namespace https_test

#endif
