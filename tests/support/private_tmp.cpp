// Linked into the test programs that pull through the plug-in: each process
// (ctest runs one per test) gets a staging root of its own. In a private
// mount namespace, which the programs it starts share and which goes when
// they end, its /tmp is an empty tmpfs with every entry of the real /tmp
// bound back in but the staging roots. So a checkout or a build under /tmp
// stays in view, while runs never see, or remove, one another's staging,
// nor a real host's beside them.

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "contract/files.h"

namespace {

bool writeFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

// As root, a mount namespace alone; otherwise inside a user namespace of
// our own, as its root.
bool enterPrivateMounts() {
  if (::unshare(CLONE_NEWNS) == 0) return true;
  const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
  return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && writeFile("/proc/self/setgroups", "deny") &&
         writeFile("/proc/self/uid_map", "0 " + uid + " 1") && writeFile("/proc/self/gid_map", "0 " + gid + " 1");
}

// Puts the entry `name` of the real /tmp, open as `realTmp`, back at the
// same place in the new one: a link as a link, anything else bound.
bool bindBack(int realTmp, const char* name) {
  struct stat st {};
  if (::fstatat(realTmp, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  const std::string at = std::string("/tmp/") + name;
  if (S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(realTmp, name, target, sizeof target - 1);
    return n >= 0 && (target[n] = '\0', ::symlink(target, at.c_str()) == 0);
  }
  if (S_ISDIR(st.st_mode)) {
    if (::mkdir(at.c_str(), 0700) != 0) return false;
  } else {
    const int fd = ::open(at.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
  }
  const std::string from = "/proc/self/fd/" + std::to_string(realTmp) + "/" + name;
  return ::mount(from.c_str(), at.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

bool privateStagingRoot() {
  const std::string root = contract::kStagingRoot;  // "/tmp/NAME/": the entry of /tmp left out
  const std::string rootName = root.substr(5, root.size() - 6);
  if (!enterPrivateMounts() || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  const int realTmp = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (realTmp < 0) return false;
  if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return ::close(realTmp), false;
  DIR* entries = ::fdopendir(::dup(realTmp));
  for (const dirent* e; entries && (e = ::readdir(entries));) {
    const std::string name = e->d_name;
    // The user's own root beside it too ("NAME-UID"): a real one stays out of reach.
    if (name == "." || name == ".." || name == rootName || name.rfind(rootName + "-", 0) == 0) continue;
    if (!bindBack(realTmp, e->d_name)) std::fprintf(stderr, "note: /tmp/%s is out of this test's view\n", e->d_name);
  }
  if (entries) ::closedir(entries);
  ::close(realTmp);
  return true;
}

// Before main, while the process has a single thread, as unshare requires.
const bool gPrivateTmp = [] {
  const bool done = privateStagingRoot();
  if (!done) std::fprintf(stderr, "note: no private staging root here (no mount namespace could be made)\n");
  return done;
}();

}  // namespace

bool hasPrivateTmp() { return gPrivateTmp; }
