#include "orv/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

namespace orv {

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return {};
  const std::streamoff size = file.tellg();
  std::vector<std::uint8_t> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
  file.seekg(0);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

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

std::string numbered_file(const std::string& dir, int index, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d%s", index, extension);
  return dir + name;
}

}  // namespace orv
