// Log streams: the stream tree and its switches, the line format, outputs,
// the configuration's logs section, and the fatal and terminate paths.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zorv/conf.h"
#include "zorv/host.h"
#include "zorv/log.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Sends every line of the test to its own file, and back to stderr after.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zorv-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/out.log";
    ASSERT_EQ(zorv_log_set_output_file(path_.c_str()), 0);
  }
  void TearDown() override {
    zorv_log_set_output_file(nullptr);
    zorv_log_set_observer(nullptr, nullptr);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string dir_, path_;
};

struct Seen {
  std::vector<std::pair<std::string, std::string>> lines;
  static void record(void *closure, const char *stream, const char *text) {
    static_cast<Seen *>(closure)->lines.emplace_back(stream, text);
  }
};

TEST_F(LogTest, LineCarriesUtcTimestampStreamNameAndOneNewline) {
  zorv_log_stream_t ls = zorv_log_stream_find("error/logtest");
  ASSERT_NE(ls, nullptr);
  zorvL(ls, "hello %d", 42);
  zorvL(ls, "already ended\n");
  struct timeval tv = {86400 + 3661, 7};  // 1970-01-02 01:01:01.000007
  EXPECT_GT(zorv_log(ls, &tv, __FILE__, __LINE__, "fixed\n"), 0);

  std::string out = read_file(path_);
  // "[YYYY-MM-DD hh:mm:ss.uuuuuu] " with digits where the shape has 9s.
  const std::string shape = "[9999-99-99 99:99:99.999999] ";
  ASSERT_GT(out.size(), shape.size());
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '9')
      EXPECT_TRUE(isdigit(static_cast<unsigned char>(out[i]))) << out;
    else
      EXPECT_EQ(out[i], shape[i]) << out;
  }
  EXPECT_EQ(out.compare(shape.size(), 25, "[error/logtest] hello 42\n"), 0) << out;
  EXPECT_NE(out.find("] [error/logtest] already ended\n["), std::string::npos) << out;
  EXPECT_NE(out.find("[1970-01-02 01:01:01.000007] [error/logtest] fixed\n"),
            std::string::npos) << out;
  // Exactly three lines: no newline was doubled.
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
}

TEST_F(LogTest, LongLineIsWrittenWhole) {
  std::string big(10000, 'x');
  zorvL(zorv_notice, "<%s>", big.c_str());
  std::string out = read_file(path_);
  EXPECT_NE(out.find("[notice] <" + big + ">\n"), std::string::npos);
}

TEST_F(LogTest, StreamsFormATreeAndInheritTheirSwitch) {
  zorv_log_stream_t parent = zorv_log_stream_find("treetest");
  zorv_log_stream_t child = zorv_log_stream_find("treetest/a");
  zorv_log_stream_t grandchild = zorv_log_stream_find("treetest/a/b");
  EXPECT_EQ(zorv_log_stream_find("treetest/a"), child);  // found, not created again
  EXPECT_STREQ(zorv_log_stream_name(grandchild), "treetest/a/b");
  EXPECT_TRUE(zorv_log_stream_is_on(grandchild));

  zorv_log_stream_enable(parent, false);
  EXPECT_FALSE(zorv_log_stream_is_on(child));
  EXPECT_FALSE(zorv_log_stream_is_on(grandchild));
  // A stream created later under a disabled parent starts disabled.
  EXPECT_FALSE(zorv_log_stream_is_on(zorv_log_stream_find("treetest/late")));

  // An explicit setting on a child wins over its parent's, for its subtree.
  zorv_log_stream_enable(child, true);
  EXPECT_FALSE(zorv_log_stream_is_on(parent));
  EXPECT_TRUE(zorv_log_stream_is_on(grandchild));

  EXPECT_EQ(zorv_log(parent, nullptr, __FILE__, __LINE__, "hidden"), 0);
  EXPECT_GT(zorv_log(grandchild, nullptr, __FILE__, __LINE__, "shown"), 0);
  std::string out = read_file(path_);
  EXPECT_EQ(out.find("hidden"), std::string::npos);
  EXPECT_NE(out.find("[treetest/a/b] shown"), std::string::npos);
}

TEST_F(LogTest, DebugStreamsAreOffUntilEnabled) {
  EXPECT_FALSE(zorv_log_stream_is_on(zorv_debug));
  zorv_log_stream_t ls = zorv_log_stream_find("debug/logtest/deep");
  EXPECT_FALSE(zorv_log_stream_is_on(ls));
  zorvL(ls, "not yet");
  zorv_log_stream_enable(ls, true);
  zorvL(ls, "now");
  EXPECT_FALSE(zorv_log_stream_is_on(zorv_debug));
  std::string out = read_file(path_);
  EXPECT_EQ(out.find("not yet"), std::string::npos);
  EXPECT_NE(out.find("[debug/logtest/deep] now"), std::string::npos);
  zorv_log_stream_enable(ls, false);
}

TEST_F(LogTest, NullAndEmptyAreHarmless) {
  EXPECT_EQ(zorv_log_stream_find(""), nullptr);
  EXPECT_EQ(zorv_log_stream_find(nullptr), nullptr);
  EXPECT_FALSE(zorv_log_stream_is_on(nullptr));
  EXPECT_EQ(zorv_log(nullptr, nullptr, __FILE__, __LINE__, "x"), 0);
  zorvL(static_cast<zorv_log_stream_t>(nullptr), "y");
  EXPECT_EQ(read_file(path_), "");
}

TEST_F(LogTest, ObserverSeesTextAsFormatted) {
  Seen seen;
  zorv_log_set_observer(&Seen::record, &seen);
  zorvL(zorv_log_stream_find("notice/observed"), "one %s\n", "two");
  zorvL(zorv_log_stream_find("notice/observed"), "three");
  zorvL(zorv_log_stream_find("debug/observed"), "off, so unseen");
  zorv_log_set_observer(nullptr, nullptr);
  zorvL(zorv_notice, "after removal");
  ASSERT_EQ(seen.lines.size(), 2u);
  EXPECT_EQ(seen.lines[0].first, "notice/observed");
  EXPECT_EQ(seen.lines[0].second, "one two\n");
  EXPECT_EQ(seen.lines[1].second, "three");
}

TEST_F(LogTest, OutputFileThatCannotBeOpenedIsRefused) {
  std::string missing = dir_ + "/no/such/dir/x.log";
  EXPECT_EQ(zorv_log_set_output_file(missing.c_str()), -1);
  zorvL(zorv_notice, "still here");  // the previous output stays in use
  EXPECT_NE(read_file(path_).find("still here"), std::string::npos);
}

TEST_F(LogTest, ConfigurationSwitchesAndRoutesStreams) {
  std::string special = dir_ + "/special.log";
  std::string xml =
      "<wendrel><logs>"
      "<log name=\"debug/conftest\" disabled=\"false\"/>"
      "<log name=\"notice/conftest\" disabled=\"true\"/>"
      "<log name=\"error/conftest\" output=\"file:" + special + "\"/>"
      "<log name=\"error/badout\" output=\"pipe:somewhere\"/>"
      "<log disabled=\"true\"/>"
      "</logs></wendrel>";
  ASSERT_EQ(zorv_conf_load_string(xml.c_str(), nullptr, nullptr), 0);
  Seen seen;
  zorv_log_set_observer(&Seen::record, &seen);
  zorv_log_configure_from_conf();
  zorv_log_set_observer(nullptr, nullptr);

  EXPECT_TRUE(zorv_log_stream_is_on(zorv_log_stream_find("debug/conftest")));
  EXPECT_TRUE(zorv_log_stream_is_on(zorv_log_stream_find("debug/conftest/sub")));
  EXPECT_FALSE(zorv_log_stream_is_on(zorv_log_stream_find("notice/conftest")));
  EXPECT_TRUE(zorv_log_stream_is_on(zorv_notice));

  zorvL(zorv_log_stream_find("error/conftest/sub"), "to the special file");
  zorvL(zorv_error, "to the default file");
  EXPECT_NE(read_file(special).find("[error/conftest/sub] to the special file\n"),
            std::string::npos);
  EXPECT_EQ(read_file(special).find("default"), std::string::npos);
  EXPECT_NE(read_file(path_).find("[error] to the default file\n"), std::string::npos);

  // The two bad entries were reported, the good ones applied regardless.
  std::string reports;
  for (auto &[stream, text] : seen.lines) reports += stream + ": " + text;
  EXPECT_NE(reports.find("error: logs: log 'error/badout': unknown output 'pipe:somewhere'"),
            std::string::npos) << reports;
  EXPECT_NE(reports.find("without a name"), std::string::npos) << reports;
}

// Runs fn in a child process; returns its wait status.
template <typename Fn>
int in_child(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST_F(LogTest, FatalWritesItsLineThenAborts) {
  int status = in_child([] { zorvFatal(zorv_error, "[FATAL] kavalin module must be loaded\n"); });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  EXPECT_NE(read_file(path_).find("] [error] [FATAL] kavalin module must be loaded\n"),
            std::string::npos);
}

TEST_F(LogTest, FailedAssertionNamesConditionAndPlace) {
  int status = in_child([] {
    int registered = -1;
    zorvAssert(registered == 0);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  std::string out = read_file(path_);
  EXPECT_NE(out.find("[error] [FATAL] assertion (registered == 0) at "), std::string::npos) << out;
  EXPECT_NE(out.find("log_test.cpp:"), std::string::npos) << out;
}

TEST_F(LogTest, TerminateWritesItsLineThenExitsWithTwo) {
  zorv_log_stream_t ls = zorv_log_stream_find("error/ostrel");
  int status = in_child([ls] {
    zorvTerminate(ls, "[TERMINATE] No <subscriber> or //clusters/@my_id available, cannot use ostrel\n");
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(read_file(path_).find("[error/ostrel] [TERMINATE] No <subscriber>"),
            std::string::npos);
}

}  // namespace
