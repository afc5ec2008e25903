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
    parts0_ = rows_ / kPartRows;
    levels_ = static_cast<int>(std::bit_width(static_cast<uint64_t>(parts0_)));
  }

  int64_t rows() const { return rows_; }

  /// Adds to `out` (from `from` on, distinct) inputs that reach exactly rows [s, e); a part p is
  /// named -2 - `part_base` - (its dense number until EmitParts renumbers).
  void Cover(int64_t s, int64_t e, std::vector<int64_t>& out, size_t from, int64_t part_base) {
    if (e - s <= kDirectRuns) {
      Direct(s, e, out, from);
      return;
    }
    Runs();
    if (run_count_[e] - run_count_[s + 1] + 1 <= kDirectRuns) {
      Direct(s, e, out, from);
      return;
    }
    const int64_t a = (s + kPartRows - 1) / kPartRows * kPartRows, b = e / kPartRows * kPartRows;
    Direct(s, a, out, from);
    for (int64_t x = a / kPartRows, y = b / kPartRows; x < y;) {
      int k = x == 0 ? levels_ - 1 : std::min(std::countr_zero(static_cast<uint64_t>(x)), levels_ - 1);
      while ((int64_t{1} << k) > y - x) --k;
      out.push_back(-2 - part_base - Mark(k, x >> k));
      x += int64_t{1} << k;
    }
    Direct(b, e, out, from);
  }

  /// Marks the children of marked parts, numbers the marked parts level by level (the order they
  /// are appended in) and writes their rows and inputs. Returns dense number -> part number.
  std::vector<int64_t> EmitParts(WindowNodePlan& plan) {
    if (marked_.empty()) return {};
    for (int k = levels_ - 1; k >= 1; --k) {
      for (int64_t j = 0; j < Count(k); ++j) {
        if (marked_[Dense(k, j)]) marked_[Dense(k - 1, 2 * j)] = marked_[Dense(k - 1, 2 * j + 1)] = 1;
      }
    }
    std::vector<int64_t> number(marked_.size(), -1);
    int64_t g = 0;
    for (int k = 0; k < levels_; ++k) {
      for (int64_t j = 0; j < Count(k); ++j) {
        if (!marked_[Dense(k, j)]) continue;
        number[Dense(k, j)] = g++;
        const int64_t rows = kPartRows << k;
        plan.part_starts.push_back(j * rows);
        plan.part_ends.push_back((j + 1) * rows);
        if (k == 0) {
          Direct(j * rows, (j + 1) * rows, plan.part_inputs, plan.part_inputs.size());
        } else {
          plan.part_inputs.push_back(-2 - number[Dense(k - 1, 2 * j)]);
          plan.part_inputs.push_back(-2 - number[Dense(k - 1, 2 * j + 1)]);
        }
        plan.part_offsets.push_back(static_cast<int64_t>(plan.part_inputs.size()));
      }
    }
    return number;
  }

 private:
  /// The rows' distinct nodes, a run of equal rows at a time once runs are known.
  void Direct(int64_t s, int64_t e, std::vector<int64_t>& out, size_t from) const {
    for (int64_t i = s; i < e; i = run_end_.empty() ? i + 1 : run_end_[i]) {
      for (size_t c = 0; c < columns_; ++c) {
        const int64_t v = nodes_[static_cast<size_t>(i) * columns_ + c];
        if (v >= 0 && std::find(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), v) == out.end()) {
          out.push_back(v);
        }
      }
    }
  }

  // Runs of rows with the same nodes, found once a window is long: a source column's rows share
  // one node, so a window over them has a single input however long it is.
  void Runs() {
    if (!run_end_.empty() || rows_ == 0) return;
    run_end_.resize(static_cast<size_t>(rows_));
    run_count_.assign(static_cast<size_t>(rows_) + 1, 0);
    for (int64_t i = rows_ - 1; i >= 0; --i) {
      run_end_[i] = i + 1 < rows_ && Same(i, i + 1) ? run_end_[i + 1] : i + 1;
    }
    for (int64_t i = 0; i < rows_; ++i) {
      run_count_[i + 1] = run_count_[i] + (i == 0 || !Same(i - 1, i) ? 1 : 0);
    }
  }

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
  const auto m = static_cast<int64_t>(starts.size());
  WindowNodePlan plan;
  plan.offsets.reserve(static_cast<size_t>(m) + 1);
  plan.inputs.reserve(static_cast<size_t>(m) * 2);
  for (int64_t i = 0; i < m; ++i) {
    const int64_t s = starts[i], e = ends[i];
    const size_t from = plan.inputs.size();
    if (i > 0 && s == starts[i - 1] && e > ends[i - 1] && ends[i - 1] > s) {
      plan.inputs.push_back(-2 - (i - 1));
      p.Cover(ends[i - 1], e, plan.inputs, from + 1, m);
    } else {
      p.Cover(s, e, plan.inputs, from, m);
    }
    plan.offsets.push_back(static_cast<int64_t>(plan.inputs.size()));
    if (i == 4095 && m > 8192) {  // sized from the first windows: no regrowth of a large plan
      plan.inputs.reserve(plan.inputs.size() / 4096 * static_cast<size_t>(m) * 9 / 8 + 64);
    }
  }
  const std::vector<int64_t> number = p.EmitParts(plan);
  if (!number.empty()) {
    for (int64_t& v : plan.inputs) {
      if (v < -1 - m) v = -2 - m - number[static_cast<size_t>(-2 - m - v)];
    }
  }
  return plan;
}

}  // namespace lumarq
