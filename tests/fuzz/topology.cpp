/* The topology reader on any bytes (in a heap block of exactly their size;
 * the reader is given a length, not a C string). Oracles: an accepted
 * document has a non-empty signature, at most DRASK_MAX_NODES non-empty
 * node URLs without a trailing slash, and reads back the same when written
 * out again as a plain document. */
#include <json-c/json.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "drask/topology.h"
#include "fuzz_support.h"

namespace {

struct topo_view {
  std::string signature;
  std::vector<std::string> nodes;
  bool operator==(const topo_view &) const = default;
};

topo_view view(drask_topo_t *t) {
  topo_view v;
  size_t len = 0;
  const char *sig = topo_signature(t, &len);
  v.signature.assign(sig, len);
  for (int i = 0; i < drask_topo_node_count(t); i++)
    v.nodes.push_back(drask_topo_node(t, i));
  return v;
}

std::string write_out(const topo_view &v) {
  json_object *doc = json_object_new_object();
  json_object_object_add(
      doc, "signature",
      json_object_new_string_len(v.signature.data(),
                                 static_cast<int>(v.signature.size())));
  json_object *nodes = json_object_new_array();
  for (const auto &n : v.nodes)
    json_object_array_add(nodes, json_object_new_string(n.c_str()));
  json_object_object_add(doc, "nodes", nodes);
  std::string text = json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN);
  json_object_put(doc);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::exact_copy bytes(
      std::string_view(reinterpret_cast<const char *>(data), size));
  drask_topo_t *t = drask_topo_parse(bytes.p, bytes.n);
  if (t == nullptr) return 0;
  topo_view v = view(t);
  drask_topo_free(t);

  FUZZ_CHECK(!v.signature.empty(), "empty signature accepted");
  FUZZ_CHECK(v.nodes.size() <= DRASK_MAX_NODES, "%zu nodes", v.nodes.size());
  for (const auto &n : v.nodes) {
    FUZZ_CHECK(!n.empty(), "empty node URL");
    FUZZ_CHECK(n.size() == 1 || n.back() != '/', "trailing slash in '%s'",
               n.c_str());
  }

  std::string again = write_out(v);
  drask_topo_t *t2 = drask_topo_parse(again.data(), again.size());
  FUZZ_CHECK(t2 != nullptr, "written-out document refused: %s", again.c_str());
  FUZZ_CHECK(view(t2) == v, "written-out document reads differently: %s",
             again.c_str());
  drask_topo_free(t2);
  return 0;
}
