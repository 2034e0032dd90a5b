// Writing the configuration tree back to its file, atomically: the text
// goes to a temporary file beside the target, which is synced and renamed
// over it, and the directory is synced so the rename itself is durable. A
// reader of the file therefore sees the old text or the new, never a part.
//
// Temporary files are named "." base ".wendrel-tmp." and six letters or
// digits: an infix of our own, so that no other tool's file matches (rsync,
// for one, writes ".wendrel.conf.AbC123" beside the file it deploys, and
// takes no lock). A writer holds its temporary file under flock(2) from the
// moment it can be seen until after it has been renamed over the target;
// the start-up sweep removes only files of our name that it can lock itself.
//
// mkostemp makes the name visible a little before the writer's flock, so a
// sweep may lock and unlink the file in that moment. Both sides check for
// it: the writer, once it holds the lock, that its file still has a name
// (else it starts again under a new one); the sweep, once it holds the lock,
// that the name still leads to the file it locked. So no file is removed
// while its writer holds it, and no writer renames a file a sweep removed.
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

// What marks our temporary files: "." base kTempInfix, then the six letters
// or digits mkostemp puts in place of its template.
constexpr std::string_view kTempInfix = ".wendrel-tmp.";
constexpr size_t kTempSuffix = 6;

bool is_temporary_of(std::string_view name, std::string_view base) {
  const size_t head = 1 + base.size() + kTempInfix.size();
  if (name.size() != head + kTempSuffix || name[0] != '.' ||
      name.substr(1, base.size()) != base ||
      name.substr(1 + base.size(), kTempInfix.size()) != kTempInfix)
    return false;
  for (char c : name.substr(head))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
      return false;
  return true;
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Creates a temporary file for base in dir and locks it; returns its
// descriptor (close-on-exec, so no child process inherits the lock) with
// its name in tmp, or -1 with errno set.
int create_locked_temporary(const std::string &dir, const std::string &base,
                            std::string &tmp) {
  // Losing a fresh file to a sweep needs a daemon starting beside a write
  // in progress; a few attempts are plenty.
  constexpr int kAttempts = 8;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    tmp = dir + "/." + base + std::string(kTempInfix) + "XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    // Blocking: a sweep that locked the file first holds it only while it
    // checks and unlinks it.
    int rc;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat st;
    if (rc != 0 || fstat(fd, &st) != 0) {
      int err = errno;
      ::unlink(tmp.c_str());
      ::close(fd);
      errno = err;
      return -1;
    }
    if (st.st_nlink > 0) return fd;
    ::close(fd);  // a sweep removed it before we locked it: a new name
  }
  errno = EAGAIN;
  return -1;
}

// Writes text to target through a temporary file in target's directory.
int replace_file(std::string target, const xmlChar *text, int size) {
  // Write through a symbolic link rather than replacing the link itself.
  std::string dir, base, tmp;
  locate(target, dir, base);
  int fd = create_locked_temporary(dir, base, tmp);
  if (fd < 0) return fail(target, "cannot create a temporary file in " + dir, errno);

  // Keep the permissions of the file being replaced (mkostemp makes 0600).
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
  } else if (::rename(tmp.c_str(), target.c_str()) != 0) {
    err = errno, step = "cannot rename the temporary file over it";
  }
  // Unlinked (on failure) while still locked, and closed only now: the
  // lock is the sweep's sign of a live writer, and it goes with this close.
  // The text is synced already, so a late close error loses nothing.
  if (step) ::unlink(tmp.c_str());
  ::close(fd);
  if (step) return fail(target, step, err);

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
  std::string target;
  {
    ReadGuard guard;
    target = document_path();
  }
  if (target.empty()) return 0;
  std::string dir, base;
  locate(target, dir, base);
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  int removed = 0;
  while (dirent *e = readdir(d)) {
    if (!is_temporary_of(e->d_name, base)) continue;
    std::string path = dir + "/" + e->d_name;
    // Only plain files that no live writer holds, and only while the name
    // still leads to the file locked here (its writer may have renamed it
    // into place and let go of it since it was opened).
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        same_file(held, named) && ::unlink(path.c_str()) == 0) {
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
