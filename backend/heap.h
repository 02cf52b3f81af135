#pragma once
// How the backend keeps malloc's heaps. Blocks the size of a frame's
// buffers stay in them, and while a job runs, what they free is kept for
// the next frame; after the last job, and after a JPEG that needed a large
// buffer, what they hold free goes back to the system.

namespace backend {

// Fixes the size from which malloc maps a block of its own; calls after the
// first do nothing.
void keep_heap();

// Gives what the heaps hold free back to the system.
void give_back_heap();

// Held while a job runs.
class HeapForJob {
 public:
  HeapForJob();
  ~HeapForJob();
  HeapForJob(const HeapForJob&) = delete;
  HeapForJob& operator=(const HeapForJob&) = delete;
};

}  // namespace backend
