#include "orv/chain.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

namespace orv {
namespace {

using nlohmann::json;

// Raised for a member of a type the document does not allow; load turns it,
// like every other fault, into an empty chain.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The low 32 bits as a two's-complement value, without relying on how an
// out-of-range unsigned-to-signed conversion is defined.
int32_t lowBits(uint64_t value) {
  const uint32_t low = static_cast<uint32_t>(value);
  return low <= 0x7fffffffu ? static_cast<int32_t>(low)
                            : static_cast<int32_t>(static_cast<int64_t>(low) - 0x100000000LL);
}

void readString(const json& element, const char* key, std::string& field) {
  const auto it = element.find(key);
  if (it == element.end()) {
    return;
  }
  if (!it->is_string()) {
    throw Refused(key);
  }
  field = it->get<std::string>();
}

// Integers keep their low 32 bits, as a seed written by a 64-bit producer
// would be read by a 32-bit one. Floating-point seeds are truncated toward
// zero; one that still lies outside the int32 range (or is not finite) has no
// meaningful 32-bit value, so the document is refused rather than given a
// seed that nobody wrote.
void readSeed(const json& element, int32_t& seed) {
  const auto it = element.find("seed");
  if (it == element.end()) {
    return;
  }
  if (it->is_boolean()) {
    seed = it->get<bool>() ? 1 : 0;
  } else if (it->is_number_unsigned()) {
    seed = lowBits(it->get<uint64_t>());
  } else if (it->is_number_integer()) {
    seed = lowBits(static_cast<uint64_t>(it->get<int64_t>()));
  } else if (it->is_number_float()) {
    const double truncated = std::trunc(it->get<double>());
    // Written so that NaN fails the test too.
    if (!(truncated >= -2147483648.0 && truncated <= 2147483647.0)) {
      throw Refused("seed out of range");
    }
    seed = static_cast<int32_t>(truncated);
  } else {
    throw Refused("seed");
  }
}

void readDuration(const json& element, double& duration) {
  const auto it = element.find("duration_sec");
  if (it == element.end()) {
    return;
  }
  // is_number() is false for booleans, which are refused here.
  if (!it->is_number()) {
    throw Refused("duration_sec");
  }
  duration = it->get<double>();
}

void readCompleted(const json& element, bool& completed) {
  const auto it = element.find("completed");
  if (it == element.end()) {
    return;
  }
  if (!it->is_boolean()) {
    throw Refused("completed");
  }
  completed = it->get<bool>();
}

ChainNode nodeFrom(const json& element) {
  // find() on a non-object quietly finds nothing, so check first.
  if (!element.is_object()) {
    throw Refused("element is not an object");
  }
  ChainNode node;
  readString(element, "task_id", node.task_id);
  readString(element, "parent_task_id", node.parent_task_id);
  readString(element, "prompt", node.prompt);
  readString(element, "video_url", node.video_url);
  readSeed(element, node.seed);
  readDuration(element, node.duration_sec);
  readCompleted(element, node.completed);
  return node;
}

}  // namespace

void Chain::load(const std::string& text) {
  nodes.clear();
  if (text.empty()) {
    return;
  }
  try {
    // The throwing parser, without comments; trailing commas are always
    // refused by this version of the library.
    const json document = json::parse(text, nullptr, true, false);
    std::vector<ChainNode> loaded;
    // The library's element iteration: array elements in order, object
    // member values in key order, nothing for null, a lone value once.
    for (const json& element : document) {
      loaded.push_back(nodeFrom(element));
    }
    nodes = std::move(loaded);
  } catch (...) {
    nodes.clear();
  }
}

std::string Chain::dump() const {
  json document = json::array();
  for (const ChainNode& node : nodes) {
    json object = json::object();
    object["task_id"] = node.task_id;
    object["parent_task_id"] = node.parent_task_id;
    object["prompt"] = node.prompt;
    object["video_url"] = node.video_url;
    object["seed"] = node.seed;
    object["duration_sec"] = node.duration_sec;
    object["completed"] = node.completed;
    document.push_back(std::move(object));
  }
  // Compact, unescaped UTF-8, strict: invalid UTF-8 throws to the caller.
  return document.dump();
}

}  // namespace orv
