/* The daemon's own routes beside the modules': the operator routes
 * (health, metrics) and two diagnostic routes that show what the modules'
 * hooks do in the running process. */
#ifndef WENDREL_DIAG_ROUTES_H
#define WENDREL_DIAG_ROUTES_H

namespace wendrel {

/* 0 on success. */
int register_diag_routes();

}  // namespace wendrel

#endif
