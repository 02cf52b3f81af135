#include "backend/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <stdexcept>

namespace backend {

Store::Store(fs::path root) : root_(std::move(root)), sessions_(root_ / "sessions") {
  fs::create_directories(sessions_);
}

bool Store::lock() {
  const int fd = ::open((root_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;  // kept open: the lock lasts as long as the process
}

fs::path Store::frame(const std::string& id, int index) const { return frames(id) / (six_digits(index) + ".jpg"); }
fs::path Store::matte(const std::string& id, int index) const { return mattes(id) / (six_digits(index) + ".png"); }

std::vector<std::string> Store::ids() const {
  std::vector<std::string> ids;
  for (const auto& entry : fs::directory_iterator(sessions_))
    if (entry.is_directory()) ids.push_back(entry.path().filename());
  return ids;
}

void write_whole(const fs::path& path, const std::string& bytes) {
  fs::path temporary = path;
  temporary += ".tmp" + std::to_string(std::random_device()());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      std::error_code ec;
      fs::remove(temporary, ec);
      throw std::runtime_error("could not write " + path.filename().string() + " in the data folder");
    }
  }
  fs::rename(temporary, path);
}

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::uint64_t bytes_under(const fs::path& dir) {
  std::error_code ec;
  std::uint64_t bytes = fs::is_directory(dir, ec) ? 4096 : 0;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::file_status status = it->symlink_status(ec);
    bytes += fs::is_directory(status) ? 4096 : fs::is_regular_file(status) ? it->file_size(ec) : 0;
  }
  return bytes;
}

std::uint64_t remove_tree(const fs::path& dir) {
  const std::uint64_t bytes = bytes_under(dir);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return bytes;
}

std::string six_digits(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "%06d", index);
  return name;
}

}  // namespace backend
