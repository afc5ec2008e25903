// Graph algorithms over node-id graphs whose nodes are looked up through a callback, so the
// same code serves the tracker's node map and plain test fixtures.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace lumarq {

/// Length of the longest input chain from `root` down to a leaf. `inputs_of(id, &out)` fills
/// the inputs of `id` and returns false when the id is unknown; unknown ids count as leaves.
/// Iterative (no recursion however deep the graph), each node computed once; an input that
/// closes a cycle counts as a leaf.
template <class InputsFn>
int64_t LongestChainDepth(int64_t root, InputsFn&& inputs_of) {
  struct Frame {
    int64_t id;
    std::vector<int64_t> inputs;
    size_t next = 0;
    int64_t best = 0;
  };
  std::unordered_map<int64_t, int64_t> memo;
  std::unordered_set<int64_t> on_stack;
  std::vector<Frame> stack;

  Frame first{root, {}};
  if (!inputs_of(root, &first.inputs) || first.inputs.empty()) return 0;
  on_stack.insert(root);
  stack.push_back(std::move(first));

  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.inputs.size()) {
      const int64_t child = top.inputs[top.next++];
      if (auto it = memo.find(child); it != memo.end()) {
        top.best = std::max(top.best, it->second + 1);
        continue;
      }
      if (on_stack.count(child) != 0) {
        top.best = std::max<int64_t>(top.best, 1);
        continue;
      }
      Frame frame{child, {}};
      if (!inputs_of(child, &frame.inputs) || frame.inputs.empty()) {
        memo.emplace(child, 0);
        top.best = std::max<int64_t>(top.best, 1);
        continue;
      }
      on_stack.insert(child);
      stack.push_back(std::move(frame));  // invalidates `top`
      continue;
    }
    const int64_t id = top.id, best = top.best;
    memo.emplace(id, best);
    on_stack.erase(id);
    stack.pop_back();
    if (!stack.empty()) stack.back().best = std::max(stack.back().best, best + 1);
    else return best;
  }
  return 0;
}

/// The inputs of each node by id, packed in one vector: a graph read once and then walked (for
/// example by LongestChainDepth) without the objects it came from.
class InputTable {
 public:
  void Reserve(size_t nodes) { index_.reserve(nodes); }
  /// Adds node `id` with its inputs; for an id added before, the first inputs stay.
  void Add(int64_t id, std::span<const int64_t> inputs) {
    index_.emplace(id, offsets_.size() - 1);
    inputs_.insert(inputs_.end(), inputs.begin(), inputs.end());
    offsets_.push_back(inputs_.size());
  }
  /// Fills `out` with the inputs of `id`; false for an id never added.
  bool Inputs(int64_t id, std::vector<int64_t>* out) const {
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    out->assign(inputs_.begin() + static_cast<std::ptrdiff_t>(offsets_[it->second]),
                inputs_.begin() + static_cast<std::ptrdiff_t>(offsets_[it->second + 1]));
    return true;
  }

 private:
  std::unordered_map<int64_t, size_t> index_;  // node id -> row
  std::vector<size_t> offsets_{0};
  std::vector<int64_t> inputs_;
};

/// Breadth-first walk from `root`. `visit(id, enqueue)` runs once per distinct id, in discovery
/// order (root first); it calls `enqueue(child)` for the inputs to walk next, in input order.
/// An id already visited is not queued again and an id queued twice is visited once, so the walk
/// ends on cycles and repeated inputs. Unknown ids are the visitor's business (it simply does not
/// enqueue anything for them).
template <class Id, class Visit, class Hash = std::hash<Id>>
void BreadthFirstWalk(const Id& root, Visit&& visit) {
  std::unordered_set<Id, Hash> visited;
  std::deque<Id> queue{root};
  auto enqueue = [&](const Id& child) {
    if (visited.count(child) == 0) queue.push_back(child);
  };
  while (!queue.empty()) {
    const Id id = std::move(queue.front());
    queue.pop_front();
    if (!visited.insert(id).second) continue;
    visit(id, enqueue);
  }
}

}  // namespace lumarq
