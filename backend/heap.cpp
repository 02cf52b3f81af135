#include "backend/heap.h"

#include <malloc.h>

#include <mutex>

namespace backend {

namespace {
// Left to itself, malloc raises the size from which it maps a block of its
// own to the largest block freed, and with it what a heap keeps free: then
// every worker's heap keeps a progressive JPEG's coefficient buffer once it
// has held one. The bound is fixed instead, above the matting's frame-sized
// buffers, which a job takes and frees on every frame: mapping each afresh
// (the bound was once a megabyte), and giving back what a heap freed at the
// top (at malloc's own 128 KiB), made jobs two to three times slower.
constexpr int kMappedFrom = 32 << 20;
constexpr int kKeptFreeIdle = 128 << 10;
constexpr int kKeptFreeInAJob = 2 * kMappedFrom;

std::mutex gJobsMutex;
int gJobs = 0;
}  // namespace

void keep_heap() {
  static std::once_flag once;
  std::call_once(once, [] {
    mallopt(M_MMAP_THRESHOLD, kMappedFrom);
    mallopt(M_TRIM_THRESHOLD, kKeptFreeIdle);
  });
}

void give_back_heap() { malloc_trim(0); }

HeapForJob::HeapForJob() {
  keep_heap();
  std::lock_guard<std::mutex> lock(gJobsMutex);
  if (gJobs++ == 0) mallopt(M_TRIM_THRESHOLD, kKeptFreeInAJob);
}

HeapForJob::~HeapForJob() {
  std::lock_guard<std::mutex> lock(gJobsMutex);
  if (--gJobs > 0) return;
  mallopt(M_TRIM_THRESHOLD, kKeptFreeIdle);
  give_back_heap();
}

}  // namespace backend
