// Decoded mattes, kept by file: at most eight, the oldest insertion leaving
// first. A hit does not refresh an entry. An entry names the file it came
// from by path and by identity (device, inode, size, modification time), so
// a matte replaced on disk, as a re-pull into the same session does, is
// never served from the cache; one whose file is gone still is.
// Misses decode outside the cache's lock, so a hit never waits behind a
// decode; the decodes themselves run one at a time (load_gray holds the
// decoder's process-wide lock while it caps the decoder's allocations), and
// two renders missing the same file may both decode it.

#include "ORVMatteCache.h"

#include <sys/stat.h>

#include <deque>
#include <mutex>

#include "orv/image.h"

namespace {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modifiedNs = 0;
  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size && modifiedNs == o.modifiedNs;
  }
};

struct CacheEntry {
  std::string path;
  FileIdentity file;
  Matte matte;
};

constexpr std::size_t kCacheCapacity = 8;

std::deque<CacheEntry> gCache;  // newest at the front
std::mutex gCacheMu;

bool identify(const std::string& path, FileIdentity* file) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  *file = FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  return true;
}

// The cached matte of that file, if any; with no file to identify, the
// newest cached for its path. The caller holds the lock.
const Matte* cached(const std::string& path, const FileIdentity* file) {
  for (const CacheEntry& entry : gCache)
    if (entry.path == path && (!file || entry.file == *file)) return &entry.matte;
  return nullptr;
}

}  // namespace

bool getMatte(const std::string& path, Matte* matte) {
  FileIdentity file;
  const bool exists = identify(path, &file);
  {
    std::lock_guard<std::mutex> lock(gCacheMu);
    if (const Matte* hit = cached(path, exists ? &file : nullptr)) {
      *matte = *hit;
      return true;
    }
  }
  if (!exists) return false;
  // The file may be replaced between the look and the read: then the entry
  // carries the old identity, which no later look matches.
  Matte loaded;
  std::vector<std::uint8_t> pixels = orv::load_gray(path, &loaded.width, &loaded.height);
  if (pixels.empty()) return false;
  loaded.pixels = std::make_shared<const std::vector<std::uint8_t>>(std::move(pixels));
  {
    std::lock_guard<std::mutex> lock(gCacheMu);
    if (!cached(path, &file)) {  // another render may have decoded it meanwhile
      gCache.push_front(CacheEntry{path, file, loaded});
      if (gCache.size() > kCacheCapacity) gCache.pop_back();
    }
  }
  *matte = std::move(loaded);
  return true;
}
