/* Readers of the check tag store: completion of check tagsets (on the
 * per-metric path: no lock, no allocation, no copy) and the show route. */
#include <string.h>

#include <atomic>
#include <string_view>

#include "modules/ostrel/internal.h"
#include "zorv/json.h"
#include "zorv/memory.h"
#include "zorv/time.h"

static constexpr std::string_view kCheckUuidPrefix = "__check_uuid:";
static constexpr int kCheckUuidTagSize = 13 + 36;

static bool is_check_uuid_tag(const quib_metric_tag_t &t) {
  return t.total_size == kCheckUuidTagSize &&
         t.category_size == kCheckUuidPrefix.size() && t.tag != nullptr &&
         memcmp(t.tag, kCheckUuidPrefix.data(), kCheckUuidPrefix.size()) == 0;
}

uint32_t tag_completion_shape(const char *text, size_t len) {
  // Readers see the text up to its first NUL. One pass finds that and the
  // first ':' (tags are a dozen bytes: two library scans cost more in calls
  // than in bytes).
  size_t colon = SIZE_MAX;
  for (size_t i = 0; i < len; ++i) {
    const char c = text[i];
    if (c == '\0') {
      len = i;
      break;
    }
    if (c == ':' && colon == SIZE_MAX) colon = i;
  }
  if (colon == SIZE_MAX) return 0;
  if (len > kCheckUuidPrefix.size() &&
      memcmp(text, kCheckUuidPrefix.data(), kCheckUuidPrefix.size()) == 0) {
    return 0;  // never a second check UUID tag
  }
  const size_t category_size = colon + 1;
  // A tag whose sizes do not fit the tag's fields would be described with
  // truncated lengths; leave it out rather than corrupt the tagset.
  if (len > UINT16_MAX || category_size > UINT8_MAX) return 0;
  return static_cast<uint32_t>(len << 8 | category_size);
}

/* Appends a tag of a known shape; the tagset never grows past its room. */
static inline void append_tag(quib_metric_tagset_t *tagset, uint32_t shape,
                              const char *tag) {
  if (shape == 0 || tagset->tag_count > QUIB_METRIC_MAX_TAGS - 1) return;
  quib_metric_tag_t &slot = tagset->tags[tagset->tag_count];
  slot.total_size = static_cast<uint16_t>(shape >> 8);
  slot.category_size = static_cast<uint8_t>(shape);
  slot.tag = tag;  // the store's own text: valid for the life of the process
  tagset->tag_count++;
}

void accrue_tags(void *closure, const char *tag) {
  append_tag(static_cast<quib_metric_tagset_t *>(closure),
             tag_completion_shape(tag, strlen(tag)), tag);
}

/* On the per-metric path: one bracket, no allocation, and no tag text
 * scanned (each entry carries its shape), so the cost is the cache misses
 * of one lookup and one check's entries. */
zorv_hook_return_t check_tag_tagset_completer(void *,
                                              quib_metric_tagset_class_t cls,
                                              quib_metric_tagset_t *tagset) {
  if (cls != QUIB_METRIC_TAGSET_CHECK) return ZORV_HOOK_CONTINUE;
  if (tagset == nullptr) return ZORV_HOOK_CONTINUE;
  const int count_at_entry = tagset->tag_count;

  const quib_metric_tag_t *uuid_tag = nullptr;
  for (int i = 0; i < count_at_entry; i++) {
    if (is_check_uuid_tag(tagset->tags[i])) {
      uuid_tag = &tagset->tags[i];
      break;
    }
  }
  if (uuid_tag == nullptr) {
    zorvL(use_debug, "Bad tagset. No uuid found\n");
    return ZORV_HOOK_CONTINUE;
  }

  // The UUID text is used as the tag has it, unchecked; like any C string
  // key it ends at a NUL among its 36 bytes.
  const char *uuid = uuid_tag->tag + kCheckUuidPrefix.size();
  const void *nul = memchr(uuid, '\0', 36);
  const size_t klen =
      nul ? static_cast<size_t>(static_cast<const char *>(nul) - uuid) : 36;

  zorv_memory_begin();
  if (tag_container *c = store_find_container(uuid, klen)) {
    tag_table_each(&c->tags, [tagset](setcrdt_alter_entry_t *e) {
      uint32_t word = std::atomic_ref<uint32_t>(e->info.word)
                          .load(std::memory_order_acquire);
      if ((word & 1u) == 0) append_tag(tagset, e->info.tag_shape, e->value);
    });
  }
  zorv_memory_end();

  if (tagset->tag_count != count_at_entry) {
    char text[37];
    memcpy(text, uuid, klen);
    text[klen] = '\0';
    zorvL(use_debug, "check_tag_tagset_completer(%s) [%d -> %d]\n", text,
          count_at_entry, tagset->tag_count);
  }
  return ZORV_HOOK_CONTINUE;
}

void accrue_tags_rest_json(void *array, const char *tag) {
  zorv_json_object_array_add(static_cast<zorv_json_object *>(array),
                             zorv_json_object_new_string(tag));
}

void ostrel_json_response_start(zorv_http_session_ctx *ctx, int code,
                                const char *reason) {
  zorv_http_response_status_set(ctx, code, reason);
  zorv_http_response_header_set(ctx, "Content-Type", "application/json");
  if (!zorv_http_response_option_set(ctx, ZORV_HTTP_CHUNKED)) {
    zorv_http_response_option_set(ctx, ZORV_HTTP_CLOSE);
  }
}

int ostrel_rest_show(zorv_http_rest_closure_t *restc, int npats, char **pats) {
  zorv_http_session_ctx *ctx = restc->http_ctx;
  if (npats != 1) {
    ostrel_json_response_start(ctx, 500, "Error");
    zorv_http_response_end(ctx);
    return 0;
  }
  const char *uuid = pats[0];

  zorv_json_object *doc = zorv_json_object_new_object();
  zorv_json_object *tags = zorv_json_object_new_array();
  drask_check_tags_each_dyn(uuid, accrue_tags_rest_json, tags);
  zorv_json_object_object_add(doc, "tags", tags);

  ostrel_json_response_start(ctx, 200, "OK");
  zorv_http_response_append_str(ctx, zorv_json_object_to_json_string(doc));
  zorv_http_response_append_str(ctx, "\n");
  zorv_http_response_end(ctx);
  zorv_json_object_put(doc);
  return 0;
}
