// Log lines written from several threads at once stay whole, while another
// thread switches streams on and off. Runs under ThreadSanitizer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "zorv/log.h"

namespace {

TEST(LogConcurrency, LinesNeverInterleave) {
  char tmpl[] = "/tmp/zorv-logc-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/out.log";
  ASSERT_EQ(zorv_log_set_output_file(path.c_str()), 0);

  constexpr int kThreads = 4, kLines = 400;
  const std::string body(300, 'b');
  zorv_log_stream_t toggled = zorv_log_stream_find("notice/toggled");
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    for (bool on = false; !stop.load(); on = !on) zorv_log_stream_enable(toggled, on);
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      zorv_log_stream_t ls =
          zorv_log_stream_find(("notice/writer" + std::to_string(t)).c_str());
      for (int i = 0; i < kLines; ++i) {
        zorvL(ls, "t%d i%d %s end", t, i, body.c_str());
        zorvL(toggled, "toggled line");
      }
    });
  }
  for (auto &w : writers) w.join();
  stop = true;
  toggler.join();
  zorv_log_set_output_file(nullptr);

  std::ifstream in(path);
  std::string line;
  std::map<int, int> per_thread;
  int bad = 0;
  while (std::getline(in, line)) {
    if (line.find("[notice/toggled] toggled line") != std::string::npos &&
        line.size() == 29 + 29)
      continue;
    int t = -1, i = -1;
    size_t at = line.find("] [notice/writer");
    if (at == std::string::npos || sscanf(line.c_str() + at, "] [notice/writer%d] t%*d i%d", &t, &i) != 2 ||
        line.size() < 4 || line.compare(line.size() - 4, 4, " end") != 0 ||
        line.find(body) == std::string::npos) {
      ++bad;
      continue;
    }
    ++per_thread[t];
  }
  EXPECT_EQ(bad, 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(per_thread[t], kLines) << t;
  std::string cmd = std::string("rm -rf '") + tmpl + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

}  // namespace
