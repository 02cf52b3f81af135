#include "contract/wire.h"

#include <random>
#include <regex>

namespace contract {

namespace {
const char* const kStateNames[] = {"CREATED", "QUEUED", "RUNNING", "COMPLETED", "FAILED"};
const std::regex kShare(R"(, (\d+)% of the job)");
}  // namespace

std::string stage_with_share(const std::string& stage, double share) {
  return stage + ", " + std::to_string(static_cast<int>(share * 100)) + "% of the job";
}

std::optional<double> share_in_stage(const std::string& stage) {
  std::smatch share;
  if (!std::regex_search(stage, share, kShare)) return std::nullopt;
  return std::min(1.0, std::stod(share[1]) / 100);
}

std::string stage_without_share(const std::string& stage) { return std::regex_replace(stage, kShare, ""); }

std::string session_path(const std::string& id) { return std::string(kSessions) + "/" + id; }

std::string frame_path(const std::string& session, int index) { return session + kFrames + std::to_string(index); }

std::string matte_path(const std::string& session, int index) {
  return session + kMattes + std::to_string(index) + kMatteExtension;
}

const char* state_name(JobState state) { return kStateNames[static_cast<int>(state)]; }

std::optional<JobState> state_named(const std::string& name) {
  for (int i = 0; i < 5; ++i)
    if (name == kStateNames[i]) return static_cast<JobState>(i);
  return std::nullopt;
}

bool is_session_id(const std::string& text) {
  if (text.empty() || text.size() > 128 || text == "." || text == "..") return false;
  for (unsigned char c : text) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string new_session_id() {
  std::random_device random;  // the kernel's random source
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 8; ++i)
    for (unsigned word = random(), d = 0; d < 4; ++d, word >>= 4) id += kHex[word & 15];
  return id;
}

}  // namespace contract
