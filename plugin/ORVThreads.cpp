// The plug-in's own threads (the beacon, the matting worker) run detached and
// are never joined. When the host process exits while one of them is still
// at work, the exit must not pull anything from under it. So the threads are
// counted, and an exit handler of ours, which runs before the host's own
// teardown and the TLS library's, ends every host call for good, tells the
// threads to stop and waits for them, briefly. A thread still inside the TLS
// library after that wait (loading its certificate store does not look at
// the stop flag) finds that library's state intact: the HTTP client keeps
// it from being freed at exit.

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "ORVPlugin.h"
#include "orv/http_client.h"

std::atomic<bool> gExiting{false};

namespace {

// Plain atomics only: they outlive every destructor that runs at exit.
std::atomic<int> gRunning{0};
std::once_flag gExitHandlerOnce;

constexpr auto kExitWait = std::chrono::seconds(2);

void stopThreadsAtExit() {
  gExiting = true;
  endHostCalls();
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  while (gRunning.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

bool startDetached(std::function<void()> work) {
  try {
    // Exit handlers run in reverse order of registration: initialising the
    // HTTP library (and with it the TLS library) first puts ours before its.
    orv::HttpClient::global_init();
    std::call_once(gExitHandlerOnce, [] { std::atexit(stopThreadsAtExit); });
    ++gRunning;
    try {
      std::thread([work = std::move(work)] {
        try {
          work();
        } catch (...) {
          // An exception leaving a thread would terminate the host.
        }
        --gRunning;
      }).detach();
    } catch (...) {
      --gRunning;
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}
