/* Stores one element the way the stream decoders hand it over: the text is
 * not NUL-terminated but followed by other bytes, as inside a receive
 * buffer. */
#ifndef OSTREL_TESTS_STORE_PUT_H
#define OSTREL_TESTS_STORE_PUT_H

#include <string>

#include "modules/ostrel/internal.h"

inline void put(const std::string &uuid, const std::string &tag, uint64_t seq,
                bool tombstone = false) {
  std::string buffer = tag + "#garbage#";
  setcrdt_alter_entry_t in{};
  in.value = buffer.data();
  in.info.seq = seq;
  in.info.tombstone = tombstone ? 1 : 0;
  in.info.len = static_cast<uint32_t>(tag.size());
  store_check_tag(uuid.c_str(), &in);
}

#endif
