#include "orv/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orv {

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  // 0600: staged frames and mattes are for the user who pulled them alone.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool written = true;
  for (std::size_t at = 0; written && at < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    at += written ? static_cast<std::size_t>(n) : 0;
  }
  return ::close(fd) == 0 && written;
}

}  // namespace orv
