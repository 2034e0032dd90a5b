// Owners and small helpers over libmicrohttpd and json-c shared by the
// nodes and the admin API.
#pragma once

#include <json-c/json.h>
#include <microhttpd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "standin/byte_source.h"

namespace standin {

struct DaemonStopper {
  void operator()(MHD_Daemon *daemon) const { MHD_stop_daemon(daemon); }
};
using DaemonPtr = std::unique_ptr<MHD_Daemon, DaemonStopper>;

struct ResponseDestroyer {
  void operator()(MHD_Response *response) const { MHD_destroy_response(response); }
};
using ResponsePtr = std::unique_ptr<MHD_Response, ResponseDestroyer>;

struct JsonReleaser {
  void operator()(json_object *object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonReleaser>;

struct ListenerConfig {
  uint16_t port = 0;  // 0: an ephemeral port
  unsigned threads = 2;
  MHD_AccessHandlerCallback handler = nullptr;
  void *handler_cls = nullptr;
  MHD_RequestCompletedCallback completed = nullptr;
  void *completed_cls = nullptr;
};

// Listens on 127.0.0.1 only: internal polling thread pool over epoll.
// Null when the port cannot be bound.
DaemonPtr start_listener(const ListenerConfig &config);
uint16_t bound_port(MHD_Daemon *daemon);

ResponsePtr text_response(std::string_view body, const char *content_type);
ResponsePtr json_response(json_object *value);
// {"error": message}
ResponsePtr json_error_response(std::string_view message);
// The body is produced by the source while the response is sent; the
// response owns the source.
ResponsePtr stream_response(std::unique_ptr<ByteSource> source, const char *content_type);

MHD_Result queue(MHD_Connection *connection, unsigned status, ResponsePtr response);

// Strict JSON parse of a complete text: nullptr with *error set otherwise.
JsonPtr parse_json(std::string_view text, std::string *error);

}  // namespace standin
