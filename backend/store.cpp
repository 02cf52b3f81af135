#include "backend/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include "contract/files.h"

namespace backend {

namespace {

// The folder `dir` as the backend's own: made 0700 when missing; the reason
// it cannot be, or "". A folder on the way to the data folder may be a link
// of the user's own (a ~/.cache kept on another disk), and keeps its mode.
std::string own_folder(const fs::path& dir, bool onTheWay) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 && (errno != ENOENT || (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) ||
                                         ::lstat(dir.c_str(), &st) != 0))
    return "cannot make the folder " + dir.string() + ": " + std::strerror(errno);
  if (S_ISLNK(st.st_mode) && (!onTheWay || st.st_uid != ::geteuid() || ::stat(dir.c_str(), &st) != 0))
    return dir.string() + " is a symbolic link; the backend keeps its data only in a real folder of its user's";
  if (!S_ISDIR(st.st_mode)) return dir.string() + " is not a folder";
  if (st.st_uid != ::geteuid())
    return dir.string() + " belongs to another user (uid " + std::to_string(st.st_uid) +
           "); give --data a folder of your own";
  if (!onTheWay && (st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0)  // one made 0755 is made private
    return "cannot make " + dir.string() + " private: " + std::strerror(errno);
  return "";
}

}  // namespace

Store::Store(fs::path root, const fs::path& base) : root_(root.lexically_normal()) {
  if (root_.filename().empty()) root_ = root_.parent_path();  // "DATA/"
  sessions_ = root_ / "sessions";
  std::error_code ec;
  if (!fs::is_directory(base, ec)) make_folders(base);
  std::vector<fs::path> chain;
  const fs::path below = root_.lexically_relative(base);
  if (below.empty() || below == "." || *below.begin() == "..") chain = {root_};
  fs::path at = base;
  if (chain.empty())
    for (const fs::path& name : below) chain.push_back(at /= name);
  chain.push_back(sessions_);
  for (const fs::path& dir : chain)
    if (const std::string problem = own_folder(dir, dir != root_ && dir != sessions_); !problem.empty())
      throw std::runtime_error(problem);
}

std::string Store::hold(const std::string& broker) {
  const int fd = ::open((root_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  // Kept open: the lock lasts as long as the process. The backends of a
  // broker share it; a backend alone holds it alone.
  if (fd < 0 || ::flock(fd, (broker.empty() ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
    return broker.empty() ? "another backend is using " + root_.string()
                          : "a backend without --broker is using " + root_.string();
  // Which broker's backends share it: said once, by the first of them.
  const fs::path named = root_ / "broker";
  const std::string owner = read_whole(named);
  if (broker.empty() && !owner.empty())
    return root_.string() + " is shared by the backends of " + owner + ": start this one with --broker " + owner;
  if (!broker.empty() && owner.empty()) {
    if (!ids().empty())
      return root_.string() + " holds the sessions of a backend without --broker; give the backends of " + broker +
             " a data folder of their own";
    write_whole(named, broker);
  } else if (!broker.empty() && owner != broker) {
    return root_.string() + " is shared by the backends of " + owner + ", not " + broker;
  }
  return "";
}

fs::path Store::frame(const std::string& id, int index) const {
  return frames(id) / contract::frame_name(index, ".jpg");
}
fs::path Store::matte(const std::string& id, int index) const {
  return mattes(id) / contract::frame_name(index, ".png");
}

std::vector<std::string> Store::ids() const {
  std::vector<std::string> ids;
  for (const auto& entry : fs::directory_iterator(sessions_))
    if (entry.is_directory()) ids.push_back(entry.path().filename());
  return ids;
}

void write_whole(const fs::path& path, const std::string& bytes) {
  fs::path temporary = path;
  temporary += ".tmp" + std::to_string(std::random_device()());
  const auto refused = [&](int error) {
    ::unlink(temporary.c_str());
    return WriteError("could not write " + path.filename().string() + " in the data folder: " + std::strerror(error));
  };
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw refused(errno);
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      ::close(fd);
      throw refused(error);
    }
    at += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) throw refused(errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) throw refused(errno);
}

void make_folders(const fs::path& dir) {
  fs::path at;
  for (const fs::path& name : dir) {
    at /= name;
    if (::mkdir(at.c_str(), 0700) != 0 && errno != EEXIST)
      throw WriteError("could not make the folder " + at.string() + ": " + std::strerror(errno));
  }
}

std::string read_whole(const fs::path& path) { return contract::read_file(path).value_or(std::string()); }

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

}  // namespace backend
