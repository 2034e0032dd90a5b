/* Replication records following kavalin's cluster-changed hook: creation,
 * replacement with hand-over to a new worker, removal, the started
 * handshake, and the worker waiting for a subscriber. The kavalin here is a
 * stand-in whose client lookup the test controls. */
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "fake_kavalin.h"
#include "log_capture.h"
#include "modules/ostrel/internal.h"

namespace {

using namespace std::chrono_literals;

const char *kNotice = "notice/ostrel";
const char *kError = "error/ostrel";

std::string registered_line(int id) {
  return "[" + std::to_string(id) +
         "] registered new cluster for check tag replication with 0 nodes\n";
}
std::string updated_line(int id) {
  return "[" + std::to_string(id) +
         "] Updated cluster for check tag replication with 0 nodes\n";
}
std::string unregister_line(int id) {
  return "[" + std::to_string(id) +
         "] unregistering cluster for check tag replication.\n";
}
std::string stopping_line(int id) {
  return "[" + std::to_string(id) + "] ostrelate stopping against " +
         std::to_string(id) + "\n";
}

/* The record under id and its started flag, read under the table's lock. */
cluster *record_for(int id, uint32_t *started = nullptr) {
  pthread_mutex_lock(&clusters_lock);
  void *data = nullptr;
  cluster *c = nullptr;
  if (zorv_hash_retrieve(&clusters, &id, sizeof(id), &data)) {
    c = static_cast<cluster *>(data);
    if (started) *started = started_load(c);
  }
  pthread_mutex_unlock(&clusters_lock);
  return c;
}

/* Waits (bounded) until the record under id has a running worker. */
cluster *wait_running(int id) {
  for (int i = 0; i < 500; i++) {
    uint32_t started = 0;
    cluster *c = record_for(id, &started);
    if (c && started == 1) return c;
    std::this_thread::sleep_for(10ms);
  }
  return nullptr;
}

class RegistryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ostrel_config(&ostrel, nullptr);
    ostrel_init(&ostrel);
  }
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void TearDown() override {
    // Remove whatever a test left, and wait for the workers to go.
    for (int id : {1, 2, 3, 4, 5}) {
      if (record_for(id)) {
        fake_kavalin::set_client(id, false);
        fake_kavalin::fire_cluster_changed(id);
      }
    }
  }
};

TEST_F(RegistryTest, NewReplaceRemoveHandsOverWorkers) {
  LogCapture logs;
  pthread_mutex_lock(&clusters_lock);
  free(subscriber);
  subscriber = strdup("test-subscriber");
  pthread_mutex_unlock(&clusters_lock);

  // Each registration and each worker start looks the client up once;
  // waiting for a worker's lookup makes sure it got past its start.
  const int base = fake_kavalin::lookups(1);
  fake_kavalin::set_client(1, true);
  EXPECT_EQ(fake_kavalin::fire_cluster_changed(1), ZORV_HOOK_CONTINUE);
  EXPECT_EQ(logs.count(kNotice, registered_line(1)), 1);
  cluster *first = wait_running(1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->cluster_id, 1);
  ASSERT_TRUE(fake_kavalin::wait_lookups(1, base + 2));

  // Same id again: the new record replaces the old, whose worker stops,
  // releases its record and starts the replacement's worker.
  EXPECT_EQ(fake_kavalin::fire_cluster_changed(1), ZORV_HOOK_CONTINUE);
  EXPECT_EQ(logs.count(kNotice, updated_line(1)), 1);
  ASSERT_TRUE(logs.wait_for(kNotice, stopping_line(1), 1));
  cluster *second = wait_running(1);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(fake_kavalin::wait_lookups(1, base + 4));

  // The replacement really has a worker of its own: replacing it once more
  // stops that one too.
  fake_kavalin::fire_cluster_changed(1);
  ASSERT_TRUE(logs.wait_for(kNotice, stopping_line(1), 2));
  ASSERT_NE(wait_running(1), nullptr);
  ASSERT_TRUE(fake_kavalin::wait_lookups(1, base + 6));

  // Removal: kavalin no longer has a client.
  fake_kavalin::set_client(1, false);
  fake_kavalin::fire_cluster_changed(1);
  EXPECT_EQ(logs.count(kError, unregister_line(1)), 1);
  EXPECT_EQ(record_for(1), nullptr);
  ASSERT_TRUE(logs.wait_for(kNotice, stopping_line(1), 3));
  // No further worker: nothing is left to start.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(logs.count(kNotice, stopping_line(1)), 3);
}

TEST_F(RegistryTest, UnknownClusterWithoutClientChangesNothing) {
  LogCapture logs;
  fake_kavalin::set_client(2, true);
  fake_kavalin::fire_cluster_changed(2);
  ASSERT_NE(wait_running(2), nullptr);

  fake_kavalin::fire_cluster_changed(9);  // never registered, no client
  EXPECT_EQ(logs.count(kError, unregister_line(9)), 1);
  EXPECT_NE(record_for(2), nullptr);
  EXPECT_EQ(zorv_hash_size(&clusters), 1);
  EXPECT_EQ(logs.count(kNotice, stopping_line(2)), 0);
}

TEST_F(RegistryTest, WaitingRecordIsReleasedAtOnce) {
  // A record that no worker has taken yet (as a replacement waits for the
  // outgoing worker) belongs to the table alone; removing it frees it
  // (AddressSanitizer reports it if it leaks or is freed twice).
  auto *c = static_cast<cluster *>(calloc(1, sizeof(cluster)));
  c->cluster_id = 3;
  zorv_dyn_buffer_init(&c->buffer);
  c->checkpoint = strdup("cp-1");
  c->last_set_name = strdup("set");
  c->nodes = static_cast<const char **>(calloc(2, sizeof(char *)));
  pthread_mutex_lock(&clusters_lock);
  ASSERT_EQ(zorv_hash_replace(&clusters, &c->cluster_id, sizeof(int32_t), c,
                              nullptr, free_cluster),
            1);
  pthread_mutex_unlock(&clusters_lock);

  LogCapture logs;
  fake_kavalin::set_client(3, false);
  fake_kavalin::fire_cluster_changed(3);
  EXPECT_EQ(record_for(3), nullptr);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(logs.count(kNotice, stopping_line(3)), 0);  // no worker involved
}

TEST_F(RegistryTest, WorkerWaitsForSubscriberWithoutSpinning) {
  pthread_mutex_lock(&clusters_lock);
  free(subscriber);
  subscriber = nullptr;
  pthread_mutex_unlock(&clusters_lock);

  cluster rec{};
  rec.cluster_id = 4;
  rec.handover = Handover::kRunning;
  started_store(&rec, 1);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = wait_for_subscriber(&rec) ? 1 : 0; });

  // Still waiting after a while, and it burns no CPU meanwhile.
  clock_t cpu_before = clock();
  std::this_thread::sleep_for(300ms);
  clock_t cpu_used = clock() - cpu_before;
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(cpu_used, CLOCKS_PER_SEC / 10);

  // Post-initialisation settles the subscriber and wakes it.
  pthread_mutex_lock(&clusters_lock);
  subscriber = strdup("late-subscriber");
  pthread_mutex_unlock(&clusters_lock);
  fake_kavalin::set_client(4, false);
  ostrel_post_init(&ostrel);
  waiter.join();
  EXPECT_EQ(result.load(), 1);

  // A record told to stop while waiting gives up instead.
  pthread_mutex_lock(&clusters_lock);
  free(subscriber);
  subscriber = nullptr;
  pthread_mutex_unlock(&clusters_lock);
  result = -1;
  std::thread waiter2([&] { result = wait_for_subscriber(&rec) ? 1 : 0; });
  std::this_thread::sleep_for(50ms);
  pthread_mutex_lock(&clusters_lock);
  free_cluster(&rec);  // started 1: only clears the flag and wakes waiters
  pthread_mutex_unlock(&clusters_lock);
  waiter2.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(started_load(&rec), 0u);
}

TEST_F(RegistryTest, EarlyClusterWorkerStopsWithoutSubscriber) {
  // A cluster announced before post-initialisation (no subscriber yet) has
  // a worker that waits; removing the cluster still ends it cleanly.
  pthread_mutex_lock(&clusters_lock);
  free(subscriber);
  subscriber = nullptr;
  pthread_mutex_unlock(&clusters_lock);
  LogCapture logs;
  const int base = fake_kavalin::lookups(5);
  fake_kavalin::set_client(5, true);
  fake_kavalin::fire_cluster_changed(5);
  ASSERT_NE(wait_running(5), nullptr);
  ASSERT_TRUE(fake_kavalin::wait_lookups(5, base + 2));
  fake_kavalin::set_client(5, false);
  fake_kavalin::fire_cluster_changed(5);
  EXPECT_TRUE(logs.wait_for(kNotice, stopping_line(5)));
}

TEST_F(RegistryTest, NoticesFallBackToHostStreams) {
  LogCapture logs;
  pthread_mutex_lock(&clusters_lock);
  free(subscriber);
  subscriber = nullptr;  // the worker then waits and reads no stream
  pthread_mutex_unlock(&clusters_lock);
  const int base = fake_kavalin::lookups(2);
  zorv_log_stream_t saved_notice = noticels, saved_error = errorls;
  noticels = nullptr;
  errorls = nullptr;
  fake_kavalin::set_client(2, true);
  fake_kavalin::fire_cluster_changed(2);
  ASSERT_TRUE(fake_kavalin::wait_lookups(2, base + 2));
  // The worker reads noticels only once it is told to stop (after the
  // removal below, through clusters_lock), so restoring it here is safe.
  noticels = saved_notice;
  fake_kavalin::set_client(2, false);
  fake_kavalin::fire_cluster_changed(2);
  errorls = saved_error;
  EXPECT_EQ(logs.count("notice", registered_line(2)), 1);
  EXPECT_EQ(logs.count("error", unregister_line(2)), 1);
  EXPECT_TRUE(logs.wait_for(kNotice, stopping_line(2)));
}

TEST_F(RegistryTest, RecordOfAWorkerThatEndedEarlyIsReleasedAndReplaced) {
  LogCapture logs;
  pthread_mutex_lock(&clusters_lock);
  free(subscriber);
  subscriber = strdup("test-subscriber");
  pthread_mutex_unlock(&clusters_lock);
  // The worker's own lookup (the second from now) finds no client: it ends
  // at once and leaves its record in the table.
  const int base = fake_kavalin::lookups(3);
  fake_kavalin::fail_lookup_number(3, base + 2);
  fake_kavalin::set_client(3, true);
  fake_kavalin::fire_cluster_changed(3);
  ASSERT_TRUE(logs.wait_for(kError, "[3] can't get client for cluster\n"));
  EXPECT_NE(record_for(3), nullptr);

  // A replacement releases that record (AddressSanitizer would report it
  // leaked) and gets its worker at once instead of waiting for a hand-over
  // that cannot come.
  fake_kavalin::fire_cluster_changed(3);
  EXPECT_EQ(logs.count(kNotice, updated_line(3)), 1);
  ASSERT_NE(wait_running(3), nullptr);
  EXPECT_TRUE(logs.wait_for(
      kError, "[3] failed to register cluster. Can't connect.\n"));

  fake_kavalin::set_client(3, false);
  fake_kavalin::fire_cluster_changed(3);
  EXPECT_TRUE(logs.wait_for(kNotice, stopping_line(3)));
  EXPECT_EQ(record_for(3), nullptr);
}

TEST_F(RegistryTest, RemovalOfARecordWhoseWorkerEndedEarly) {
  LogCapture logs;
  const int base = fake_kavalin::lookups(4);
  fake_kavalin::fail_lookup_number(4, base + 2);
  fake_kavalin::set_client(4, true);
  fake_kavalin::fire_cluster_changed(4);
  ASSERT_TRUE(logs.wait_for(kError, "[4] can't get client for cluster\n"));
  fake_kavalin::set_client(4, false);
  fake_kavalin::fire_cluster_changed(4);
  EXPECT_EQ(record_for(4), nullptr);  // released, not left to a dead worker
}

TEST_F(RegistryTest, ThreadCreationFailureTerminates) {
  EXPECT_EXIT(
      {
        // No thread can get a stack of this size.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size_t{1} << 50);
        pthread_setattr_default_np(&attr);
        fake_kavalin::set_client(1, true);
        fake_kavalin::fire_cluster_changed(1);
      },
      ::testing::ExitedWithCode(2),
      "\\[TERMINATE\\] ostrel thread creation failed: ");
}

}  // namespace
