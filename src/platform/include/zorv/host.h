/* The host process itself: what the daemon (and tests that stand in for
 * it) call to bring the framework up, load modules and serve. Modules never
 * include this header. */
#ifndef ZORV_HOST_H
#define ZORV_HOST_H

#include "zorv/defs.h"
#include "zorv/dso.h"

ZORV_EXTERN_C_BEGIN

/* Loads every module of the configuration's //modules/module elements, in
 * document order: dlopen with global symbols, descriptor check, onload,
 * config, init. //modules/@directory, when present, replaces the module
 * directory. Does not run the post-initialisation hooks. 0 on success; on
 * failure *err (when given) receives a heap text naming the file and the
 * reason (without err the text goes to zorv_error). */
int zorv_dso_load_all(char **err);
/* Loads one module image (a path, or a name resolved against the module
 * directory) with its options table. */
int zorv_dso_load(const char *image, const char *name,
                  zorv_hash_table *options, char **err);
/* Runs the post-initialisation hooks, in registration order; each hook runs
 * once, however often this is called. A hook answering ZORV_HOOK_ABORT ends
 * the pass (logged on zorv_error). */
void zorv_dso_run_post_init(void);
/* The descriptor of a loaded module, or NULL. */
zorv_dso_generic_t *zorv_dso_find(const char *name);
void zorv_dso_set_directory(const char *dir);

/* Applies the logging section of the configuration (//logs). */
void zorv_log_configure_from_conf(void);

/* Starts the listeners of the configuration (//listeners/listener). 0 on
 * success; *err receives a heap text on failure. */
int zorv_http_start_listeners(char **err);
/* Starts one listener on addr:port (port 0 picks a free one); with cert and
 * key paths it speaks TLS, with client_ca it asks for client certificates.
 * Returns the bound port, or -1. */
int zorv_http_listen(const char *addr, int port, const char *cert_file,
                     const char *key_file, const char *client_ca_file,
                     char **err);
void zorv_http_stop_listeners(void);

ZORV_EXTERN_C_END

#endif
