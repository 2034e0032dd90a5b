// Metric tags, tagsets and the fixup hook through which modules complete
// a tagset before it is used.
#include "quib/tagset.h"

#include "hook_list.h"

namespace {

quib::HookList<quib_metric_tagset_fixup_func> &fixups() {
  static auto *list = new quib::HookList<quib_metric_tagset_fixup_func>;
  return *list;
}

}  // namespace

extern "C" {

void quib_metric_tagset_fixup_hook_register(const char *name,
                                            quib_metric_tagset_fixup_func fn,
                                            void *closure) {
  if (fn) fixups().add(name, fn, closure);
}

zorv_hook_return_t quib_metric_tagset_fixup_hook_invoke(
    quib_metric_tagset_class_t cls, quib_metric_tagset_t *tagset) {
  zorv_hook_return_t result = ZORV_HOOK_CONTINUE;
  fixups().walk([&](const auto &e) {
    zorv_hook_return_t r = e.fn(e.closure, cls, tagset);
    if (r == ZORV_HOOK_ABORT) {
      result = ZORV_HOOK_ABORT;
      return false;
    }
    if (r == ZORV_HOOK_DONE) result = ZORV_HOOK_DONE;
    return true;
  });
  return result;
}

int quib_metric_tag_set(quib_metric_tag_t *tag, const char *text, size_t len) {
  if (!tag || (!text && len > 0) || len > UINT16_MAX) return -1;
  size_t category = len;  // no colon: the whole text is the category
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == ':') {
      category = i + 1;
      break;
    }
  }
  if (category > UINT8_MAX) return -1;
  tag->total_size = static_cast<uint16_t>(len);
  tag->category_size = static_cast<uint8_t>(category);
  tag->tag = text;
  return 0;
}

void quib_metric_tagset_canonicalize(quib_metric_tagset_t *tagset) {
  if (!tagset) return;
  int size = 0;
  for (int i = 0; i < tagset->tag_count; ++i)
    size += tagset->tags[i].total_size + (i > 0 ? 1 : 0);
  tagset->canonical_size = size;
}

}  // extern "C"
