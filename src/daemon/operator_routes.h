/* What an operator's tools poll: GET /health (200 while every registered
 * health check is satisfied, 503 with the problems otherwise; no client
 * certificate) and GET /metrics (the Prometheus text exposition; no client
 * certificate on a listener marked metrics="open", else one is needed). */
#ifndef WENDREL_OPERATOR_ROUTES_H
#define WENDREL_OPERATOR_ROUTES_H

namespace wendrel {

/* 0 on success. */
int register_operator_routes();

}  // namespace wendrel

#endif
