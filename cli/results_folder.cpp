#include "results_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace {

bool isResult(const std::string& name) {
  if (name == "contact-sheet.png" || name == "preview.mp4" || name == ".prismhollow-session.json") return true;
  const std::size_t dot = name.size() >= 4 ? name.size() - 4 : 0;
  return name.size() >= 10 && name.compare(dot, 4, ".png") == 0 &&
         name.find_first_not_of("0123456789") == dot;
}

}  // namespace

std::vector<fs::path> ResultsFolder::results(const fs::path& dir) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (isResult(it->path().filename().string())) found.push_back(it->path());
  return found;
}

ResultsFolder::ResultsFolder(std::string out, bool overwrite, std::uint64_t frameBytes) {
  std::error_code ec;
  out_ = fs::absolute(out, ec).lexically_normal();
  if (out_.filename().empty()) out_ = out_.parent_path();
  const fs::file_status status = fs::symlink_status(out_, ec);
  if (fs::exists(status)) {
    if (!fs::is_directory(fs::status(out_, ec))) throw ResultsError(out + " is not a folder");
    const std::size_t held = results(out_).size();
    if (held > 0 && !overwrite)
      throw ResultsRefused(out + " holds the results of another pull (" + std::to_string(held) +
                         " files); add --overwrite to replace them, or name another --out");
  }
  for (fs::path p = out_.parent_path(); !p.empty() && !fs::exists(p, ec); p = p.parent_path())
    made_.insert(made_.begin(), p);
  for (const fs::path& p : made_)
    if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) {
      const int error = errno;
      removeMade();
      throw ResultsError("cannot make the folder " + p.string() + ": " + std::strerror(error));
    }

  std::string pattern = (out_.parent_path() / ("." + out_.filename().string() + ".partial-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) {
    const int error = errno;
    removeMade();
    throw ResultsError("cannot write the results in " + out + ": " + std::strerror(error));
  }
  work_ = pattern;
  // Room for one frame, on a file system that takes writes: found now, not
  // after the whole job.
  const std::string probe = work_ + "/.probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const int error = fd < 0 ? errno : ::posix_fallocate(fd, 0, static_cast<off_t>(frameBytes));
  if (fd >= 0) ::close(fd);
  ::unlink(probe.c_str());
  if (error != 0) {
    removeMade();
    throw ResultsError("cannot write the results in " + out + ": " + std::strerror(error));
  }
}

ResultsFolder::~ResultsFolder() {
  if (!published_) removeMade();
}

void ResultsFolder::removeMade() {
  std::error_code ec;
  if (!work_.empty()) fs::remove_all(work_, ec);
  for (auto p = made_.rbegin(); p != made_.rend(); ++p) fs::remove(*p, ec);  // only if still empty
}

void ResultsFolder::publish() {
  std::error_code ec;
  const auto failed = [&](const std::string& what) {
    return ResultsError("cannot move the results into " + out_.string() + ": " + what);
  };
  if (!fs::exists(fs::symlink_status(out_, ec))) {
    fs::rename(work_, out_, ec);
    if (ec) throw failed(ec.message());
  } else {
    for (const fs::path& old : results(out_)) fs::remove(old, ec);
    for (fs::directory_iterator it(work_, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code moved;
      fs::rename(it->path(), out_ / it->path().filename(), moved);
      if (moved) throw failed(moved.message());
    }
    fs::remove_all(work_, ec);
  }
  published_ = true;
}

std::string writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      return std::strerror(error);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return std::strerror(errno);
  return "";
}
