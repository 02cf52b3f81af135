#pragma once
// The data folder. DATA/sessions/<id>/ holds session.json (what the create
// call said and the frames' size), start.json (the start body as sent),
// job.json (the job's state), frames/%06d.jpg and mattes/%06d.png. Files
// are written whole or not at all, so a crash leaves no half a frame. The
// folder and all in it are the running user's alone (0700 and 0600): frames
// of unreleased footage are not for other local users to read or delete.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace backend {

namespace fs = std::filesystem;

class Store {
 public:
  // Creates DATA/sessions, and the folders from `base` (the folder the user
  // named or the home) down to DATA. Throws std::runtime_error with the
  // reason when DATA is a link, or it or a folder between `base` and it is
  // another user's (a link of another user's on the way too): they could
  // swap what the backend writes, or read it.
  Store(fs::path root, const fs::path& base);
  // Holds the folder for this process's life: alone, or shared with the
  // other backends of `broker` (a redis:// address). The reason it cannot
  // otherwise: another backend holds it, or it belongs to another broker's
  // backends, or to none.
  std::string hold(const std::string& broker = "");

  fs::path dir(const std::string& id) const { return sessions_ / id; }
  fs::path frames(const std::string& id) const { return dir(id) / "frames"; }
  fs::path mattes(const std::string& id) const { return dir(id) / "mattes"; }
  // What the session's last job segmented and tracked, for the next job on
  // its frames (which cannot change once a job has started).
  fs::path memo(const std::string& id) const { return dir(id) / "memo"; }
  fs::path frame(const std::string& id, int index) const;
  fs::path matte(const std::string& id, int index) const;
  std::vector<std::string> ids() const;  // the session folders present
  const fs::path& root() const { return root_; }

 private:
  fs::path root_, sessions_;
};

// A write the data folder's disk refused; what() names the file and says why
// ("could not write job.json in the data folder: No space left on device").
struct WriteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Writes through a temporary file (0600) renamed into place; WriteError
// when the disk refuses, and then nothing is left behind.
void write_whole(const fs::path& path, const std::string& bytes);
// Makes the folder and those missing above it, 0700; WriteError when it cannot.
void make_folders(const fs::path& dir);
// The file's bytes (contract::read_file); empty when it cannot be read.
std::string read_whole(const fs::path& path);
// The bytes of the files under dir, and 4 KiB for each folder.
std::uint64_t bytes_under(const fs::path& dir);
// Deletes dir and everything under it; the bytes that freed.
std::uint64_t remove_tree(const fs::path& dir);

}  // namespace backend
