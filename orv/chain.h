#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// One generation task of a chain: itself, the task it continues, what it was
// started with and what it produced. Nothing checks that parent_task_id names
// a task of the same chain.
struct ChainNode {
  std::string task_id;
  std::string parent_task_id;
  std::string prompt;
  std::string video_url;
  int32_t seed = 0;
  double duration_sec = 0.0;
  bool completed = false;
};

// A list of chained tasks and its JSON document: an array of one object per
// node, keys sorted, written compactly.
struct Chain {
  std::vector<ChainNode> nodes;

  // Replaces the nodes with those of `text`. All or nothing: on any fault
  // (invalid JSON, an element that is not an object, a member of a refused
  // type) the chain is left empty and nothing is reported. The previous
  // nodes are gone in every case.
  void load(const std::string& text);

  // The document of the current nodes. Throws nlohmann::json::type_error
  // when a string field holds bytes that are not valid UTF-8 (text that
  // came through load always is). A non-finite duration_sec is written as
  // null, which load then refuses.
  std::string dump() const;
};

}  // namespace orv
