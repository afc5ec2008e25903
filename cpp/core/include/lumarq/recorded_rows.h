// The recorded rows of a column of row values. `Values` answers Recorded(i) (whether row i has a
// value to record) and Number(i) (its value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace lumarq {

/// Indexes, fingerprints and values of recorded rows, in row order.
struct RecordedRows {
  std::vector<int64_t> rows;
  std::vector<uint32_t> words;
  std::vector<double> values;
};

/// The recorded rows among rows [start, n), with fingerprints `words`; `expected` sizes the
/// vectors.
template <class Values>
RecordedRows CollectRecorded(const uint32_t* words, const Values& values, size_t start, size_t n,
                             size_t expected) {
  RecordedRows r;
  r.rows.reserve(expected);
  r.words.reserve(expected);
  r.values.reserve(expected);
  for (size_t i = start; i < n; ++i) {
    if (!values.Recorded(i)) continue;
    r.rows.push_back(static_cast<int64_t>(i));
    r.words.push_back(words[i]);
    r.values.push_back(values.Number(i));
  }
  return r;
}

/// Where the newest `keep` recorded rows of rows [0, n) begin: `start` is the first row of the
/// window (0 when fewer are recorded), `kept` how many recorded rows it holds and `dropped`
/// whether a recorded row lies before it.
struct NewestRecorded {
  size_t start = 0;
  size_t kept = 0;
  bool dropped = false;
};
template <class Values>
NewestRecorded NewestRecordedRows(const Values& values, size_t n, size_t keep) {
  NewestRecorded w{n, 0, false};
  while (w.start > 0 && w.kept < keep) w.kept += values.Recorded(--w.start) ? 1 : 0;
  for (size_t i = w.start; i-- > 0 && !w.dropped;) w.dropped = values.Recorded(i) != 0;
  return w;
}

/// False only where float() must refuse the ASCII text `s`: past whitespace and a sign it is
/// neither inf, infinity nor nan (in any case) nor made of digits, '_', '.', 'e', 'E' and signs
/// alone with a digit among them. Saves the exception float() raises for such texts (dates and
/// durations among them); true sends the text to float().
inline bool AsciiMayBeFloat(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;  // whitespace, and then some
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  if (b < e && (s[b] == '+' || s[b] == '-')) ++b;
  const std::string_view body = s.substr(b, e - b);
  auto is = [&](std::string_view word) {
    if (body.size() != word.size()) return false;
    for (size_t i = 0; i < body.size(); ++i) {
      if (static_cast<char>(body[i] | 0x20) != word[i]) return false;
    }
    return true;
  };
  if (is("inf") || is("infinity") || is("nan")) return true;
  bool digit = false;
  for (const char c : body) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c != '_' && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') {
      return false;
    }
  }
  return digit;
}

}  // namespace lumarq
