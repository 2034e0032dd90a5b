// Update requests arriving at once on different HTTP threads: every map
// update and cluster update is applied whole, none is lost in the
// configuration tree, the file or the live map.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/kavalin_support.h"

namespace {

using kavalin_test::elements;
using kavalin_test::KavalinDaemon;

TEST(KavalinUpdateConcurrency, ConcurrentUpdatesAreSerialised) {
  KavalinDaemon d(
      "<drask><swimlane>"
      "<bootstrap cluster=\"1\" host=\"127.0.0.1:18101\"/>"
      "<bootstrap cluster=\"2\" host=\"127.0.0.1:18201\"/>"
      "<account_map/>"
      "</swimlane></drask>");
  ASSERT_TRUE(d.start()) << d.log();

  constexpr int kThreads = 4, kRequests = 8;
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; t++) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kRequests; i++) {
        /* Each request maps two accounts of its own; every other request
         * of thread 0 also rewrites cluster 2's hosts. */
        int64_t a = 1000 + t * 100 + i * 2;
        auto r = d.post("/module/kavalin/map",
                        "<drask><map account=\"" + std::to_string(a) +
                            "\" cluster=\"1\"/><map account=\"" +
                            std::to_string(a + 1) + "\" cluster=\"2\"/></drask>");
        if (r.status != 204) failures++;
        if (t == 0) {
          r = d.post("/module/kavalin/cluster/2",
                     "<drask><bootstrap host=\"127.0.0.1:182" +
                         std::to_string(10 + i) + "\"/></drask>");
          if (r.status != 204) failures++;
        }
      }
    });
  }
  for (auto &c : clients) c.join();
  EXPECT_EQ(failures.load(), 0);

  std::string conf = d.conf_text();
  for (int t = 0; t < kThreads; t++) {
    for (int i = 0; i < kRequests; i++) {
      int64_t a = 1000 + t * 100 + i * 2;
      EXPECT_NE(elements(conf, "//account_map/map[@account=\"" +
                                   std::to_string(a) + "\"]"),
                "")
          << a;
      EXPECT_EQ(d.live_swimlane(a), 1) << a;
      EXPECT_EQ(d.live_swimlane(a + 1), 2) << a + 1;
    }
  }
  /* Cluster 2 ends with exactly the last posted host. */
  EXPECT_EQ(elements(conf, "//swimlane/bootstrap[@cluster=\"2\"]"),
            "[host=127.0.0.1:18217,cluster=2]");
  ASSERT_TRUE(d.restart()) << d.log();
  EXPECT_EQ(d.live_swimlane(1000), 1);
}

}  // namespace
