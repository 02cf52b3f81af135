#pragma once
// The most the data folder may hold, and the disk's own free space: uploads
// that would pass either are refused before anything is written. Bytes are
// reserved under one lock before they are written, so that uploads running
// side by side cannot each see the same room and together pass the budget.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace backend {

class DiskBudget {
 public:
  // `keepFree`: bytes left free on the disk whatever the budget says; unset,
  // 2 % of the disk, at most 256 MiB.
  DiskBudget(std::filesystem::path folder, std::uint64_t limit, std::uint64_t used,
             std::optional<std::uint64_t> keepFree = std::nullopt)
      : folder_(std::move(folder)), limit_(limit), keepFree_(keepFree), used_(static_cast<std::int64_t>(used)) {}

  // Bytes held for a write until it settles: released if it never does.
  class Reservation {
   public:
    Reservation(DiskBudget* budget, std::uint64_t bytes) : budget_(budget), bytes_(static_cast<std::int64_t>(bytes)) {}
    Reservation(Reservation&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) { other.budget_ = nullptr; }
    Reservation& operator=(Reservation&&) = delete;
    ~Reservation() {
      if (budget_) budget_->settle(bytes_, 0);
    }
    // The write is done and took `bytes` more than before (less when negative).
    void settle(std::int64_t bytes) {
      if (budget_) budget_->settle(bytes_, bytes);
      budget_ = nullptr;
    }

   private:
    DiskBudget* budget_;
    std::int64_t bytes_;
  };

  // Holds `more` bytes; Refusal 507, with the reason, when they do not fit.
  [[nodiscard]] Reservation reserve(std::uint64_t more);
  void add(std::int64_t bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    used_ += bytes;
  }
  void remove(std::uint64_t bytes) { add(-static_cast<std::int64_t>(bytes)); }
  // What the folder holds as counted on the disk, where other processes
  // write too: it replaces what this one has seen, reservations kept.
  void recount(std::uint64_t onDisk) {
    std::lock_guard<std::mutex> lock(mu_);
    used_ = static_cast<std::int64_t>(onDisk) + pending_;
  }
  std::uint64_t used() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<std::uint64_t>(std::max<std::int64_t>(used_, 0));
  }
  std::uint64_t limit() const { return limit_; }

 private:
  void settle(std::int64_t reserved, std::int64_t written);

  std::filesystem::path folder_;
  std::uint64_t limit_;
  std::optional<std::uint64_t> keepFree_;
  mutable std::mutex mu_;
  std::int64_t used_;     // held on disk and reserved
  std::int64_t pending_ = 0;  // reserved and not yet on the disk
};

// "1.5 GiB", "320 KiB", "12 bytes"
std::string byte_text(std::uint64_t bytes);

}  // namespace backend
