#pragma once
// The most the data folder may hold, and the disk's own free space: uploads
// that would pass either are refused before anything is written.

#include <atomic>
#include <cstdint>
#include <filesystem>

namespace backend {

class DiskBudget {
 public:
  DiskBudget(std::filesystem::path folder, std::uint64_t limit, std::uint64_t used)
      : folder_(std::move(folder)), limit_(limit), used_(static_cast<std::int64_t>(used)) {}
  // Refusal 507 when `more` bytes do not fit.
  void reserve(std::uint64_t more) const;
  void add(std::int64_t bytes) { used_ += bytes; }
  void remove(std::uint64_t bytes) { used_ -= static_cast<std::int64_t>(bytes); }
  std::uint64_t used() const { return static_cast<std::uint64_t>(std::max<std::int64_t>(used_, 0)); }
  std::uint64_t limit() const { return limit_; }

 private:
  std::filesystem::path folder_;
  std::uint64_t limit_;
  std::atomic<std::int64_t> used_;
};

// "1.5 GiB", "320 KiB", "12 bytes"
std::string byte_text(std::uint64_t bytes);

}  // namespace backend
