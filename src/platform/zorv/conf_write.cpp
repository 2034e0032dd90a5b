// Writing the configuration tree back to its file, atomically: the text
// goes to a temporary file beside the target, which is synced and renamed
// over it, and the directory is synced so the rename itself is durable. A
// reader of the file therefore sees the old text or the new, never a part.
#include <errno.h>
#include <fcntl.h>
#include <libxml/tree.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <string_view>

#include "conf_internal.h"
#include "conf_lock.h"
#include "zorv/conf.h"
#include "zorv/log.h"

namespace zorv::conf {
namespace {

// Serialises whole writes so that snapshots reach the file in the order
// they were taken. Always taken after the tree's read lock, never before:
// a thread holding the tree for writing may call the write.
std::mutex file_mutex;

int fail(const std::string &target, const std::string &what, int err) {
  zorvL(zorv_error, "configuration: cannot write '%s': %s: %s\n",
        target.c_str(), what.c_str(), strerror(err));
  return -1;
}

int write_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t w = ::write(fd, data, len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    data += w;
    len -= static_cast<size_t>(w);
  }
  return 0;
}

// Where target really is (through a symbolic link), split into directory
// and base name.
void locate(std::string &target, std::string &dir, std::string &base) {
  if (char *real = realpath(target.c_str(), nullptr)) {
    target = real;
    free(real);
  }
  size_t slash = target.rfind('/');
  dir = slash == std::string::npos ? "." : target.substr(0, slash);
  if (dir.empty()) dir = "/";
  base = slash == std::string::npos ? target : target.substr(slash + 1);
}

// Whether name is one of our temporary files for base: "." base "." and
// the six letters or digits that mkstemp puts in place of its template.
bool is_temporary_of(std::string_view name, std::string_view base) {
  constexpr size_t kSuffix = 6;
  if (name.size() != base.size() + 2 + kSuffix || name[0] != '.' ||
      name.substr(1, base.size()) != base || name[base.size() + 1] != '.')
    return false;
  for (char c : name.substr(base.size() + 2))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
      return false;
  return true;
}

// Writes text to target through a temporary file in target's directory.
int replace_file(std::string target, const xmlChar *text, int size) {
  // Write through a symbolic link rather than replacing the link itself.
  std::string dir, base;
  locate(target, dir, base);
  std::string tmp = dir + "/." + base + ".XXXXXX";

  int fd = mkstemp(tmp.data());
  if (fd < 0) return fail(target, "cannot create a temporary file in " + dir, errno);
  // Held until the file is renamed or removed: it tells the start-up sweep
  // that a live writer owns this file. The lock goes with the process.
  flock(fd, LOCK_EX | LOCK_NB);

  // Keep the permissions of the file being replaced (mkstemp makes 0600).
  struct stat st;
  mode_t mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  int err = 0;
  const char *step = nullptr;
  if (fchmod(fd, mode) != 0) {
    err = errno, step = "cannot set the temporary file's mode";
  } else if (write_all(fd, reinterpret_cast<const char *>(text),
                       static_cast<size_t>(size)) != 0) {
    err = errno, step = "cannot write the temporary file";
  } else if (fsync(fd) != 0) {
    err = errno, step = "cannot sync the temporary file";
  }
  if (::close(fd) != 0 && !step) err = errno, step = "cannot close the temporary file";
  if (!step && ::rename(tmp.c_str(), target.c_str()) != 0)
    err = errno, step = "cannot rename the temporary file over it";
  if (step) {
    ::unlink(tmp.c_str());
    return fail(target, step, err);
  }

  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return fail(target, "cannot open its directory to sync it", errno);
  int rc = fsync(dfd);
  err = errno;
  ::close(dfd);
  // The new file is in place, but its rename may not survive a crash.
  if (rc != 0) return fail(target, "cannot sync its directory", err);
  return 0;
}

}  // namespace
}  // namespace zorv::conf

using namespace zorv::conf;

extern "C" int zorv_conf_write_file(const char *path) {
  xmlChar *text = nullptr;
  int size = 0;
  std::string target;
  std::unique_lock<std::mutex> file_lock;
  {
    ReadGuard guard;
    xmlDocPtr doc = document();
    target = path ? path : document_path();
    if (!doc || target.empty()) {
      zorvL(zorv_error, "configuration: nothing to write (%s)\n",
            doc ? "no file name" : "no configuration loaded");
      return -1;
    }
    file_lock = std::unique_lock<std::mutex>(file_mutex);
    xmlDocDumpFormatMemoryEnc(doc, &text, &size, "UTF-8", 1);
  }
  if (!text) {
    zorvL(zorv_error, "configuration: cannot serialise the tree\n");
    return -1;
  }
  int rc = replace_file(target, text, size);
  xmlFree(text);
  return rc;
}

extern "C" int zorv_conf_remove_leftovers(void) {
  std::string target = document_path();
  if (target.empty()) return 0;
  std::string dir, base;
  locate(target, dir, base);
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  int removed = 0;
  while (dirent *e = readdir(d)) {
    if (!is_temporary_of(e->d_name, base)) continue;
    std::string path = dir + "/" + e->d_name;
    // Only plain files that no live writer holds: a writer keeps its
    // temporary file locked until it is renamed into place.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.c_str()) == 0) {
      zorvL(zorv_notice,
            "configuration: removed '%s', left by a write that was cut short\n",
            path.c_str());
      ++removed;
    }
    ::close(fd);
  }
  closedir(d);
  return removed;
}
