#include "backend/disk_budget.h"

#include <sys/statvfs.h>

#include <cstdio>
#include <string>

#include "backend/protocol.h"

namespace backend {

namespace {
// Room left on the disk whatever the budget says: the system needs it more.
constexpr std::uint64_t kDiskReserve = 256ull << 20;
}  // namespace

void DiskBudget::reserve(std::uint64_t more) const {
  if (used() + more > limit_)
    throw Refusal(507, "the backend's disk budget of " + byte_text(limit_) + " is used up (" + byte_text(used()) +
                           " held); delete old sessions or raise --disk-budget");
  struct statvfs disk {};
  if (::statvfs(folder_.c_str(), &disk) == 0 &&
      static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < more + kDiskReserve)
    throw Refusal(507, "the backend's disk is full (less than " + byte_text(more + kDiskReserve) + " free)");
}

std::string byte_text(std::uint64_t bytes) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace backend
