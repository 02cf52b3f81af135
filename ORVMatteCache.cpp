// Decoded mattes, kept by file path: at most eight, the oldest insertion
// leaving first. A hit does not refresh an entry, and a miss decodes under
// the lock, so concurrent misses are decoded one after another.

#include "ORVMatteCache.h"

#include <deque>
#include <mutex>

#include "orv/image.h"

namespace {

struct CacheEntry {
  std::string key;
  Matte matte;
};

constexpr std::size_t kCacheCapacity = 8;

std::deque<CacheEntry> gCache;  // newest at the front
std::mutex gCacheMu;

}  // namespace

bool getMatte(const std::string& path, Matte* matte) {
  std::lock_guard<std::mutex> lock(gCacheMu);
  for (const CacheEntry& entry : gCache)
    if (entry.key == path) {
      *matte = entry.matte;
      return true;
    }
  Matte loaded;
  std::vector<std::uint8_t> pixels = orv::load_gray(path, &loaded.width, &loaded.height);
  if (pixels.empty()) return false;
  loaded.pixels = std::make_shared<const std::vector<std::uint8_t>>(std::move(pixels));
  gCache.push_front(CacheEntry{path, loaded});
  if (gCache.size() > kCacheCapacity) gCache.pop_back();
  *matte = std::move(loaded);
  return true;
}
