// The row-value records of a tracker without a writer, as columns: a bounded buffer that keeps
// the newest rows, so an operation over a million rows builds no record per row.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace lumarq {

class RowValueColumns {
 public:
  /// What the rows of one append share: the operation and column name (the caller's text ids)
  /// and a context id (the caller's pipeline, tenant and record type).
  struct Run {
    uint32_t op = 0, column = 0, context = 0;
  };

  size_t size() const { return rows_.size() - head_; }

  /// Appends rows, oldest first.
  void Append(const Run& run, std::span<const int64_t> rows, std::span<const uint32_t> words,
              std::span<const double> values);

  /// Drops the oldest `count` rows (all of them when fewer are held).
  void DropOldest(size_t count);

  /// Calls fn(run, row, word, value) for every row, oldest first; `fn` must not change this.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    size_t r = run_head_;
    for (size_t i = head_; i < rows_.size(); ++i) {
      while (runs_[r].end <= i) ++r;
      fn(runs_[r].run, rows_[i], words_[i], values_[i]);
    }
  }

 private:
  struct Span {
    Run run;
    size_t end;  // one past the run's last row, as an index into the columns
  };
  void Compact();

  std::vector<int64_t> rows_;
  std::vector<uint32_t> words_;
  std::vector<double> values_;
  size_t head_ = 0;  // rows before it are dropped, kept until a compaction
  std::vector<Span> runs_;
  size_t run_head_ = 0;  // the run that holds rows_[head_]
};

}  // namespace lumarq
