#include "backend/disk_budget.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "backend/protocol.h"

namespace backend {

namespace {
// Room left on the disk whatever the budget says, the system needs it more:
// a fraction of the disk, so that a small one stays usable.
constexpr std::uint64_t kKeepFreeMost = 256ull << 20;
constexpr std::uint64_t kKeepFreePercent = 2;
}  // namespace

DiskBudget::Reservation DiskBudget::reserve(std::uint64_t more) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::uint64_t used = static_cast<std::uint64_t>(std::max<std::int64_t>(used_, 0));
  if (used + more > limit_)
    throw Refusal(507, "the backend's disk budget of " + byte_text(limit_) + " is used up (" + byte_text(used) +
                           " held); delete old sessions or raise --disk-budget");
  struct statvfs disk {};
  if (::statvfs(folder_.c_str(), &disk) == 0) {
    const std::uint64_t free = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
    const std::uint64_t size = static_cast<std::uint64_t>(disk.f_blocks) * disk.f_frsize;
    const std::uint64_t keep = keepFree_.value_or(std::min(size / 100 * kKeepFreePercent, kKeepFreeMost));
    const std::uint64_t pending = static_cast<std::uint64_t>(std::max<std::int64_t>(pending_, 0));
    if (free < pending + more + keep)
      throw Refusal(507, "the backend's disk is full: " + byte_text(free > pending ? free - pending : 0) +
                             " free, and it keeps " + byte_text(keep) + " free (" +
                             (keepFree_ ? "--keep-free" : "2 % of the disk, at most 256 MiB; --keep-free sets another amount") +
                             ")");
  }
  used_ += static_cast<std::int64_t>(more);
  pending_ += static_cast<std::int64_t>(more);
  return Reservation(this, more);
}

void DiskBudget::settle(std::int64_t reserved, std::int64_t written) {
  std::lock_guard<std::mutex> lock(mu_);
  used_ += written - reserved;
  pending_ -= reserved;
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
