/* Tag-search expressions, the filters that decide which metrics of an
 * account are discarded.
 *
 * Grammar (white space -- blanks, tabs, line ends -- is allowed between
 * tokens):
 *   expr  := "and(" list ")" | "or(" list ")" | "not(" expr ")" | term
 *   list  := expr ("," expr)*
 *   term  := category ":" value
 *   category, value := one or more bytes other than ' ', ',', '(', ')' and,
 *                      in a category, ':'; a value may use the glob
 *                      characters '*' (any run) and '?' (any one byte).
 * "and", "or" and "not" are operators only when "(" follows them. A term
 * matches a tagset holding a tag of that category whose value matches the
 * glob; a tag without a colon has an empty value. Expressions nest at most
 * 64 deep; deeper nesting is an error at the offset where it goes too deep. */
#ifndef QUIB_TAG_SEARCH_H
#define QUIB_TAG_SEARCH_H

#include "quib/tagset.h"

ZORV_EXTERN_C_BEGIN

typedef struct quib_metric_tag_search_ast quib_metric_tag_search_ast_t;

/* The parsed expression, or NULL with *error_offset set to the byte offset
 * of the first error. */
quib_metric_tag_search_ast_t *quib_metric_tag_search_parse(const char *text,
                                                           int *error_offset);
zorv_boolean quib_metric_tag_search_evaluate(
    const quib_metric_tag_search_ast_t *ast,
    const quib_metric_tagset_t *tagset);
void quib_metric_tag_search_free(quib_metric_tag_search_ast_t *ast);

ZORV_EXTERN_C_END

#endif
