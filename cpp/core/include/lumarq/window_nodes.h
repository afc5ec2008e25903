// Graph nodes of windowed operations (rolling, expanding and exponential windows, running
// totals): one node per window whose inputs reach exactly the rows the window covered, at a
// bounded number of edges per window however long it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumarq {

/// Two logs of groups (AppendGroupNodes calls): the part nodes, each covering an aligned run of
/// rows, then one node per window. Within each log an input -2 - g names the node of its earlier
/// group g; a window's input -2 - windows - p names part p.
struct WindowNodePlan {
  std::vector<int64_t> part_starts, part_ends;  ///< the rows [start, end) of each part node
  std::vector<int64_t> part_offsets{0}, part_inputs;
  std::vector<int64_t> offsets{0}, inputs;  ///< the windows'
};

/// Plans the nodes of windows [starts[k], ends[k]) over rows whose nodes are
/// nodes[i * columns .. (i + 1) * columns) (-1: none; a second column holds, say, a group key's
/// node). A window extending the one before it (same start, longer) takes that window's node
/// and its new rows; a window with few distinct runs of nodes takes them directly; a longer one
/// takes its ragged ends directly and the rest as power-of-two part nodes of kPartRows rows and
/// up, made once and shared by every window that covers them. Throws std::invalid_argument for
/// mismatched sizes and std::out_of_range for a bound outside [0, rows].
WindowNodePlan PlanWindowNodes(std::span<const int64_t> nodes, size_t columns,
                               std::span<const int64_t> starts, std::span<const int64_t> ends);

inline constexpr int64_t kPartRows = 4;    ///< rows under a part node of the lowest level
inline constexpr int64_t kDirectRuns = 8;  ///< windows with at most this many runs go direct

}  // namespace lumarq
