// The plug-in's own threads (the beacon, the matting worker) run on their
// own: nobody waits for their work. When the host process exits while one of
// them is still at work, the exit must not pull anything from under it. So
// an exit handler of ours, which runs before the host's own teardown and the
// TLS library's, ends every host call for good, tells the threads to stop
// and waits for them, briefly, joining each as it ends. A thread still inside the TLS
// library after that wait (loading its certificate store does not look at
// the stop flag) finds that library's state intact: the HTTP client keeps
// it from being freed at exit.

#include <chrono>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "ORVPlugin.h"
#include "orv/http_client.h"

std::atomic<bool> gExiting{false};

namespace {

// The threads started and not yet joined. A thread is joined once its work
// is done (at the next start, or at exit), never while it works; so a host
// never waits for one, and at exit no thread is still on its way out while
// the process's last exit handlers run. Never destroyed: a thread that
// outlives the wait at exit still finds it.
struct Started {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};
struct Threads {
  std::mutex mu;
  std::list<Started> started;
};
Threads& threads() {
  static Threads* const t = new Threads;
  return *t;
}
std::once_flag gExitHandlerOnce;

constexpr auto kExitWait = std::chrono::seconds(2);

// Joins the threads whose work is done; true when none is left.
bool joinFinished() {
  Threads& t = threads();
  std::lock_guard<std::mutex> lock(t.mu);
  for (auto it = t.started.begin(); it != t.started.end();) {
    if (!it->done->load()) {
      ++it;
      continue;
    }
    it->thread.join();
    it = t.started.erase(it);
  }
  return t.started.empty();
}

void stopThreadsAtExit() {
  gExiting = true;
  endHostCalls();
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  while (!joinFinished() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // A thread still at work is left to the process's end.
  Threads& t = threads();
  std::lock_guard<std::mutex> lock(t.mu);
  for (Started& s : t.started) s.thread.detach();
  t.started.clear();
}

}  // namespace

bool runOnOwnThread(std::function<void()> work) {
  try {
    // Exit handlers run in reverse order of registration: initialising the
    // HTTP library (and with it the TLS library) first puts ours before its.
    orv::HttpClient::global_init();
    std::call_once(gExitHandlerOnce, [] { std::atexit(stopThreadsAtExit); });
    joinFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    Threads& t = threads();
    std::lock_guard<std::mutex> lock(t.mu);
    Started& slot = t.started.emplace_back(Started{std::thread(), done});  // first: a thread is never left unowned
    try {
      slot.thread = std::thread([work = std::move(work), done] {
        try {
          work();
        } catch (...) {
          // An exception leaving a thread would terminate the host.
        }
        *done = true;
      });
    } catch (...) {
      t.started.pop_back();
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}
