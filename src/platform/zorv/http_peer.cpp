/* Who is asking: the peer address of a connection, and the subject and
 * alternative names of the client certificate a request came with, for
 * audit lines and for routes that admit only some clients. */
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "http_session.h"

std::string zorv::http::peer_address(MHD_Connection *conn) {
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!ci || !ci->client_addr) return {};
  char text[INET6_ADDRSTRLEN] = "";
  const sockaddr *sa = ci->client_addr;
  if (sa->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr,
              text, sizeof text);
  else if (sa->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr,
              text, sizeof text);
  return text;
}

namespace {

/* The leaf of the client certificate chain a request came with. */
class PeerCertificate {
 public:
  explicit PeerCertificate(zorv_http_session_ctx *ctx) {
    if (!ctx || !ctx->listener || !ctx->listener->tls) return;
    const MHD_ConnectionInfo *ci = MHD_get_connection_info(
        ctx->connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (!ci || !ci->tls_session) return;
    auto session = static_cast<gnutls_session_t>(ci->tls_session);
    unsigned int count = 0;
    const gnutls_datum_t *chain = gnutls_certificate_get_peers(session, &count);
    if (!chain || count == 0 || gnutls_x509_crt_init(&crt_) != 0) return;
    if (gnutls_x509_crt_import(crt_, &chain[0], GNUTLS_X509_FMT_DER) != 0) {
      gnutls_x509_crt_deinit(crt_);
      crt_ = nullptr;
    }
  }
  ~PeerCertificate() {
    if (crt_) gnutls_x509_crt_deinit(crt_);
  }
  PeerCertificate(const PeerCertificate &) = delete;
  PeerCertificate &operator=(const PeerCertificate &) = delete;
  gnutls_x509_crt_t get() const { return crt_; }

 private:
  gnutls_x509_crt_t crt_ = nullptr;
};

/* Beyond these a certificate's alternative names are not looked at: no
 * client certificate of ours needs more, and the list is the peer's. */
constexpr unsigned kMaxAltNames = 64;
constexpr size_t kMaxAltNameBytes = 1024;

/* "DNS:name", "IP:address", "email:address" or "URI:uri"; empty for
 * other kinds and for texts holding a NUL (a name cut short by it would
 * read as another). */
std::string alt_name_text(int type, const char *data, size_t size) {
  std::string_view value(data, size);
  if (type == GNUTLS_SAN_IPADDRESS) {
    char text[INET6_ADDRSTRLEN] = "";
    if (size == 4)
      inet_ntop(AF_INET, data, text, sizeof text);
    else if (size == 16)
      inet_ntop(AF_INET6, data, text, sizeof text);
    return *text ? std::string("IP:") + text : std::string();
  }
  if (value.find('\0') != std::string_view::npos) return {};
  switch (type) {
    case GNUTLS_SAN_DNSNAME:
      return "DNS:" + std::string(value);
    case GNUTLS_SAN_RFC822NAME:
      return "email:" + std::string(value);
    case GNUTLS_SAN_URI:
      return "URI:" + std::string(value);
    default:
      return {};
  }
}

}  // namespace

extern "C" char *zorv_http_request_client_subject(zorv_http_session_ctx *ctx) {
  PeerCertificate crt(ctx);
  if (!crt.get()) return nullptr;
  char *subject = nullptr;
  gnutls_datum_t dn{};
  if (gnutls_x509_crt_get_dn3(crt.get(), &dn, 0) == 0) {
    subject = strndup(reinterpret_cast<const char *>(dn.data), dn.size);
    gnutls_free(dn.data);
  }
  return subject;
}

extern "C" int zorv_http_request_client_alt_names(
    zorv_http_session_ctx *ctx, void (*each)(void *cls, const char *name),
    void *cls) {
  PeerCertificate crt(ctx);
  if (!crt.get() || !each) return 0;
  int found = 0;
  char data[kMaxAltNameBytes];
  for (unsigned seq = 0; seq < kMaxAltNames; ++seq) {
    size_t size = sizeof data;
    unsigned int critical = 0;
    int type = gnutls_x509_crt_get_subject_alt_name(crt.get(), seq, data, &size,
                                                    &critical);
    if (type == GNUTLS_E_SHORT_MEMORY_BUFFER) continue; /* longer than any we take */
    if (type < 0) break; /* the end, or a broken extension */
    std::string name = alt_name_text(type, data, std::min(size, sizeof data));
    if (name.empty()) continue;
    each(cls, name.c_str());
    ++found;
  }
  return found;
}
