/* Named log streams.
 *
 * Streams form a tree by name: "error/kavalin" is a child of "error" and
 * writes where its parent writes unless configured otherwise. Every stream
 * is enabled unless the configuration disables it; streams under "debug"
 * are disabled by default. Each line carries a timestamp and the name of the
 * stream it was written to. */
#ifndef ZORV_LOG_H
#define ZORV_LOG_H

#include <stdlib.h>
#include <sys/time.h>

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef struct zorv_log_stream *zorv_log_stream_t;

/* The host's own streams: "error", "notice", "stderr" and "debug". */
extern zorv_log_stream_t zorv_error;
extern zorv_log_stream_t zorv_notice;
extern zorv_log_stream_t zorv_stderr;
extern zorv_log_stream_t zorv_debug;

/* Finds (creating on first use) the stream of that name. Never NULL for a
 * non-empty name. */
zorv_log_stream_t zorv_log_stream_find(const char *name);
const char *zorv_log_stream_name(zorv_log_stream_t ls);
/* Whether a line written to ls now would go out (NULL: false). */
zorv_boolean zorv_log_stream_is_on(zorv_log_stream_t ls);
void zorv_log_stream_enable(zorv_log_stream_t ls, zorv_boolean on);

/* Writes one line when ls is set and enabled; now may be NULL for the current
 * time. Returns the number of bytes written (0 when nothing was). */
int zorv_log(zorv_log_stream_t ls, const struct timeval *now,
             const char *file, int line, const char *format, ...)
    ZORV_PRINTF_LIKE(5, 6);

/* From here on every line is written before zorv_log returns (the fatal and
 * terminate paths switch first so that their last line is not lost). */
void zorv_log_go_synch(void);
void zorv_log_flush(void);

/* Sends every later line to path (appending) instead of standard error;
 * NULL returns to standard error. 0 on success. */
int zorv_log_set_output_file(const char *path);

/* Opens every log file again by its path (after log rotation moved it
 * away) and writes on in the new one. Returns how many were reopened, or -1
 * with *err (heap text, when err is given) naming each that could not be;
 * those keep writing to the file they had. */
int zorv_log_reopen(char **err);

/* Sees every line that goes out: stream name and the formatted text (as the
 * caller formatted it, without the timestamp). Meant for tests and
 * diagnostics; one observer at a time, NULL removes it. */
typedef void (*zorv_log_observer_func)(void *closure, const char *stream,
                                       const char *text);
void zorv_log_set_observer(zorv_log_observer_func fn, void *closure);

#define zorvL(ls, ...)                                                   \
  do {                                                                   \
    zorv_log_stream_t zorvL_ls_ = (ls);                                  \
    if (zorvL_ls_ && zorv_log_stream_is_on(zorvL_ls_))                   \
      zorv_log(zorvL_ls_, NULL, __FILE__, __LINE__, __VA_ARGS__);        \
  } while (0)

/* Fatal path: log synchronously to ls, then abort. */
#define zorvFatal(ls, ...)                                               \
  do {                                                                   \
    zorv_log_go_synch();                                                 \
    zorvL(ls, __VA_ARGS__);                                              \
    abort();                                                             \
  } while (0)

/* Failed assertion: "[FATAL] assertion (<source text>) at <file>:<line>
 * failed" on zorv_error, then abort. */
#define zorvAssert(cond)                                                 \
  do {                                                                   \
    if (!(cond)) {                                                       \
      zorv_log_go_synch();                                               \
      zorvL(zorv_error, "[FATAL] assertion (%s) at %s:%d failed\n",      \
            #cond, __FILE__, __LINE__);                                  \
      abort();                                                           \
    }                                                                    \
  } while (0)

/* Terminate path: log synchronously to ls, then exit with status 2. */
#define zorvTerminate(ls, ...)                                           \
  do {                                                                   \
    zorv_log_go_synch();                                                 \
    zorvL(ls, __VA_ARGS__);                                              \
    zorv_log_flush();                                                    \
    exit(2);                                                             \
  } while (0)

ZORV_EXTERN_C_END

#endif
