#include "lumarq/row_value_columns.h"

#include <algorithm>
#include <stdexcept>

namespace lumarq {

void RowValueColumns::Append(const Run& run, std::span<const int64_t> rows,
                             std::span<const uint32_t> words, std::span<const double> values) {
  if (words.size() != rows.size() || values.size() != rows.size()) {
    throw std::invalid_argument("row-value columns of different lengths");
  }
  if (rows.empty()) return;
  rows_.insert(rows_.end(), rows.begin(), rows.end());
  words_.insert(words_.end(), words.begin(), words.end());
  values_.insert(values_.end(), values.begin(), values.end());
  const Run& last = runs_.empty() ? run : runs_.back().run;
  if (runs_.size() > run_head_ && last.op == run.op && last.column == run.column &&
      last.context == run.context) {
    runs_.back().end = rows_.size();
  } else {
    runs_.push_back(Span{run, rows_.size()});
  }
}

void RowValueColumns::DropOldest(size_t count) {
  head_ += std::min(count, size());
  while (run_head_ < runs_.size() && runs_[run_head_].end <= head_) ++run_head_;
  // Dropped rows are moved out once they outnumber the kept ones, so each row is moved at most
  // about once and a bounded buffer stays within twice its bound.
  if (head_ >= 4096 && head_ >= size()) Compact();
}

void RowValueColumns::Compact() {
  rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(head_));
  words_.erase(words_.begin(), words_.begin() + static_cast<std::ptrdiff_t>(head_));
  values_.erase(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(head_));
  runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(run_head_));
  for (Span& s : runs_) s.end -= head_;
  head_ = 0;
  run_head_ = 0;
}

}  // namespace lumarq
