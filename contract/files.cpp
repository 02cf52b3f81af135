#include "contract/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "contract/wire.h"

namespace contract {

std::string frame_name(int index, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d%s", index, extension);
  return name;
}

std::string numbered_file(const std::string& dir, int index, const char* extension) {
  return dir + frame_name(index, extension);
}

namespace {

// The folder as this user's private root: made when missing; false when it
// is a link, not a folder or another user's.
bool own_root(const std::string& root) {
  const std::string dir = root.substr(0, root.size() - 1);  // lstat follows a link named with a trailing "/"
  ::mkdir(dir.c_str(), 0700);
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return false;  // others may have planted links in it already
  return (st.st_mode & 0777) == 0700 || ::chmod(dir.c_str(), 0700) == 0;  // a root made 0755 is made private
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
  if (!is_session_id(sessionId)) return "";
  const std::string root = staging_root();
  return root.empty() ? root : root + sessionId + "/";
}

}  // namespace contract
