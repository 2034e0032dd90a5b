/* ostrel's module state and the functions its files share. Hidden: nothing
 * outside the module includes this header but the module's own tests.
 *
 * Data flows one way: feed bytes -> stream decoders -> store_check_tag ->
 * the readers (tagset completion, the show route, the two exports). */
#ifndef OSTREL_INTERNAL_H
#define OSTREL_INTERNAL_H

#include <pthread.h>

#include <atomic>

#include "modules/ostrel/ostrel.h"
#include "modules/ostrel/tag_table.h"
#include "quib/tagset.h"
#include "zorv/buffer.h"
#include "zorv/dso.h"
#include "zorv/hash.h"
#include "zorv/log.h"
#include "zorv/rest.h"

/* ---- set-CRDT elements ------------------------------------------------- */

/* What the feed carries with every element. The tombstone bit is the lowest
 * bit of the 32-bit word and the length its upper 31 bits; `word` names the
 * whole word so that the store can publish a changed info with one atomic
 * store, and a lock-free reader can test the tombstone with one load. */
typedef struct setcrdt_element_info {
  uint64_t seq;
  union {
    struct {
      uint32_t tombstone : 1;
      uint32_t len : 31;
    };
    uint32_t word;
  };
  /* Stored entries only (it fills what would be padding): how the text
   * reads as a metric tag, worked out once when the entry is stored, so
   * that completing a tagset never scans a tag text. See tag_completion_shape. */
  uint32_t tag_shape;
} setcrdt_element_info_t;
static_assert(sizeof(setcrdt_element_info_t) == 16,
              "the shape lives in the info's padding");

/* An element with its text. Incoming: value points into the receive buffer
 * (len bytes, no NUL). Stored: value points at the text that follows the
 * entry in the same allocation (NUL-terminated), and the entry is never
 * freed or moved. */
typedef struct setcrdt_alter_entry {
  const char *value;
  setcrdt_element_info_t info;
} setcrdt_alter_entry_t;
static_assert(sizeof(setcrdt_alter_entry_t) == kTagEntryHeaderBytes,
              "tag_table.h prefetches the entry's fixed part by this size");

/* One check of the store. gen is written only under the write lock and
 * read by anyone with an atomic load. A container is one block of the
 * store's arena that also holds the check's tag table (with room for the
 * common dozen tags inline) and the check UUID text under which it sits in
 * check_tags: a check of ten tags costs this block and its entries, and a
 * lookup that finds the container touches one block, not three. */
typedef struct tag_container {
  uint64_t gen;
  tag_table tags;         /* tag text -> stored setcrdt_alter_entry_t */
  unsigned char uuid[16]; /* the key parsed once, for the metric director */
  uint8_t uuid_parsed;    /* 1 when the key is UUID text (uuid is valid) */
  char key[];             /* the check UUID text, NUL-terminated */
} tag_container;

/* ---- replication records ----------------------------------------------- */

/* Pulls by outcome, for the metrics. */
enum pull_outcome {
  kPullOk,
  kPullErrorStatus,     /* an answer other than 200 */
  kPullTransferFailure, /* no answer: connection, timeout, low speed */
  kPullCorruptStream,   /* the decoder refused the stream, or it was cut */
  kPullOutcomes
};

/* What operators see of a record beyond `shown` (operator.cpp). The worker
 * writes them; fields a scrape may read at the same time are written with
 * relaxed atomic stores, the rest are the worker's or copied under
 * clusters_lock. */
typedef struct ostrel_record_stats {
  uint64_t pulls[kPullOutcomes];
  uint64_t bytes_received;
  uint64_t full_sync_failures;
  uint64_t oversized_skipped;    /* elements passed over: tag too long */
  char oversized_check[37];      /* worker only: the check last logged so */
  uint64_t full_bytes_now, full_elements_now; /* the full sync in progress */
  uint64_t failing_since;        /* worker only: first failure of a streak */
  uint64_t reminded_at;          /* worker only (both monotonic) */
  char failing_node[128];        /* worker only */
  char last_error[320];          /* worker only */
  char shown_error[320];         /* copied under clusters_lock */
} ostrel_record_stats;

/* Where a record stands between registration and its workers; see
 * handover.cpp for the transitions. Read and written under clusters_lock. */
enum class Handover : uint8_t {
  kWaiting = 0, /* zero-filled records start here */
  kAfter,
  kRunning,
  kParked,
  kIdle,
  kStopping,
};

/* One per registered cluster. Owned by `clusters` while it is in the table;
 * once removed while a worker runs, by that worker alone. Apart from
 * cluster_id, started, tid and the hand-over fields, only the worker (and
 * its transfer callbacks) touch the fields while it runs. */
typedef struct cluster {
  int32_t cluster_id;
  const char **nodes; /* the strings belong to the database client */
  uint32_t nodes_cnt;
  uint32_t theone;
  bool full_complete;
  /* The only handshake between registration and the worker; accessed with
   * single atomic loads and stores (started_load/started_store), never a
   * read-modify-write. */
  uint32_t started;
  pthread_t tid;
  char *checkpoint;
  bool checkpoint_changed;
  /* During a pull the header's token waits here and becomes `checkpoint`
   * only once the whole body has arrived with 200: the token acknowledges
   * every change before it, so adopting it from a pull whose body broke off
   * would skip changes the replica never received. */
  bool pull_in_progress;
  bool pending_valid;
  char pending_checkpoint[18];
  uint64_t last_success;      /* wall clock, for operators */
  uint64_t last_success_mono; /* monotonic, for the fail-over test */
  /* Monotonic time the replica was last known current: a full sync
   * completed, or a diff pull answered 200 and was decoded whole. Unlike
   * last_success, a checkpoint creation does not renew it, so a node that
   * grants checkpoints but never delivers a whole full state does not look
   * healthy. Published as shown.current_mono. */
  uint64_t current_mono;
  zorv_dyn_buffer_t buffer;
  /* Payload bytes of the current record or message that the decoder passes
   * over as they arrive instead of buffering them; reset with buffer. */
  uint64_t skip_pending;
  uint8_t full_state;
  char *last_set_name;
  /* last_set_name is a 37-byte block of read_full's own, which the next
   * check's name may reuse instead of a free and an allocation per check. */
  bool set_name_reusable;
  setcrdt_element_info_t last_info;
  /* Hand-over (clusters_lock): the state, a serial that tells records of
   * one cluster id apart, the serial of the record whose worker an `after`
   * record waits for, and the signature a parked record waits for. */
  Handover handover;
  uint64_t serial;
  uint64_t waits_for;
  char *parked_on;
  /* The topology signature its worker claimed (a copy), or null: lets a
   * record parked on it be judged by the record that replicates it. */
  char *signature;
  uint64_t admitted_mono; /* when the record entered the table */

  /* Progress of the full-state pull in progress (worker thread only). */
  uint64_t full_checks, full_elements, full_bytes;
  uint64_t full_progress_at; /* monotonic us of the last progress line */
  uint64_t elements_merged;  /* every element handed to the store */

  /* What the status route shows: published by the worker under
   * clusters_lock, read there by the route. */
  struct {
    const char *phase;
    const char *node; /* a string of the database client, or null */
    char checkpoint[18];
    uint64_t last_success_mono;
    uint64_t current_mono;
    uint64_t full_syncs, failovers, elements_merged;
  } shown;

  ostrel_record_stats stats;
} cluster;

inline uint32_t started_load(cluster *c) {
  return std::atomic_ref<uint32_t>(c->started).load(std::memory_order_acquire);
}
inline void started_store(cluster *c, uint32_t v) {
  std::atomic_ref<uint32_t>(c->started).store(v, std::memory_order_release);
}

/* ---- module state (module.cpp, registry.cpp, store.cpp) ---------------- */

extern "C" ZORV_EXPORT zorv_dso_generic_t ostrel;
extern const char *const ostrel_xml_description;

extern int64_t speed_limit;
extern int64_t speed_timeout_s;
extern int64_t connect_timeout_s;
extern char *subscriber; /* written under clusters_lock once workers exist */
extern int32_t update_interval;
/* Microseconds. 64-bit so that a fail-over time above 2147 s does not wrap
 * around into a negative (or tiny) limit. */
extern int64_t max_fail_us_before_next;
/* The longest tag text kept; an element with a longer one is passed over
 * as it streams. Bounds what a node can make a worker buffer: one record or
 * message of at most this plus its fixed part, plus the unread rest of one
 * libcurl write (16 KiB). */
extern uint32_t max_tag_bytes;

extern zorv_hash_table clusters;
extern pthread_mutex_t clusters_lock;

/* Calls f(cluster *) on every record of `clusters`; the caller holds
 * clusters_lock. */
template <typename F>
void each_record(F &&f) {
  zorv_hash_iter iter = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv(&clusters, &iter, &key, &klen, &data)) {
    f(static_cast<cluster *>(data));
  }
}
/* Signalled (under clusters_lock) when a record is told to stop and when
 * the subscriber is settled, so that workers wait for either without
 * spinning. */
extern pthread_cond_t clusters_cond;
extern zorv_hash_table cluster_signatures;

extern zorv_hash_table check_tags;
extern uint32_t check_tags_write_lock;

extern zorv_log_stream_t errorls;
extern zorv_log_stream_t noticels;
extern zorv_log_stream_t controlls;
extern zorv_log_stream_t use_debug;

/* ---- module.cpp ----------------------------------------------------------- */

int ostrel_config(zorv_dso_generic_t *self, zorv_hash_table *options);
int ostrel_init(zorv_dso_generic_t *self);
zorv_hook_return_t ostrel_post_init(void *closure);

/* The leading decimal integer of text (after optional white space and a
 * sign), clamped to the 32-bit range; 0 when text does not start with one. */
int32_t ostrel_leading_int32(const char *text);

/* ---- registry.cpp --------------------------------------------------------- */

zorv_hook_return_t ostrel_react_cluster_changed(void *closure, int cluster_id);
void register_cluster(int cluster_id);
void free_cluster(void *record);
/* Starts a worker for every waiting record (handover.cpp). */
void spinup_threads(void);
/* Creates the cluster table, its lock and condition, and the signature set
 * (ostrel_config's first step). */
void ostrel_registry_setup(void);

/* ---- handover.cpp (all under clusters_lock unless said otherwise) ------- */

/* Sets the state of a record about to replace (or join) the table entry of
 * its id; called under clusters_lock before the replace. */
void handover_admit(cluster *fresh);
/* The worker's claim of its topology signature (takes clusters_lock). False
 * when another record holds it: the record is then parked or released and
 * the worker must not touch it again. */
bool handover_claim_signature(cluster *c, const char *signature);
/* The worker found no client as it started (takes clusters_lock); it must
 * not touch the record again. */
void handover_no_client(cluster *c);
/* The worker of a stopping record ends: releases its signature (when it
 * holds one), wakes the records parked on it, starts its successor and
 * releases the record (takes clusters_lock). */
void handover_stopped(cluster *c, const char *signature);

/* ---- worker.cpp ----------------------------------------------------------- */

void *ostrelate_thread(void *record);
/* Blocks until the subscriber is settled (true) or the record is told to
 * stop (false). */
bool wait_for_subscriber(cluster *c);

/* ---- store.cpp ------------------------------------------------------------ */

void ostrel_store_setup(void);
/* Empties the store and gives back its memory (one arena chunk is kept,
 * zeroed, for the next fill). Only for a process that owns the store alone
 * (tests, fuzzing): no reader may run beside it or hold anything it handed
 * out. */
void ostrel_store_clear(void);
void store_check_tag(const char *key, const setcrdt_alter_entry_t *incoming);
/* A run of elements stored in order, the cache misses of each (check_tags
 * slot, container, metric director slot) started a few elements ahead of
 * its merge, so that they overlap instead of following one another. The
 * key and the entry's value point into the caller's bytes, which must stay
 * in place until store_batch_flush returns; so a decoder flushes before it
 * gives back the bytes it took, and whenever the order of a log line and
 * the stores before it matters. The outcome is that of store_check_tag on
 * every element in turn. */
constexpr uint32_t kStoreBatch = 32;
typedef struct store_pending {
  const char *key; /* check UUID text, klen bytes (no NUL needed) */
  uint32_t klen;
  uint32_t key_hash;
  uint64_t tag_hash;
  tag_container *hint; /* the container it probably goes to, or null */
  setcrdt_alter_entry_t entry;
} store_pending;
typedef struct store_batch {
  store_pending ring[kStoreBatch];
  uint32_t pushed;  /* elements pushed since the last flush */
  uint32_t applied; /* of those, merged into the store */
} store_batch;
/* Adds an element; merges the one that waited longest once the batch is
 * full. key[0, klen) holds no NUL (store_check_tag's key ends at its first
 * one) and is no longer than INT32_MAX. */
void store_batch_push(store_batch *b, const char *key, uint32_t klen,
                      const setcrdt_alter_entry_t *incoming);
/* Merges every element still waiting, in order; the batch is then empty. */
void store_batch_flush(store_batch *b);
/* The container stored under key[0, klen), or null. For a reader inside
 * its own bracket (which keeps the container's table arrays alive while it
 * walks them). */
tag_container *store_find_container(const char *key, size_t klen);

/* ---- feed.cpp ------------------------------------------------------------- */

/* A libcurl body or header callback: (bytes, size, count, closure). */
typedef size_t (*ostrel_curl_callback)(char *, size_t, size_t, void *);

bool establish_checkpoint(cluster *c);
void drop_checkpoint(cluster *c);
/* The HTTP status of the pull, 0 when none was obtained (no node, transfer
 * failed or aborted by the decoder). */
int pull_it(cluster *c, const char *path_format, ostrel_curl_callback decoder);
/* Bytes of the last pull's body that no complete record or message took:
 * buffered ones and those still to be passed over. */
uint64_t undecoded_bytes(const cluster *c);
/* Whether the last pull's body ended where no stream may end: inside a
 * record or message, or between an element's info and its value. Such a
 * body was cut short, whatever the status said; pull_it then adopts no
 * token. */
bool stream_cut_short(const cluster *c);
size_t capture_checkpoint(char *line, size_t size, size_t count, void *record);
size_t populate_dyn_buff(char *bytes, size_t size, size_t count, void *buffer);
/* The "error" member of a JSON body, the parser's complaint when the body
 * is not JSON, or null; heap text the caller frees. */
char *get_json_error_from_dyn_buffer(zorv_dyn_buffer_t *buffer);

/* ---- full_stream.cpp, diff_stream.cpp ---------------------------------- */

/* libcurl body callbacks of the two pulls (record as closure). read_full
 * returns 0 to abort the transfer at any breach of the format; read_diff
 * skips a bad message and never aborts. Both pass over an element whose tag
 * is longer than max_tag_bytes (note_oversized) and decode the rest. Bytes
 * that are only to be passed over are counted down in skip_pending as they
 * arrive, never buffered. */
size_t read_full(char *bytes, size_t size, size_t count, void *record);
size_t read_diff(char *bytes, size_t size, size_t count, void *record);
bool full_state_transition_allowed(uint8_t from, uint8_t to);

/* ---- operator.cpp --------------------------------------------------------- */

/* After every pull: counts it and logs a node's first failure, a reminder
 * at most once a minute while failures go on, and the recovery. */
void note_pull(cluster *c, const char *node, int curl_code,
               const char *curl_error, long status, uint64_t bytes,
               bool cut_short);
/* An element of check passed over because its tag of len bytes is longer
 * than max_tag_bytes: counted, and logged once for a run of such elements
 * of one check. */
void note_oversized(cluster *c, const char *check, uint32_t len);
/* During a full sync: makes its progress visible to the status route. */
void note_full_progress(cluster *c);
/* After theone moved on: which node was left and which is taken. */
void log_failover(cluster *c, const char *reason);
/* Before a full-state pull: the node it goes to. */
void log_full_sync_node(cluster *c);
/* Inside the worker's publish (under clusters_lock). */
void publish_stats(cluster *c);

/* ---- status.cpp ------------------------------------------------------------ */

/* Registers the metrics collector and the health check (module init). */
void ostrel_operator_setup(void);
int ostrel_rest_status(zorv_http_rest_closure_t *restc, int npats, char **pats);

/* ---- readers.cpp ---------------------------------------------------------- */

zorv_hook_return_t check_tag_tagset_completer(void *closure,
                                              quib_metric_tagset_class_t cls,
                                              quib_metric_tagset_t *tagset);
void accrue_tags(void *tagset, const char *tag);
/* How a stored tag text of len bytes is appended to a check tagset: 0 when
 * completion leaves it out (no colon before its end, a check UUID tag, or
 * sizes the tag fields cannot describe), else its total size << 8 | its
 * category size. The text ends at its first NUL, as readers see it. */
uint32_t tag_completion_shape(const char *text, size_t len);
int ostrel_rest_show(zorv_http_rest_closure_t *restc, int npats, char **pats);
void accrue_tags_rest_json(void *array, const char *tag);
/* Status, content type and framing of a JSON answer. */
void ostrel_json_response_start(zorv_http_session_ctx *ctx, int code,
                                const char *reason);

#endif
