/* Who is asking: the peer address of a connection, and the subject of the
 * client certificate a request came with, for audit lines. */
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdlib>
#include <cstring>

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

extern "C" char *zorv_http_request_client_subject(zorv_http_session_ctx *ctx) {
  if (!ctx || !ctx->listener || !ctx->listener->tls) return nullptr;
  const MHD_ConnectionInfo *ci = MHD_get_connection_info(
      ctx->connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (!ci || !ci->tls_session) return nullptr;
  auto session = static_cast<gnutls_session_t>(ci->tls_session);
  unsigned int count = 0;
  const gnutls_datum_t *chain = gnutls_certificate_get_peers(session, &count);
  if (!chain || count == 0) return nullptr;
  gnutls_x509_crt_t crt;
  if (gnutls_x509_crt_init(&crt) != 0) return nullptr;
  char *subject = nullptr;
  gnutls_datum_t dn{};
  if (gnutls_x509_crt_import(crt, &chain[0], GNUTLS_X509_FMT_DER) == 0 &&
      gnutls_x509_crt_get_dn3(crt, &dn, 0) == 0) {
    subject = strndup(reinterpret_cast<const char *>(dn.data), dn.size);
    gnutls_free(dn.data);
  }
  gnutls_x509_crt_deinit(crt);
  return subject;
}
