#include "standin/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace standin {
namespace {

ssize_t read_source(void *cls, uint64_t /*pos*/, char *buf, size_t max) {
  auto *source = static_cast<ByteSource *>(cls);
  ssize_t n = source->read(buf, max);
  if (n == 0) return MHD_CONTENT_READER_END_OF_STREAM;
  // libmicrohttpd calls again on its next round, after serving the other
  // connections of this thread; the source has already slept a short slice,
  // so this is a slow poll rather than a busy loop.
  if (n == kStreamWait) return 0;
  if (n < 0) return MHD_CONTENT_READER_END_WITH_ERROR;
  return n;
}

void free_source(void *cls) { delete static_cast<ByteSource *>(cls); }

}  // namespace

DaemonPtr start_listener(const ListenerConfig &config) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(config.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  MHD_Daemon *daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG, config.port,
      nullptr, nullptr, config.handler, config.handler_cls,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr *>(&address),
      MHD_OPTION_THREAD_POOL_SIZE, config.threads,
      // A node that goes down and comes back binds the same port again at
      // once, with connections of its former life still in TIME_WAIT.
      MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
      MHD_OPTION_CONNECTION_TIMEOUT, 120u,
      MHD_OPTION_NOTIFY_COMPLETED, config.completed, config.completed_cls,
      MHD_OPTION_END);
  return DaemonPtr(daemon);
}

uint16_t bound_port(MHD_Daemon *daemon) {
  const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
  return info ? info->port : 0;
}

ResponsePtr text_response(std::string_view body, const char *content_type) {
  ResponsePtr response(MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY));
  if (response) MHD_add_response_header(response.get(), "Content-Type", content_type);
  return response;
}

ResponsePtr json_response(json_object *value) {
  size_t length = 0;
  const char *text = json_object_to_json_string_length(
      value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE, &length);
  std::string body(text, length);
  body.push_back('\n');
  return text_response(body, "application/json");
}

ResponsePtr json_error_response(std::string_view message) {
  JsonPtr object(json_object_new_object());
  json_object_object_add(object.get(), "error",
                         json_object_new_string_len(message.data(), static_cast<int>(message.size())));
  return json_response(object.get());
}

ResponsePtr stream_response(std::unique_ptr<ByteSource> source, const char *content_type) {
  ByteSource *raw = source.release();
  ResponsePtr response(MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 256 * 1024,
                                                         read_source, raw, free_source));
  if (!response) {
    delete raw;
    return response;
  }
  MHD_add_response_header(response.get(), "Content-Type", content_type);
  return response;
}

MHD_Result queue(MHD_Connection *connection, unsigned status, ResponsePtr response) {
  if (!response) return MHD_NO;
  // The connection keeps its own reference; ours goes with the owner.
  return MHD_queue_response(connection, status, response.get());
}

JsonPtr parse_json(std::string_view text, std::string *error) {
  std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tokener(json_tokener_new(),
                                                                      &json_tokener_free);
  json_tokener_set_flags(tokener.get(), JSON_TOKENER_STRICT);
  JsonPtr value(json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
  json_tokener_error status = json_tokener_get_error(tokener.get());
  if (!value || status != json_tokener_success) {
    *error = status == json_tokener_continue ? "incomplete JSON" : json_tokener_error_desc(status);
    return nullptr;
  }
  for (size_t i = json_tokener_get_parse_end(tokener.get()); i < text.size(); ++i) {
    if (text[i] != ' ' && text[i] != '\n' && text[i] != '\r' && text[i] != '\t') {
      *error = "trailing data after the JSON value";
      return nullptr;
    }
  }
  return value;
}

}  // namespace standin
