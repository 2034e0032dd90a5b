/* The client side of the feed: one libcurl easy handle per request to one
 * node of the record's cluster.
 *
 *   POST   <node>/metafeed/check/tag?subscriber=S              create
 *   DELETE <node>/metafeed/check/tag?subscriber=S              delete
 *   GET    <node>/meta/check/tag                                full state
 *   GET    <node>/metafeed/check/tag?subscriber=S&checkpoint=C  diff
 *
 * Each answer to a create or a pull may carry the checkpoint to use next in
 * the header "X-Drask-Feed-Checkpoint:". Everything a request creates is
 * released before it returns (RAII owners below). */
#include <ctype.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <memory>

#include "drask/client.h"
#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "zorv/json.h"
#include "zorv/time.h"
#include "zorv/zipkin.h"

namespace {

struct CurlFree {
  void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct SlistFree {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using CurlHandle = std::unique_ptr<CURL, CurlFree>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

/* A host buffer that is destroyed with its scope. */
struct DynBuffer {
  zorv_dyn_buffer_t b;
  DynBuffer() { zorv_dyn_buffer_init(&b); }
  ~DynBuffer() { zorv_dyn_buffer_destroy(&b); }
  DynBuffer(const DynBuffer &) = delete;
  DynBuffer &operator=(const DynBuffer &) = delete;
  const char *text() { return zorv_dyn_buffer_data(&b); }
};

struct FreeText {
  void operator()(char *p) const { free(p); }
};
using HeapText = std::unique_ptr<char, FreeText>;

/* The node this record's requests go to: node `theone` modulo the count of
 * the node list fetched now. False when there is none to go to (no client
 * any more, no node, cluster unreachable): the request is then not made. */
bool choose_node(cluster *c, drask_client_t **client, const char **node) {
  drask_client_t *cl = kavalin_client_for_cluster(c->cluster_id);
  if (cl == nullptr) return false;
  const char *nodes[DRASK_MAX_NODES];
  int n = drask_client_get_all_nodes(cl, nodes);
  if (n <= 0) return false;
  *client = cl;
  *node = nodes[c->theone % static_cast<unsigned>(n)];
  return true;
}

/* The options every request sets, in this order; the topology's transport
 * settings come after the module's timeouts. */
void common_options(CURL *h, const char *url, drask_client_t *client) {
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(speed_limit));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(speed_timeout_s));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT,
                   static_cast<long>(connect_timeout_s));
  topo_curl_setup(h, drask_client_get_active_topo(client));
}

/* The status of a finished transfer, or -1 when it failed or has none. */
long transfer_status(CURL *h, CURLcode rc) {
  long status = -1;
  if (rc != CURLE_OK) return -1;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    return -1;
  }
  return status;
}

constexpr char kCheckpointHeader[] = "X-Drask-Feed-Checkpoint:";
constexpr size_t kCheckpointHeaderLen = sizeof(kCheckpointHeader) - 1;  // 24
constexpr int kTokenLen = 17;

/* The first position of a checkpoint token that is wrong, or kTokenLen. */
int first_bad_token_position(const char *token) {
  for (int i = 0; i < kTokenLen; i++) {
    char ch = token[i];
    bool ok = (i == 8) ? ch == ':'
                       : ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'));
    if (!ok) return i;
  }
  return kTokenLen;
}

}  // namespace

size_t capture_checkpoint(char *line, size_t size, size_t count, void *record) {
  cluster *c = static_cast<cluster *>(record);
  const size_t m = size * count;
  char copy[128];
  size_t n = m < 127 ? m : 127;
  memcpy(copy, line, n);
  copy[n] = '\0';
  if (strncasecmp(copy, kCheckpointHeader, kCheckpointHeaderLen) != 0) return m;

  const char *p = copy + kCheckpointHeaderLen;
  while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) p++;
  if (strlen(p) < kTokenLen) return m;

  char token[kTokenLen + 1];
  memcpy(token, p, kTokenLen);
  token[kTokenLen] = '\0';
  int bad = first_bad_token_position(token);
  if (bad == kTokenLen && c->pull_in_progress) {
    memcpy(c->pending_checkpoint, token, kTokenLen + 1);
    c->pending_valid = true;
    return m;
  }
  if (bad == kTokenLen) {
    char *fresh = strdup(token);
    if (fresh != nullptr) {
      c->checkpoint_changed =
          c->checkpoint == nullptr || strcmp(c->checkpoint, token) != 0;
      free(c->checkpoint);
      c->checkpoint = fresh;
    }
  }
  if (c->checkpoint == nullptr) {
    zorvL(errorls, "Invalid checkpoint header @ %d: %s\n", bad, token);
  }
  return m;
}

/* Makes the token a completed pull carried the record's checkpoint. */
static void adopt_pending_checkpoint(cluster *c) {
  char *fresh = strdup(c->pending_checkpoint);
  if (fresh == nullptr) return;  // the old checkpoint stays: nothing skipped
  c->checkpoint_changed =
      c->checkpoint == nullptr || strcmp(c->checkpoint, fresh) != 0;
  free(c->checkpoint);
  c->checkpoint = fresh;
}

uint64_t undecoded_bytes(const cluster *c) {
  return zorv_dyn_buffer_used(&c->buffer) + c->skip_pending;
}

bool stream_cut_short(const cluster *c) {
  // full_state 4 is only ever left by the element's value. Diff pulls never
  // move it, and they follow only a full sync that did not end there.
  return undecoded_bytes(c) > 0 || c->full_state == 4;
}

/* An error body is read for its "error" text only; a node that sends more
 * than this gets the rest ignored (the transfer goes on), so that no answer
 * can make the daemon hold more than this much of it. */
static constexpr size_t kMaxErrorBody = 64 * 1024 - 1;

size_t populate_dyn_buff(char *bytes, size_t size, size_t count, void *buffer) {
  auto *b = static_cast<zorv_dyn_buffer_t *>(buffer);
  const size_t m = size * count;
  const size_t used = zorv_dyn_buffer_used(b);
  const size_t take = used >= kMaxErrorBody ? 0
                      : (m < kMaxErrorBody - used ? m : kMaxErrorBody - used);
  zorv_dyn_buffer_ensure(b, take + 1);
  zorv_dyn_buffer_add(b, bytes, take);  // keeps a NUL just past the bytes
  return m;
}

char *get_json_error_from_dyn_buffer(zorv_dyn_buffer_t *buffer) {
  zorv_json_tokener_error err = zorv_json_tokener_success;
  zorv_json_object *doc =
      zorv_json_tokener_parse(zorv_dyn_buffer_data(buffer), &err);
  if (doc == nullptr) {
    if (err < 0 || err >= zorv_json_tokener_error_count) return nullptr;
    return strdup(zorv_json_tokener_errors[err]);
  }
  char *text = nullptr;
  zorv_json_object *member = nullptr;
  if (zorv_json_object_get_type(doc) == zorv_json_type_object &&
      zorv_json_object_object_get_ex(doc, "error", &member) &&
      zorv_json_object_get_type(member) == zorv_json_type_string) {
    text = strdup(zorv_json_object_get_string(member));
  }
  zorv_json_object_put(doc);
  return text;
}

bool establish_checkpoint(cluster *c) {
  drask_client_t *client;
  const char *node;
  if (!choose_node(c, &client, &node)) return false;
  CurlHandle h(curl_easy_init());
  if (!h) return false;

  DynBuffer body, url;
  zorv_dyn_buffer_add_printf(&url.b, "%s/metafeed/check/tag?subscriber=%s",
                             node, subscriber);
  HeaderList headers(zorv_zipkin_inst_curl_headers(nullptr));
  common_options(h.get(), url.text(), client);
  curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, "POST");
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h.get(), CURLOPT_HEADERDATA, c);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body.b);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, populate_dyn_buff);
  curl_easy_setopt(h.get(), CURLOPT_HEADERFUNCTION, capture_checkpoint);

  long status = transfer_status(h.get(), curl_easy_perform(h.get()));
  headers.reset();
  HeapText error(get_json_error_from_dyn_buffer(&body.b));
  const char *why = error ? error.get() : "unspecified error";

  if (status == 409) {
    drop_checkpoint(c);
    return false;
  }
  if (status == 200 && c->checkpoint != nullptr) {
    c->last_success = zorv_now_us();
    c->last_success_mono = zorv_now_mono_us();
    return true;
  }
  zorvL(errorls, "[%d] failed to create checkpoint with '%s': %ld %s\n",
        c->cluster_id, url.text(), status, why);
  return false;
}

void drop_checkpoint(cluster *c) {
  drask_client_t *client = nullptr;
  const char *node = nullptr;
  bool have_node = choose_node(c, &client, &node);
  // Forgotten before any request: even when none can be made.
  free(c->checkpoint);
  c->checkpoint = nullptr;
  if (!have_node) return;
  CurlHandle h(curl_easy_init());
  if (!h) return;

  DynBuffer body, url;
  zorv_dyn_buffer_add_printf(&url.b, "%s/metafeed/check/tag?subscriber=%s",
                             node, subscriber);
  HeaderList headers(zorv_zipkin_inst_curl_headers(nullptr));
  common_options(h.get(), url.text(), client);
  curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, "DELETE");
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body.b);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, populate_dyn_buff);

  long status = transfer_status(h.get(), curl_easy_perform(h.get()));
  headers.reset();
  HeapText error(get_json_error_from_dyn_buffer(&body.b));
  bool deleted = (status >= 200 && status <= 299) || status == 404;
  if (!deleted) {
    zorvL(errorls, "[%d] failed to delete checkpoint with '%s': %ld %s\n",
          c->cluster_id, url.text(), status,
          error ? error.get() : "unspecified error");
  }
}

int pull_it(cluster *c, const char *path_format, ostrel_curl_callback decoder) {
  drask_client_t *client;
  const char *node;
  if (!choose_node(c, &client, &node)) return 0;
  zorv_dyn_buffer_reset(&c->buffer);
  c->skip_pending = 0;
  CurlHandle h(curl_easy_init());
  if (!h) return 0;

  DynBuffer url;
  zorv_dyn_buffer_add(&url.b, node, strlen(node));
  zorv_dyn_buffer_add_printf(&url.b, path_format, subscriber,
                             c->checkpoint ? c->checkpoint : "");
  HeaderList headers(zorv_zipkin_inst_curl_headers(nullptr));
  common_options(h.get(), url.text(), client);
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, c);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, decoder);
  curl_easy_setopt(h.get(), CURLOPT_HEADERDATA, c);
  curl_easy_setopt(h.get(), CURLOPT_HEADERFUNCTION, capture_checkpoint);

  char curl_error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h.get(), CURLOPT_ERRORBUFFER, curl_error);

  c->pull_in_progress = true;
  c->pending_valid = false;
  CURLcode rc = curl_easy_perform(h.get());
  long status = transfer_status(h.get(), rc);
  c->pull_in_progress = false;
  headers.reset();
  curl_off_t received = 0;
  curl_easy_getinfo(h.get(), CURLINFO_SIZE_DOWNLOAD_T, &received);
  note_pull(c, node, rc, curl_error[0] ? curl_error : curl_easy_strerror(rc),
            status, received > 0 ? static_cast<uint64_t>(received) : 0,
            stream_cut_short(c));
  if (status < 0) status = 0;
  // A body that ends inside a record or message was cut short (a closed
  // connection ends a body without a length, or the node framed it short):
  // the token would acknowledge changes that were never decoded.
  if (status == 200 && stream_cut_short(c)) {
    if (const uint64_t left = undecoded_bytes(c); left > 0) {
      zorvL(errorls, "[%d] pull from '%s' ended inside a message: %llu bytes left\n",
            c->cluster_id, node, static_cast<unsigned long long>(left));
    } else {
      zorvL(errorls,
            "[%d] pull from '%s' ended between an element's info and its value\n",
            c->cluster_id, node);
    }
  } else if (status == 200) {
    if (c->pending_valid) adopt_pending_checkpoint(c);
    c->last_success = zorv_now_us();
    c->last_success_mono = zorv_now_mono_us();
  }
  c->pending_valid = false;
  return static_cast<int>(status);
}
