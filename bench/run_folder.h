#pragma once
// A folder made for a run (mkdtemp), removed with all it holds after.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace bench {

class RunFolder {
 public:
  // Named `prefix` and six random characters, in the system's temporary folder.
  explicit RunFolder(const std::string& prefix) {
    const std::filesystem::path parent = std::filesystem::temp_directory_path();
    std::string name = (parent / (prefix + ".XXXXXX")).string();
    if (!mkdtemp(name.data())) throw std::runtime_error("cannot make a folder in " + parent.string());
    path_ = name;
  }
  ~RunFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace bench
