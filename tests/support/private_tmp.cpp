// Linked into the test programs that pull through the plug-in: each process
// (ctest runs one per test) gets a /tmp of its own, an empty tmpfs in a
// private mount namespace that the programs it starts share and that goes
// when they end. So runs never see, or remove, one another's staging in
// the staging root, nor a real host's beside them.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

bool writeFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY);
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

// Before main, while the process has a single thread, as unshare requires.
const bool gPrivateTmp = [] {
  const bool done = enterPrivateMounts() && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0;
  if (!done) std::fprintf(stderr, "note: no private /tmp here; staging is shared with other runs\n");
  return done;
}();

}  // namespace

bool hasPrivateTmp() { return gPrivateTmp; }
