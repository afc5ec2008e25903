#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "lumarq/recorded_rows.h"

namespace lumarq {
namespace {

/// Rows from a pattern: 'x' is recorded (its value is its index + 0.5), '.' is not.
struct Pattern {
  std::string rows;
  bool Recorded(size_t i) const { return rows[i] == 'x'; }
  double Number(size_t i) const { return static_cast<double>(i) + 0.5; }
};

TEST(RecordedRows, NewestWindow) {
  struct Case {
    const char* rows;
    size_t keep;
    size_t start, kept;
    bool dropped;
  };
  const Case cases[] = {
      {"", 3, 0, 0, false},
      {"xxx", 5, 0, 3, false},       // fewer recorded than kept: the whole column
      {"xxx", 3, 0, 3, false},       // exactly as many
      {"xxxx", 2, 2, 2, true},
      {"x..x.x", 2, 3, 2, true},     // the window starts at the older kept row
      {"...x.x", 2, 3, 2, false},    // only unrecorded rows before it: nothing dropped
      {"xx..", 0, 4, 0, true},       // nothing kept
      {"....", 2, 0, 0, false},
  };
  for (const Case& c : cases) {
    const NewestRecorded w = NewestRecordedRows(Pattern{c.rows}, std::string(c.rows).size(), c.keep);
    EXPECT_EQ(w.start, c.start) << c.rows << " keep " << c.keep;
    EXPECT_EQ(w.kept, c.kept) << c.rows << " keep " << c.keep;
    EXPECT_EQ(w.dropped, c.dropped) << c.rows << " keep " << c.keep;
  }
}

TEST(RecordedRows, CollectsTheRecordedRowsFromStart) {
  const Pattern values{"x.xx.x"};
  const uint32_t words[] = {10, 11, 12, 13, 14, 15};
  const RecordedRows r = CollectRecorded(words, values, 2, 6, 3);
  EXPECT_EQ(r.rows, (std::vector<int64_t>{2, 3, 5}));
  EXPECT_EQ(r.words, (std::vector<uint32_t>{12, 13, 15}));
  EXPECT_EQ(r.values, (std::vector<double>{2.5, 3.5, 5.5}));
}

TEST(RecordedRows, TextsThatMayBeFloats) {
  // true: float() must be asked (it may still refuse); false: float() refuses it.
  const std::pair<const char*, bool> cases[] = {
      {"1", true},           {"-2", true},          {"+.5", true},       {" 3", true},
      {"\t4\n", true},       {"inf", true},         {"INFINITY", true},  {"-NaN", true},
      {"nan \n", true},      {"1_0e-1_0", true},    {"1.2.3", true},     {"", false},
      {" \t", false},        {"\x7f", false},       {"-", false},        {"little", false},
      {"n", false},          {"none", false},       {"info", false},     {"infinity!", false},
      {"e5", true},          {"_1", true},          {"(1)", false},      {"nan2", false},
      {"1 2", false},        {"0 days 00:01:00", false},                 {"2020-01-01 00:00:00", false},
      {"2020-01-01", true},  {"-1 days +23:59:00", false},               {"0x10", false},
  };
  for (const auto& [text, may] : cases) EXPECT_EQ(AsciiMayBeFloat(text), may) << '"' << text << '"';
}

}  // namespace
}  // namespace lumarq
