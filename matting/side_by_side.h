#pragma once
// Two pieces of work that share nothing, at once: `aside` on a thread of
// its own, `here` on the caller's. The tracking is the one thread every
// frame waits on, and the reader and the writer leave it a core for part
// of each frame.

#include <future>
#include <utility>

namespace matting {

template <class Aside, class Here>
void side_by_side(Aside&& aside, Here&& here) {
  std::future<void> other = std::async(std::launch::async, std::forward<Aside>(aside));
  here();  // should it throw, `other` waits for `aside` as it goes
  other.get();
}

}  // namespace matting
