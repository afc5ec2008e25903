#include "lumarq/window_nodes.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>

namespace lumarq {

namespace {

class Planner {
 public:
  Planner(std::span<const int64_t> nodes, size_t columns)
      : nodes_(nodes), columns_(columns), rows_(static_cast<int64_t>(nodes.size() / columns)) {
    // Runs of rows with the same nodes: a source column's rows share one node, so a window over
    // them has a single input however long it is.
    run_end_.resize(static_cast<size_t>(rows_));
    run_count_.assign(static_cast<size_t>(rows_) + 1, 0);
    for (int64_t i = rows_ - 1; i >= 0; --i) {
      run_end_[i] = i + 1 < rows_ && Same(i, i + 1) ? run_end_[i + 1] : i + 1;
    }
    for (int64_t i = 0; i < rows_; ++i) {
      run_count_[i + 1] = run_count_[i] + (i == 0 || !Same(i - 1, i) ? 1 : 0);
    }
    parts0_ = rows_ / kPartRows;
    levels_ = static_cast<int>(std::bit_width(static_cast<uint64_t>(parts0_)));
  }

  int64_t rows() const { return rows_; }

  /// Adds to `out` (from `from` on, distinct) inputs that reach exactly rows [s, e).
  void Cover(int64_t s, int64_t e, std::vector<int64_t>& out, size_t from) {
    if (e <= s) return;
    if (run_count_[e] - run_count_[s + 1] + 1 <= kDirectRuns) {
      Direct(s, e, out, from);
      return;
    }
    const int64_t a = (s + kPartRows - 1) / kPartRows * kPartRows, b = e / kPartRows * kPartRows;
    if (a >= b) {
      Direct(s, e, out, from);
      return;
    }
    Direct(s, a, out, from);
    for (int64_t x = a / kPartRows, y = b / kPartRows; x < y;) {
      int k = x == 0 ? levels_ - 1 : std::min(std::countr_zero(static_cast<uint64_t>(x)), levels_ - 1);
      while ((int64_t{1} << k) > y - x) --k;
      out.push_back(-2 - Mark(k, x >> k));
      x += int64_t{1} << k;
    }
    Direct(b, e, out, from);
  }

  /// The rows' distinct nodes, walking runs.
  void Direct(int64_t s, int64_t e, std::vector<int64_t>& out, size_t from) const {
    for (int64_t i = s; i < e; i = run_end_[i]) {
      for (size_t c = 0; c < columns_; ++c) {
        const int64_t v = nodes_[static_cast<size_t>(i) * columns_ + c];
        if (v >= 0 && std::find(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), v) == out.end()) {
          out.push_back(v);
        }
      }
    }
  }

  /// Every dense part number below this names a part; the rest name windows.
  int64_t parts_dense() const { return dense_total_; }

  /// Marks the children of marked parts, numbers the marked parts level by level (the order they
  /// are appended in) and writes their rows and inputs. Returns dense number -> group index.
  std::vector<int64_t> EmitParts(WindowNodePlan& plan) {
    if (marked_.empty()) return {};
    for (int k = levels_ - 1; k >= 1; --k) {
      for (int64_t j = 0; j < Count(k); ++j) {
        if (marked_[Dense(k, j)]) marked_[Dense(k - 1, 2 * j)] = marked_[Dense(k - 1, 2 * j + 1)] = 1;
      }
    }
    std::vector<int64_t> group(marked_.size(), -1);
    int64_t g = 0;
    for (int k = 0; k < levels_; ++k) {
      for (int64_t j = 0; j < Count(k); ++j) {
        if (!marked_[Dense(k, j)]) continue;
        group[Dense(k, j)] = g++;
        const int64_t rows = kPartRows << k;
        plan.part_starts.push_back(j * rows);
        plan.part_ends.push_back((j + 1) * rows);
        const size_t from = plan.inputs.size();
        if (k == 0) {
          Direct(j * rows, (j + 1) * rows, plan.inputs, from);
        } else {
          plan.inputs.push_back(-2 - group[Dense(k - 1, 2 * j)]);
          plan.inputs.push_back(-2 - group[Dense(k - 1, 2 * j + 1)]);
        }
        plan.offsets.push_back(static_cast<int64_t>(plan.inputs.size()));
      }
    }
    return group;
  }

 private:
  bool Same(int64_t i, int64_t j) const {
    for (size_t c = 0; c < columns_; ++c) {
      if (nodes_[static_cast<size_t>(i) * columns_ + c] != nodes_[static_cast<size_t>(j) * columns_ + c]) return false;
    }
    return true;
  }

  int64_t Count(int k) const { return parts0_ >> k; }
  size_t Dense(int k, int64_t j) const { return static_cast<size_t>(level_start_[k] + j); }

  int64_t Mark(int k, int64_t j) {
    if (marked_.empty()) {
      // Made on first use: most windows are short or extend the one before.
      for (int l = 0; l < levels_; ++l) {
        level_start_.push_back(dense_total_);
        dense_total_ += Count(l);
      }
      marked_.assign(static_cast<size_t>(dense_total_), 0);
    }
    marked_[Dense(k, j)] = 1;
    return static_cast<int64_t>(Dense(k, j));
  }

  std::span<const int64_t> nodes_;
  size_t columns_;
  int64_t rows_;
  std::vector<int64_t> run_end_, run_count_;
  int64_t parts0_ = 0;
  int levels_ = 0;
  std::vector<int64_t> level_start_;
  int64_t dense_total_ = 0;
  std::vector<uint8_t> marked_;
};

}  // namespace

WindowNodePlan PlanWindowNodes(std::span<const int64_t> nodes, size_t columns,
                               std::span<const int64_t> starts, std::span<const int64_t> ends) {
  if (columns == 0 || nodes.size() % columns != 0) {
    throw std::invalid_argument("window nodes: the node ids do not fill whole rows");
  }
  if (starts.size() != ends.size()) {
    throw std::invalid_argument("window nodes: starts and ends differ in length");
  }
  Planner p(nodes, columns);
  const int64_t n = p.rows();
  for (size_t k = 0; k < starts.size(); ++k) {
    if (starts[k] < 0 || starts[k] > n || ends[k] < 0 || ends[k] > n) {
      throw std::out_of_range("window nodes: window " + std::to_string(k) + " [" +
                              std::to_string(starts[k]) + ", " + std::to_string(ends[k]) +
                              ") is outside " + std::to_string(n) + " rows");
    }
  }
  // The windows' inputs first, naming parts by dense number and windows past them; renumbered
  // once the parts they need are known.
  const size_t m = starts.size();
  std::vector<int64_t> offsets{0}, inputs;
  offsets.reserve(m + 1);
  std::vector<int64_t> chained;  // windows naming the one before, by index
  for (size_t i = 0; i < m; ++i) {
    const int64_t s = starts[i], e = ends[i];
    const size_t from = inputs.size();
    if (i > 0 && s == starts[i - 1] && e > ends[i - 1] && ends[i - 1] > s) {
      chained.push_back(static_cast<int64_t>(inputs.size()));
      inputs.push_back(static_cast<int64_t>(i - 1));
      p.Cover(ends[i - 1], e, inputs, from + 1);
    } else {
      p.Cover(s, e, inputs, from);
    }
    offsets.push_back(static_cast<int64_t>(inputs.size()));
  }

  WindowNodePlan plan;
  plan.offsets.push_back(0);
  const std::vector<int64_t> group = p.EmitParts(plan);
  const auto parts = static_cast<int64_t>(plan.part_starts.size());
  for (const int64_t at : chained) inputs[at] = -2 - (parts + inputs[at]);
  std::vector<bool> is_chain(inputs.size(), false);
  for (const int64_t at : chained) is_chain[at] = true;
  for (size_t k = 0; k < inputs.size(); ++k) {
    if (inputs[k] < -1 && !is_chain[k]) inputs[k] = -2 - group[static_cast<size_t>(-2 - inputs[k])];
  }
  const auto base = static_cast<int64_t>(plan.inputs.size());
  plan.inputs.insert(plan.inputs.end(), inputs.begin(), inputs.end());
  for (size_t i = 1; i <= m; ++i) plan.offsets.push_back(base + offsets[i]);
  return plan;
}

}  // namespace lumarq
