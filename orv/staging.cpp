#include "orv/staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "orv/backend.h"
#include "orv/files.h"

namespace orv {

namespace {

// The folder as this user's private root: made when missing; false when it
// is a link, not a folder or another user's.
bool own_root(const std::string& root) {
  const std::string dir = root.substr(0, root.size() - 1);  // lstat follows a link named with a trailing "/"
  ::mkdir(dir.c_str(), 0700);
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return false;  // others may have planted links in it already
  return (st.st_mode & 0777) == 0700 || ::chmod(dir.c_str(), 0700) == 0;  // made 0755 by earlier versions
}

}  // namespace

std::string own_staging_root() {
  return std::string(kStagingRoot, std::strlen(kStagingRoot) - 1) + "-" + std::to_string(::geteuid()) + "/";
}

std::string staging_root() {
  if (own_root(kStagingRoot)) return kStagingRoot;
  const std::string mine = own_staging_root();
  return own_root(mine) ? mine : std::string();
}

std::string matte_folder(const std::string& sessionId) {
  if (!valid_session_id(sessionId)) return "";
  const std::string root = staging_root();
  return root.empty() ? root : root + sessionId + "/";
}

std::string frames_digest(const std::string& dir, int count) {
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 1099511628211ull; };
  char buffer[1 << 16];
  for (int i = 0; i < count; ++i) {
    std::ifstream in(numbered_file(dir, i, ".jpg"), std::ios::binary);
    if (!in) return "";
    // Each file's length too, so that bytes cannot move between frames.
    std::uint64_t length = 0;
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
      for (std::streamsize k = 0; k < in.gcount(); ++k) mix(static_cast<unsigned char>(buffer[k]));
      length += static_cast<std::uint64_t>(in.gcount());
    }
    if (in.bad()) return "";
    for (int b = 0; b < 8; ++b) mix(static_cast<unsigned char>(length >> (8 * b)));
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace orv
