/* Client-certificate admission for REST routes. */
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "http_session.h"
#include "zorv/log.h"

namespace {

zorv_log_stream_t debug_stream() {
  static zorv_log_stream_t ls = zorv_log_stream_find("debug/http");
  return ls;
}

zorv_boolean refuse(const zorv_http_session_ctx *ctx, const char *why) {
  zorvL(debug_stream(), "client certificate refused for %s %s from %s: %s\n",
        ctx->method.c_str(), ctx->path.c_str(), ctx->remote_addr.c_str(), why);
  return false;
}

}  // namespace

extern "C" zorv_boolean zorv_http_rest_client_cert_auth(
    zorv_http_rest_closure_t *restc, int npats, char **pats) {
  (void)npats;
  (void)pats;
  zorv_http_session_ctx *ctx = restc ? restc->http_ctx : nullptr;
  if (!ctx || !ctx->listener) return false;
  if (!ctx->listener->tls) return refuse(ctx, "not over TLS");
  if (!ctx->listener->client_ca)
    return refuse(ctx, "listener has no client CA configured");
  const MHD_ConnectionInfo *ci = MHD_get_connection_info(
      ctx->connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (!ci || !ci->tls_session) return refuse(ctx, "no TLS session");
  auto session = static_cast<gnutls_session_t>(ci->tls_session);
  unsigned int count = 0;
  if (!gnutls_certificate_get_peers(session, &count) || count == 0)
    return refuse(ctx, "no certificate presented");
  /* Plain peer verification accepts any certificate the CA signed, a
   * server-only one included; asking for the client-authentication key
   * purpose is what makes the certificate a credential. */
  gnutls_typed_vdata_st purpose{};
  purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
  purpose.data = reinterpret_cast<unsigned char *>(
      const_cast<char *>(GNUTLS_KP_TLS_WWW_CLIENT));
  purpose.size = 0;
  unsigned int status = 0;
  int rc = gnutls_certificate_verify_peers(session, &purpose, 1, &status);
  if (rc != 0) return refuse(ctx, gnutls_strerror(rc));
  if (status != 0) {
    gnutls_datum_t text{};
    if (gnutls_certificate_verification_status_print(
            status, GNUTLS_CRT_X509, &text, 0) == 0) {
      refuse(ctx, reinterpret_cast<const char *>(text.data));
      gnutls_free(text.data);
      return false;
    }
    return refuse(ctx, "certificate did not verify");
  }
  return true;
}
