// The chain document: load of any text never throws and is all or nothing;
// dump of whatever load produced never throws; and load -> dump -> load
// gives the same nodes and the same text again.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "orv/chain.h"

namespace {

bool sameNode(const orv::ChainNode& a, const orv::ChainNode& b) {
  // Bitwise for the duration: a loaded one is finite, and -0.0 must stay -0.0.
  return a.task_id == b.task_id && a.parent_task_id == b.parent_task_id && a.prompt == b.prompt &&
         a.video_url == b.video_url && a.seed == b.seed &&
         std::memcmp(&a.duration_sec, &b.duration_sec, sizeof(double)) == 0 && a.completed == b.completed;
}

bool sameChain(const orv::Chain& a, const orv::Chain& b) {
  if (a.nodes.size() != b.nodes.size()) return false;
  for (std::size_t i = 0; i < a.nodes.size(); ++i)
    if (!sameNode(a.nodes[i], b.nodes[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  orv::Chain chain;
  chain.load(text);
  // Nothing of what a chain held before survives a load.
  orv::Chain used;
  used.nodes.push_back(orv::ChainNode{"old", "older", "p", "v", 1, 1.0, true});
  used.load(text);
  FUZZ_CHECK(sameChain(used, chain));

  std::string dumped;
  try {
    dumped = chain.dump();
  } catch (...) {
    FUZZ_CHECK(!"dump threw on loaded content");
  }

  orv::Chain again;
  again.load(dumped);
  FUZZ_CHECK(sameChain(again, chain));
  FUZZ_CHECK(again.dump() == dumped);
  return 0;
}
