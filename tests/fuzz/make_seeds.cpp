/* Writes the seed corpora: usage make_seeds <corpus folder>. Streams come
 * from the stand-in cluster's own encoders (written apart from the module's
 * decoders); the documents are those our tests and examples use. */
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "standin/database.h"
#include "standin/diff_encoder.h"
#include "standin/full_state_encoder.h"

namespace {

std::string out_dir;

void seed(const std::string &target, const std::string &name,
          const std::string &bytes) {
  std::string dir = out_dir + "/" + target;
  mkdir(dir.c_str(), 0755);
  std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
}

std::string drain(standin::ByteSource &src) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = src.read(buf, sizeof(buf))) > 0;) out.append(buf, n);
  return out;
}

/* The split header of the stream targets: k, then k 2-byte lengths. */
std::string splits(std::vector<uint16_t> lengths) {
  std::string out(1, static_cast<char>(lengths.size()));
  for (uint16_t l : lengths) {
    out += static_cast<char>(l & 0xff);
    out += static_cast<char>(l >> 8);
  }
  return out;
}

void stream_seeds() {
  standin::Database db;
  const char *checks[] = {"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d",
                          "d1ff0000-0000-4000-8000-000000000001"};
  db.add_tag(checks[0], "env:prod");
  db.add_tag(checks[0], "team:ops");
  db.add_tag(checks[1], "role:db");
  db.remove_tag(checks[0], "team:ops");
  db.add_tag(checks[1], "x");
  auto data = db.current();

  standin::FullStateSource full(data);
  std::string body = drain(full);
  seed("full_stream", "whole", splits({}) + body);
  seed("full_stream", "split_in_records", splits({3, 7, 40, 1}) + body);
  standin::FullStateSource corrupt(data, 1);
  seed("full_stream", "corrupt", splits({20}) + drain(corrupt));

  size_t log_len = data->log.size();
  standin::DiffSource diff(data, 0, static_cast<uint32_t>(log_len));
  std::string diffs = drain(diff);
  seed("diff_stream", "whole", splits({}) + diffs);
  seed("diff_stream", "split_in_messages", splits({2, 50, 9}) + diffs);
}

void header_seeds() {
  seed("checkpoint_header", "plain",
       std::string("\x00", 1) + "X-Drask-Feed-Checkpoint: 0123abcd:89abcdef\r\n");
  seed("checkpoint_header", "lower_spaces_had",
       "\x01x-drask-feed-checkpoint:   0123abcd:89abcdef\r\n");
  seed("checkpoint_header", "during_pull",
       "\x02X-DRASK-FEED-CHECKPOINT:\t00000000:00000000\r\n");
  seed("checkpoint_header", "bad_token",
       std::string("\x00", 1) + "X-Drask-Feed-Checkpoint: 0123ABCD:89abcdef\r\n");
  seed("checkpoint_header", "other",
       std::string("\x00", 1) + "Content-Type: application/octet-stream\r\n");
}

void route_seeds() {
  const std::string uuid = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
  auto payload = [](const std::string &field4) {
    return "M\t10.1.2.3\t17.250\t" + field4 + "\tcpu\tL\t1";
  };
  seed("route", "marker", "\x06stream" + payload("ex`web01`c_42_1234::" + uuid));
  seed("route", "plain_uuid", "\x06stream" + payload(uuid));
  seed("route", "marker_later",
       "\x01s" + payload("ex" + uuid) + "\t`a`c_4294967338_7");
  seed("route", "hyphens", "\x03" "abc" + payload(std::string(36, '-')));
}

const char *kConfigs[] = {
    "<wendrel><drask timeout=\"100\" connecttimeout=\"50\">"
    "<bootstrap host=\"127.0.0.1:9\"/><swimlane>"
    "<bootstrap cluster=\"1\" host=\"127.0.0.1:1\"/>"
    "<bootstrap cluster=\"3\" host=\"h3\"/>"
    "<account_map><map account=\"1\" cluster=\"1\"/>"
    "<map account=\"2\" cluster=\"3\" discard_data_filter=\"and(env:prod,not(team:o*))\"/>"
    "<map account=\"4\" cluster=\"-1\"/></account_map>"
    "</swimlane></drask>"
    "<drask_cluster_map_override><map account=\"1\" clusters=\"1,3\"/>"
    "</drask_cluster_map_override></wendrel>",
    "<?xml version=\"1.0\"?>\n<wendrel>\n  <drask><bootstrap cluster=\"2\" host=\"a\"/>"
    "<bootstrap cluster=\"2\" host=\"b\"/></drask>\n"
    "  <modules><generic image=\"kavalin\" name=\"kavalin\"/></modules>\n</wendrel>\n",
};

void xml_seeds() {
  for (size_t i = 0; i < sizeof(kConfigs) / sizeof(kConfigs[0]); i++)
    seed("conf_startup", "config" + std::to_string(i), kConfigs[i]);

  const std::string map = "\x02"
      "<drask>\n <map account=\"7\" cluster=\"1\"/>\n"
      " <map account=\"2\" cluster=\"-1\" discard_data_filter=\"env:dev\"/>\n"
      " <map account=\"9\" cluster=\"99\"/><map account=\"1\"/></drask>";
  const std::string boot = "\x01<drask><bootstrap host=\"127.0.0.1:5\"/>"
                           "<bootstrap cluster=\"1\" host=\"x\"/></drask>";
  const std::string boot3 = "\x05<drask/>";  // cluster 3, no hosts left
  for (char config = 0; config < 4; config++) {
    std::string c(1, config);
    seed("kavalin_updates", "map_then_cluster" + std::to_string(int(config)),
         c + map + std::string("\x00", 1) + boot);
    seed("kavalin_updates", "cluster_then_map" + std::to_string(int(config)),
         c + boot3 + std::string("\x00", 1) + map);
  }
}

void text_seeds() {
  seed("topology", "two_nodes",
       "{\"signature\": \"cluster-a\", \"nodes\": [\"http://127.0.0.1:8101\", "
       "\"http://127.0.0.1:8102/\"]}");
  seed("topology", "empty_nodes", "{\"signature\":\"s\",\"nodes\":[],\"x\":1}\n");
  seed("tag_search", "and_not", "and(env:prod, not(team:o*s))\nenv:prod\nteam:ops");
  seed("tag_search", "or_glob", "or(a:b?,c:*)\nc\na:bx");
  seed("tag_search", "nested", "not(or(and(x:1,y:*2*),z:?))\nx:1\ny:123\nz:");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  out_dir = argv[1];
  mkdir(out_dir.c_str(), 0755);
  stream_seeds();
  header_seeds();
  route_seeds();
  xml_seeds();
  text_seeds();
  return 0;
}
