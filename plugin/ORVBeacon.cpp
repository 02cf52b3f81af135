// The start-up beacon: one fire-and-forget POST telling the backend which
// plug-in version runs on which host, system and processor. Runs on its own
// detached thread; its outcome is never looked at.

#include <nlohmann/json.hpp>
#include <string>

#include "ORVPlugin.h"
#include "orv/http_client.h"
#include "orv/version.h"

void beaconToBackend(std::string url) noexcept {
  // An exception leaving a thread's function terminates the whole host, and
  // a beacon is never worth that: every failure is swallowed here.
  try {
    const nlohmann::json body = {
        {"arch", "x86_64"}, {"host", "resolve"}, {"os", "linux"}, {"plugin_version", orv::kPluginVersionString}};
    orv::HttpClient client;
    client.abort_when([] { return gExiting.load(); });
    // The base address is used as typed: a trailing slash stays and doubles.
    client.post_json(url + "/api/beacon", body.dump());
  } catch (...) {
  }
}
