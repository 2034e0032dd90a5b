/* The configuration tree: the daemon's XML configuration file held in
 * memory (libxml2), read and changed by XPath, and written back whole.
 *
 * Locking: the tree has one re-entrant reader/writer lock. A getter that
 * finds something (a non-empty section, or a list of one or more sections)
 * returns holding the lock for reading or writing, and the matching release
 * call gives it back. An empty result holds nothing and is never released
 * (a list of 0 sections may still be passed to its release call, which then
 * only frees the list). A thread may nest getters freely, also a read inside
 * its own write. Upgrading from read to write waits until the other readers
 * have left; a second thread upgrading at the same time would deadlock, so
 * its write getter answers "not found" instead (and logs the refusal).
 *
 * Include files and backing stores are not supported: every section lives
 * in the one file, so the backing-store and include calls have nothing to do
 * but record that the tree changed. */
#ifndef ZORV_CONF_H
#define ZORV_CONF_H

#include <libxml/tree.h>

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

/* A section is an element of the tree. The empty handle doubles as the
 * root: getters given it start from the document's root element. */
typedef struct {
  void *opaque1;
} zorv_conf_section_opaque_t;
typedef zorv_conf_section_opaque_t zorv_conf_section_t;

#ifdef __cplusplus
#define ZORV_CONF_ROOT (zorv_conf_section_t{nullptr})
#else
#define ZORV_CONF_ROOT ((zorv_conf_section_t){NULL})
#endif
#define ZORV_CONF_EMPTY ZORV_CONF_ROOT

/* Loading (the daemon and tests). 0 on success; *err (when given) receives
 * a heap text describing a failure. A new document replaces the old one,
 * whose sections become invalid; a thread that holds sections is refused. */
int zorv_conf_load(const char *path, char **err);
int zorv_conf_load_string(const char *xml, const char *path, char **err);
const char *zorv_conf_path(void);

zorv_conf_section_t zorv_conf_get_section_read(zorv_conf_section_t base,
                                               const char *xpath);
zorv_conf_section_t zorv_conf_get_section_write(zorv_conf_section_t base,
                                                const char *xpath);
void zorv_conf_release_section_read(zorv_conf_section_t section);
void zorv_conf_release_section_write(zorv_conf_section_t section);
zorv_boolean zorv_conf_section_is_empty(zorv_conf_section_t section);

/* Every element matching xpath, in document order; *cnt receives the count.
 * The list is heap memory freed by the release call; with no match it is
 * NULL and *cnt is 0. */
zorv_conf_section_t *zorv_conf_get_sections_read(zorv_conf_section_t base,
                                                 const char *xpath, int *cnt);
zorv_conf_section_t *zorv_conf_get_sections_write(zorv_conf_section_t base,
                                                  const char *xpath, int *cnt);
void zorv_conf_release_sections_read(zorv_conf_section_t *sections, int cnt);
void zorv_conf_release_sections_write(zorv_conf_section_t *sections, int cnt);

/* Typed getters: xpath is evaluated from section (an attribute such as
 * "@host", or an absolute path from the root). Non-zero when found and
 * converted; *out is untouched otherwise. Strings are heap copies the
 * caller frees. Numbers are read in decimal; a value that is not a number,
 * or does not fit, is "not found". */
int zorv_conf_get_int32(zorv_conf_section_t section, const char *xpath,
                        int32_t *out);
int zorv_conf_get_int64(zorv_conf_section_t section, const char *xpath,
                        int64_t *out);
int zorv_conf_get_string(zorv_conf_section_t section, const char *xpath,
                         char **out);
int zorv_conf_get_boolean(zorv_conf_section_t section, const char *xpath,
                          zorv_boolean *out);

xmlNodePtr zorv_conf_section_to_xmlnodeptr(zorv_conf_section_t section);
zorv_conf_section_t zorv_conf_section_from_xmlnodeptr(xmlNodePtr node);

void zorv_conf_backingstore_remove(zorv_conf_section_t section);
void zorv_conf_include_remove(zorv_conf_section_t section);
void zorv_conf_backingstore_dirty(zorv_conf_section_t section);
void zorv_conf_mark_changed(void);
/* How many times the tree was marked changed (diagnostics, tests). */
uint64_t zorv_conf_generation(void);

/* Writes the whole tree to path, or to the file it was loaded from when
 * path is NULL: a temporary file in the same directory, named "." base
 * ".wendrel-tmp." and six letters or digits, is written, synced and renamed
 * over the target, so the old file is never half-written. The writer holds
 * the temporary file under flock(2) until it has been renamed.
 * 0 on success, -1 on failure (the old file is then untouched). */
int zorv_conf_write_file(const char *path);
/* Removes the temporary files that writes of the loaded file left beside
 * it when their process died before the rename (only names of the form
 * above), logging each on the notice stream; files a live writer holds are
 * left alone. Returns how many went. Meant for start-up, after logging is
 * configured. */
int zorv_conf_remove_leftovers(void);

/* Run-time parameters: a name bound to an XPath of the configuration and a
 * variable. Registration reads the current value from the tree when present.
 * Setting one converts the text, checks it, stores it into the variable and
 * into the tree. */
typedef enum {
  ZORV_PARAM_INT32 = 1,
  ZORV_PARAM_INT64 = 2,
  ZORV_PARAM_STRING = 3, /* variable is a char *; the host owns the text */
  ZORV_PARAM_BOOLEAN = 4
} zorv_param_type_t;
/* Converts text into the variable's type (out points at a value of that
 * type; for ZORV_PARAM_STRING at a char * that receives a heap text); 0 on
 * success. */
typedef int (*zorv_param_parse_func)(const char *text, void *out);
/* Accepts (0) or refuses (non-zero) a converted value; value points at it
 * as the variable would hold it (for a string, at the char *). */
typedef int (*zorv_param_validate_func)(const void *value);

int zorv_conf_register_global_param(const char *name, const char *xpath,
                                    zorv_param_type_t type, void *variable,
                                    zorv_param_parse_func parser,
                                    zorv_param_validate_func validator);
/* 0 on success; -1 unknown name, -2 conversion or validation failed. */
int zorv_conf_set_global_param(const char *name, const char *value);
/* Writes the current value as text; 0 on success, -1 unknown name. */
int zorv_conf_get_global_param(const char *name, char *out, size_t outlen);

ZORV_EXTERN_C_END

#endif
