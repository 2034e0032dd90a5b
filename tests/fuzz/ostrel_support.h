/* What the stream and header targets share: a replication record as the
 * worker prepares it, and the store's contents in comparable form. */
#ifndef ZORV_FUZZ_OSTREL_SUPPORT_H
#define ZORV_FUZZ_OSTREL_SUPPORT_H

#include <stdlib.h>

#include <map>
#include <set>
#include <string>

#include "modules/ostrel/internal.h"

namespace fuzz {

struct record {
  cluster c{};
  record() {
    c.cluster_id = 1;
    c.full_state = 255;
    zorv_dyn_buffer_init(&c.buffer);
  }
  ~record() {
    zorv_dyn_buffer_destroy(&c.buffer);
    free(c.last_set_name);
    free(c.checkpoint);
  }
  std::string buffered() {
    return std::string(zorv_dyn_buffer_data(&c.buffer),
                       zorv_dyn_buffer_used(&c.buffer));
  }
};

/* Per check: its generation and its live tags. The generation counts every
 * change, tombstones included, so equal snapshots mean the store saw the
 * same changes in the same order. */
struct check_view {
  uint64_t gen = 0;
  std::set<std::string> live;
  bool operator==(const check_view &) const = default;
};
using store_view = std::map<std::string, check_view>;

inline store_view snapshot_store() {
  store_view out;
  zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv(&check_tags, &it, &key, &klen, &data)) {
    std::string k(key, static_cast<size_t>(klen));
    check_view &v = out[k];
    v.gen = drask_check_tags_generation_dyn(k.c_str());
    drask_check_tags_each_dyn(
        k.c_str(),
        [](void *cl, const char *tag) {
          static_cast<std::set<std::string> *>(cl)->insert(tag);
        },
        &v.live);
  }
  return out;
}

}  // namespace fuzz

#endif
