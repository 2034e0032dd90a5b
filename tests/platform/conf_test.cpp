// The configuration tree: reads, lists, typed getters, changes written back
// to the file (and writes that must fail without harm), run-time parameters.
// Lock behaviour across threads is in conf_concurrency_test.cpp.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/tree.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zorv/conf.h"
#include "zorv/log.h"

// libzorv reaches mkstemp, mkostemp and rename through the dynamic linker,
// where this executable's definitions come first: these pass through to the
// C library, and let a test act at the moment a temporary file appears or
// look at it just before it is renamed.
namespace probe {
int sweeps_on_create = 0;  // sweeps to run as soon as a file is created
int swept = 0;             // files those sweeps removed
bool watch_rename = false;
int renames = 0;         // renames seen while watching
int renames_locked = 0;  // of those, with the file locked by someone else

void after_create(int fd) {
  if (fd >= 0 && sweeps_on_create > 0) {
    --sweeps_on_create;
    swept += zorv_conf_remove_leftovers();
  }
}
}  // namespace probe

extern "C" int mkostemp(char *tmpl, int flags) {
  using Fn = int (*)(char *, int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "mkostemp"));
  int fd = real(tmpl, flags);
  probe::after_create(fd);
  return fd;
}

extern "C" int mkstemp(char *tmpl) {
  using Fn = int (*)(char *);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "mkstemp"));
  int fd = real(tmpl);
  probe::after_create(fd);
  return fd;
}

extern "C" int rename(const char *from, const char *to) noexcept {
  using Fn = int (*)(const char *, const char *);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "rename"));
  if (probe::watch_rename) {
    ++probe::renames;
    int fd = open(from, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
      ++probe::renames_locked;
    if (fd >= 0) close(fd);
  }
  return real(from, to);
}

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_text(const std::string &path, const std::string &text) {
  std::ofstream out(path);
  out << text;
}

std::vector<std::string> dir_entries(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")))
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

std::string attr(zorv_conf_section_t s, const char *xpath) {
  char *v = nullptr;
  if (!zorv_conf_get_string(s, xpath, &v)) return "<none>";
  std::string out(v);
  free(v);
  return out;
}

const char *kConfig = R"(<?xml version="1.0"?>
<wendrel>
  <!-- operators' note -->
  <clusters my_id="6f1b7c2e-4a51-4b8e-9c61-0d2f5e3a9b17"/>
  <drask timeout="3000" connecttimeout=" 250 " big="5000000000" neg="-7"
         plus="+12" hex="0x10" word="ten" empty="" flag="yes">
    <bootstrap cluster="1" host="a:1"/>
    <swimlane>
      <bootstrap host="z:9"/>
      <bootstrap cluster="2" host="b:2"/>
      <account_map>
        <map account="42" cluster="3"/>
      </account_map>
    </swimlane>
    <bootstrap cluster="1" host="c:3"/>
  </drask>
  <note>some <b>bold</b> text</note>
</wendrel>
)";

// Runs first, before any document exists in this process.
TEST(ConfBeforeLoad, EverythingAnswersNotFound) {
  int32_t i = 7;
  char *s = nullptr;
  EXPECT_EQ(zorv_conf_path(), nullptr);
  EXPECT_EQ(zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@timeout", &i), 0);
  EXPECT_EQ(i, 7);
  EXPECT_EQ(zorv_conf_get_string(ZORV_CONF_ROOT, "/wendrel", &s), 0);
  EXPECT_TRUE(zorv_conf_section_is_empty(zorv_conf_get_section_read(ZORV_CONF_ROOT, "//x")));
  EXPECT_TRUE(zorv_conf_section_is_empty(zorv_conf_get_section_write(ZORV_CONF_ROOT, "//x")));
  int cnt = 5;
  zorv_conf_section_t *list = zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//x", &cnt);
  EXPECT_EQ(cnt, 0);
  zorv_conf_release_sections_read(list, cnt);
  EXPECT_EQ(zorv_conf_write_file(nullptr), -1);
  char buf[16];
  EXPECT_EQ(zorv_conf_get_global_param("nothing", buf, sizeof buf), -1);
}

class ConfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zorv-conf-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/wendrel.conf";
    write_text(path_, kConfig);
    char *err = nullptr;
    ASSERT_EQ(zorv_conf_load(path_.c_str(), &err), 0) << (err ? err : "");
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string dir_, path_;
};

TEST_F(ConfTest, LoadFailuresExplainThemselves) {
  char *err = nullptr;
  EXPECT_EQ(zorv_conf_load((dir_ + "/absent.conf").c_str(), &err), -1);
  ASSERT_NE(err, nullptr);
  EXPECT_NE(std::string(err).find("absent.conf"), std::string::npos) << err;
  free(err);
  err = nullptr;
  write_text(dir_ + "/bad.conf", "<wendrel>\n<drask>\n</wendrel>\n");
  EXPECT_EQ(zorv_conf_load((dir_ + "/bad.conf").c_str(), &err), -1);
  ASSERT_NE(err, nullptr);
  EXPECT_NE(std::string(err).find("line 3"), std::string::npos) << err;
  free(err);
  // Loading while holding sections of the tree would free them under us.
  zorv_conf_section_t held = zorv_conf_get_section_read(ZORV_CONF_ROOT, "//drask");
  err = nullptr;
  EXPECT_EQ(zorv_conf_load_string("<wendrel/>", nullptr, &err), -1);
  ASSERT_NE(err, nullptr);
  EXPECT_NE(std::string(err).find("holds sections"), std::string::npos) << err;
  free(err);
  EXPECT_EQ(attr(held, "@timeout"), "3000");
  zorv_conf_release_section_read(held);
  // A failed load keeps the tree that was there.
  EXPECT_STREQ(zorv_conf_path(), path_.c_str());
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@timeout"), "3000");
}

TEST_F(ConfTest, TypedGettersReadDecimalAndRefuseWhatDoesNotFit) {
  int32_t i32 = -1;
  int64_t i64 = -1;
  EXPECT_EQ(zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@timeout", &i32), 1);
  EXPECT_EQ(i32, 3000);
  EXPECT_EQ(zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@connecttimeout", &i32), 1);
  EXPECT_EQ(i32, 250);  // surrounding blanks are tolerated
  EXPECT_EQ(zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@neg", &i32), 1);
  EXPECT_EQ(i32, -7);
  EXPECT_EQ(zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@plus", &i32), 1);
  EXPECT_EQ(i32, 12);

  // Not a number, or not a decimal one, or too big for 32 bits: not found,
  // and the output is left alone.
  i32 = 99;
  for (const char *xp : {"//drask/@big", "//drask/@hex", "//drask/@word",
                         "//drask/@empty", "//drask/@missing", "//nothing"}) {
    EXPECT_EQ(zorv_conf_get_int32(ZORV_CONF_ROOT, xp, &i32), 0) << xp;
    EXPECT_EQ(i32, 99) << xp;
  }
  EXPECT_EQ(zorv_conf_get_int64(ZORV_CONF_ROOT, "//drask/@big", &i64), 1);
  EXPECT_EQ(i64, 5000000000LL);
  EXPECT_EQ(zorv_conf_get_int64(ZORV_CONF_ROOT, "//drask/@hex", &i64), 0);

  zorv_boolean b = false;
  EXPECT_EQ(zorv_conf_get_boolean(ZORV_CONF_ROOT, "//drask/@flag", &b), 1);
  EXPECT_TRUE(b);
  EXPECT_EQ(zorv_conf_get_boolean(ZORV_CONF_ROOT, "//drask/@word", &b), 0);

  // Strings: attribute values, element text, and XPath string results.
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@empty"), "");
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//note"), "some bold text");
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "count(//bootstrap)"), "4");
  // An invalid expression is "not found" (and reported on the error stream).
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask[@"), "<none>");
}

TEST_F(ConfTest, SectionsComeInDocumentOrderAndReadRelativeOrAbsolute) {
  int cnt = 0;
  zorv_conf_section_t *list =
      zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//drask//bootstrap", &cnt);
  ASSERT_EQ(cnt, 4);
  std::vector<std::string> hosts;
  for (int i = 0; i < cnt; ++i) hosts.push_back(attr(list[i], "@host"));
  EXPECT_EQ(hosts, (std::vector<std::string>{"a:1", "z:9", "b:2", "c:3"}));
  // A missing attribute is simply not found.
  int32_t cluster = 0;
  EXPECT_EQ(zorv_conf_get_int32(list[1], "@cluster", &cluster), 0);
  EXPECT_EQ(cluster, 0);
  // An absolute path from a section still starts at the document.
  EXPECT_EQ(attr(list[2], "//drask/@timeout"), "3000");
  // A relative path from the root starts at the root element.
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "drask/swimlane/account_map/map/@account"), "42");
  zorv_conf_release_sections_read(list, cnt);

  list = zorv_conf_get_sections_read(ZORV_CONF_ROOT,
                                     "//drask//bootstrap[@cluster=\"1\"]", &cnt);
  ASSERT_EQ(cnt, 2);
  EXPECT_EQ(attr(list[1], "@host"), "c:3");
  zorv_conf_release_sections_read(list, cnt);

  // Attributes are not sections: a list holds elements only.
  list = zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//bootstrap/@host", &cnt);
  EXPECT_EQ(cnt, 0);
  zorv_conf_release_sections_read(list, cnt);

  zorv_conf_section_t sw = zorv_conf_get_section_read(ZORV_CONF_ROOT, "//drask//swimlane");
  ASSERT_FALSE(zorv_conf_section_is_empty(sw));
  xmlNodePtr node = zorv_conf_section_to_xmlnodeptr(sw);
  EXPECT_STREQ(reinterpret_cast<const char *>(node->name), "swimlane");
  EXPECT_EQ(zorv_conf_section_to_xmlnodeptr(zorv_conf_section_from_xmlnodeptr(node)), node);
  zorv_conf_section_t inner = zorv_conf_get_section_read(sw, "account_map/map");
  EXPECT_EQ(attr(inner, "@cluster"), "3");
  zorv_conf_release_section_read(inner);
  zorv_conf_release_section_read(sw);
}

// What the cluster update endpoint does, on one thread: hold the swimlane
// for writing, take the bootstrap list for writing, read, unlink, append,
// write the file, release.
TEST_F(ConfTest, NestedWriteEditThenFileWrite) {
  uint64_t gen = zorv_conf_generation();
  zorv_conf_section_t sw = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask//swimlane");
  ASSERT_FALSE(zorv_conf_section_is_empty(sw));
  int cnt = 0;
  zorv_conf_section_t *list = zorv_conf_get_sections_write(
      ZORV_CONF_ROOT, "//drask//swimlane/bootstrap[@cluster=\"2\"]", &cnt);
  ASSERT_EQ(cnt, 1);
  EXPECT_EQ(attr(list[0], "@host"), "b:2");
  for (int i = 0; i < cnt; ++i) {
    zorv_conf_backingstore_remove(list[i]);
    zorv_conf_include_remove(list[i]);
    xmlNodePtr n = zorv_conf_section_to_xmlnodeptr(list[i]);
    xmlUnlinkNode(n);
    xmlFreeNode(n);
  }
  zorv_conf_release_sections_write(list, cnt);
  xmlNodePtr fresh = xmlNewNode(nullptr, BAD_CAST "bootstrap");
  xmlSetProp(fresh, BAD_CAST "host", BAD_CAST "new<&>host:7");
  xmlSetProp(fresh, BAD_CAST "cluster", BAD_CAST "2");
  xmlAddChild(zorv_conf_section_to_xmlnodeptr(sw), fresh);
  zorv_conf_backingstore_dirty(zorv_conf_section_from_xmlnodeptr(fresh));
  zorv_conf_mark_changed();
  EXPECT_EQ(zorv_conf_write_file(nullptr), 0);
  zorv_conf_release_section_write(sw);
  EXPECT_GE(zorv_conf_generation(), gen + 2);

  // The file holds the edit, and nothing else was left in the directory.
  EXPECT_EQ(dir_entries(dir_), std::vector<std::string>{"wendrel.conf"});
  std::string text = read_file(path_);
  EXPECT_EQ(text.find("b:2"), std::string::npos);
  EXPECT_NE(text.find("host=\"new&lt;&amp;&gt;host:7\""), std::string::npos) << text;
  EXPECT_NE(text.find("<!-- operators' note -->"), std::string::npos) << text;
  ASSERT_EQ(zorv_conf_load(path_.c_str(), nullptr), 0);
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask//swimlane/bootstrap[@cluster=\"2\"]/@host"),
            "new<&>host:7");
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask//swimlane/account_map/map/@account"), "42");
}

TEST_F(ConfTest, WriteKeepsFileModeAndFollowsSymlink) {
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  std::string link = dir_ + "/link.conf";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  EXPECT_EQ(zorv_conf_write_file(link.c_str()), 0);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // A write to another path leaves the file the tree came from as it was.
  std::string other = dir_ + "/copy.conf";
  EXPECT_EQ(zorv_conf_write_file(other.c_str()), 0);
  EXPECT_STREQ(zorv_conf_path(), path_.c_str());
  EXPECT_NE(read_file(other).find("my_id=\"6f1b7c2e"), std::string::npos);
}

TEST_F(ConfTest, WriteIntoRemovedDirectoryFails) {
  std::string sub = dir_ + "/gone";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ASSERT_EQ(rmdir(sub.c_str()), 0);
  EXPECT_EQ(zorv_conf_write_file((sub + "/wendrel.conf").c_str()), -1);
}

TEST_F(ConfTest, WriteOverDirectoryFailsAndLeavesNoTemporary) {
  std::string target = dir_ + "/taken";
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  write_text(target + "/inside", "keep");
  EXPECT_EQ(zorv_conf_write_file(target.c_str()), -1);
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(read_file(target + "/inside"), "keep");
  auto names = dir_entries(dir_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"taken", "wendrel.conf"}));
}

// A write cut short half way (here by a file size limit, which holds for
// root too) must leave the old file whole and remove the temporary.
TEST_F(ConfTest, WriteCutShortLeavesOldFileIntact) {
  std::string before = read_file(path_);
  // Grow the tree so the new text is longer than the limit below.
  zorv_conf_section_t drask = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
  ASSERT_FALSE(zorv_conf_section_is_empty(drask));
  xmlNodePtr big = xmlNewChild(zorv_conf_section_to_xmlnodeptr(drask), nullptr,
                               BAD_CAST "padding", nullptr);
  xmlNodeAddContent(big, BAD_CAST std::string(8192, 'p').c_str());
  zorv_conf_release_section_write(drask);

  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(zorv_conf_write_file(nullptr) == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut-short write reported success";
  EXPECT_EQ(read_file(path_), before);
  EXPECT_EQ(dir_entries(dir_), std::vector<std::string>{"wendrel.conf"});
}

// A process killed between creating its temporary file and renaming it
// leaves the file behind; the start-up sweep removes exactly those (our own
// infix), never another tool's file (rsync's ".wendrel.conf.AbC123") and
// never one that a live writer still holds (here: this process's lock).
TEST_F(ConfTest, SweepRemovesOnlyLeftoverTemporaries) {
  const std::vector<std::string> others = {
      ".wendrel.conf.AbC123",   ".wendrel.conf.Zq9x0A",
      ".wendrel.conf.wendrel-tmp.abc12", ".wendrel.conf.wendrel-tmp.abc1234",
      ".wendrel.conf.wendrel-tmp.abc-12", "wendrel.conf.wendrel-tmp.abc123",
      ".other.conf.wendrel-tmp.abc123",   ".wendrel.conf.wendrel-tmpabc123",
      ".wendrel.conf.wendrel-tmp.Held99"};
  for (const auto &name : others) write_text(dir_ + "/" + name, "x");
  write_text(dir_ + "/.wendrel.conf.wendrel-tmp.Zq9x0A", "<wendrel>half");
  int held = open((dir_ + "/.wendrel.conf.wendrel-tmp.Held99").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ASSERT_EQ(mkdir((dir_ + "/.wendrel.conf.wendrel-tmp.Dir123").c_str(), 0755), 0);

  EXPECT_EQ(zorv_conf_remove_leftovers(), 1);
  close(held);
  auto names = dir_entries(dir_);
  std::sort(names.begin(), names.end());
  auto expected = others;
  expected.push_back("wendrel.conf");
  expected.push_back(".wendrel.conf.wendrel-tmp.Dir123");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

// The writer holds its temporary file locked from creation until after the
// rename. A sweep (a second daemon starting) that runs the moment the file
// appears may still take it; the writer must then start again under a new
// name rather than rename a file that is gone. At the rename the file must
// be locked, or a sweep could remove it just before.
TEST_F(ConfTest, WriterHoldsItsTemporaryFromCreationUntilRenamed) {
  zorv_conf_section_t drask = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
  ASSERT_FALSE(zorv_conf_section_is_empty(drask));
  xmlSetProp(zorv_conf_section_to_xmlnodeptr(drask), BAD_CAST "label",
             BAD_CAST "second-write");
  zorv_conf_release_section_write(drask);

  probe::sweeps_on_create = 1;
  probe::swept = 0;
  probe::renames = probe::renames_locked = 0;
  probe::watch_rename = true;
  int rc = zorv_conf_write_file(nullptr);
  probe::watch_rename = false;
  probe::sweeps_on_create = 0;

  EXPECT_EQ(rc, 0);
  EXPECT_EQ(probe::swept, 1) << "the sweep did not see the fresh file";
  EXPECT_EQ(probe::renames, 1);
  EXPECT_EQ(probe::renames_locked, 1) << "renamed after letting go of the lock";
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@label"), "second-write");
  EXPECT_NE(read_file(path_).find("label=\"second-write\""), std::string::npos);
  EXPECT_EQ(dir_entries(dir_), std::vector<std::string>{"wendrel.conf"});
}

TEST_F(ConfTest, ParametersReadConvertCheckAndWriteBack) {
  static int32_t timeout = 8000;
  static int32_t connect = 1000;
  static int64_t big = 0;
  static char *label = const_cast<char *>("default");
  static zorv_boolean on = false;

  ASSERT_EQ(zorv_conf_register_global_param("drask.timeout_ms", "//drask/@timeout",
                                            ZORV_PARAM_INT32, &timeout, nullptr, nullptr), 0);
  EXPECT_EQ(timeout, 3000);  // the tree's value is taken at registration
  auto below_100_refused = [](const void *v) -> int {
    return *static_cast<const int32_t *>(v) < 100 ? -1 : 0;
  };
  ASSERT_EQ(zorv_conf_register_global_param("drask.connect_timeout_ms",
                                            "//drask/@connecttimeout", ZORV_PARAM_INT32,
                                            &connect, nullptr, below_100_refused), 0);
  EXPECT_EQ(connect, 250);
  ASSERT_EQ(zorv_conf_register_global_param("t.big", "//drask/@big", ZORV_PARAM_INT64,
                                            &big, nullptr, nullptr), 0);
  EXPECT_EQ(big, 5000000000LL);
  ASSERT_EQ(zorv_conf_register_global_param("t.label", "//drask/@label", ZORV_PARAM_STRING,
                                            &label, nullptr, nullptr), 0);
  EXPECT_STREQ(label, "default");  // absent from the tree: untouched
  ASSERT_EQ(zorv_conf_register_global_param("t.on", "//drask/@flag", ZORV_PARAM_BOOLEAN,
                                            &on, nullptr, nullptr), 0);
  EXPECT_TRUE(on);

  EXPECT_EQ(zorv_conf_set_global_param("drask.timeout_ms", "4500"), 0);
  EXPECT_EQ(timeout, 4500);
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@timeout"), "4500");
  EXPECT_EQ(zorv_conf_set_global_param("drask.timeout_ms", "45x"), -2);
  EXPECT_EQ(zorv_conf_set_global_param("drask.timeout_ms", "9999999999"), -2);
  EXPECT_EQ(timeout, 4500);
  EXPECT_EQ(zorv_conf_set_global_param("drask.connect_timeout_ms", "50"), -2);
  EXPECT_EQ(connect, 250);
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@connecttimeout"), " 250 ");
  EXPECT_EQ(zorv_conf_set_global_param("no.such", "1"), -1);

  // A missing attribute is created on its element.
  EXPECT_EQ(zorv_conf_set_global_param("t.label", "blue"), 0);
  EXPECT_STREQ(label, "blue");
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@label"), "blue");
  EXPECT_EQ(zorv_conf_set_global_param("t.on", "off"), 0);
  EXPECT_FALSE(on);
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@flag"), "off");

  char buf[32];
  EXPECT_EQ(zorv_conf_get_global_param("drask.timeout_ms", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "4500");
  EXPECT_EQ(zorv_conf_get_global_param("t.big", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "5000000000");

  // Set values survive the file write.
  ASSERT_EQ(zorv_conf_write_file(nullptr), 0);
  EXPECT_NE(read_file(path_).find("timeout=\"4500\""), std::string::npos);
}

TEST_F(ConfTest, ParameterWithCustomParser) {
  static int32_t seconds = 0;
  auto minutes = [](const char *text, void *out) -> int {
    char *end = nullptr;
    long m = strtol(text, &end, 10);
    if (end == text || strcmp(end, "m") != 0) return -1;
    *static_cast<int32_t *>(out) = static_cast<int32_t>(m * 60);
    return 0;
  };
  ASSERT_EQ(zorv_conf_register_global_param("t.interval", "//note/b", ZORV_PARAM_INT32,
                                            &seconds, minutes, nullptr), 0);
  EXPECT_EQ(seconds, 0);  // "bold" does not parse: refused, variable kept
  EXPECT_EQ(zorv_conf_set_global_param("t.interval", "2m"), 0);
  EXPECT_EQ(seconds, 120);
  // The tree keeps the text as given, which the parser reads back alike.
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//note/b"), "2m");
  EXPECT_EQ(zorv_conf_set_global_param("t.interval", "2h"), -2);
}

}  // namespace
