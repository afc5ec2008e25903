#include "lumarq/cells.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace lumarq {
namespace {

TEST(CellKindOf, KnowsOnlySingleCharacterFormatsOfTheirOwnSize) {
  struct Case {
    const char* format;
    size_t itemsize;
    CellKind kind;
  };
  const Case cases[] = {
      {"d", 8, CellKind::kF64},      {"d", 4, CellKind::kOther},   {"f", 4, CellKind::kF32},
      {"e", 2, CellKind::kOther},    {"?", 1, CellKind::kBool},    {"b", 1, CellKind::kSigned},
      {"h", 2, CellKind::kSigned},   {"l", 8, CellKind::kSigned},  {"q", 3, CellKind::kOther},
      {"B", 1, CellKind::kUnsigned}, {"Q", 8, CellKind::kUnsigned}, {"O", sizeof(void*), CellKind::kObject},
      {"O", 4, CellKind::kOther},    {"<d", 8, CellKind::kOther},  {"", 8, CellKind::kOther},
      {nullptr, 8, CellKind::kOther}, {"M", 8, CellKind::kOther},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CellKindOf(c.format, c.itemsize), c.kind)
        << (c.format ? c.format : "null") << " / " << c.itemsize;
  }
}

template <typename T>
double Read(CellKind kind, T v) {
  char buf[8] = {};
  std::memcpy(buf, &v, sizeof v);
  return CellNumber(kind, buf, sizeof v);
}

TEST(CellNumber, WidensEveryWidthWithItsSign) {
  EXPECT_EQ(Read<int8_t>(CellKind::kSigned, -3), -3.0);
  EXPECT_EQ(Read<int16_t>(CellKind::kSigned, -30000), -30000.0);
  EXPECT_EQ(Read<int32_t>(CellKind::kSigned, INT32_MIN), static_cast<double>(INT32_MIN));
  EXPECT_EQ(Read<int64_t>(CellKind::kSigned, -(int64_t{1} << 40)), -std::ldexp(1.0, 40));
  EXPECT_EQ(Read<uint8_t>(CellKind::kUnsigned, 255), 255.0);
  EXPECT_EQ(Read<uint16_t>(CellKind::kUnsigned, 65535), 65535.0);
  EXPECT_EQ(Read<uint32_t>(CellKind::kUnsigned, UINT32_MAX), 4294967295.0);
  EXPECT_EQ(Read<uint64_t>(CellKind::kUnsigned, UINT64_MAX), std::ldexp(1.0, 64));
  EXPECT_EQ(Read<uint8_t>(CellKind::kBool, 2), 1.0);
  EXPECT_EQ(Read<uint8_t>(CellKind::kBool, 0), 0.0);
  EXPECT_EQ(Read<float>(CellKind::kF32, 1.5f), 1.5);
  EXPECT_EQ(Read<double>(CellKind::kF64, -2.25), -2.25);
  EXPECT_TRUE(std::isnan(Read<double>(CellKind::kF64, std::numeric_limits<double>::quiet_NaN())));
  for (CellKind k : {CellKind::kF64, CellKind::kF32, CellKind::kBool, CellKind::kSigned,
                     CellKind::kUnsigned}) {
    EXPECT_TRUE(NumericCell(k));
  }
  EXPECT_FALSE(NumericCell(CellKind::kObject));
  EXPECT_FALSE(NumericCell(CellKind::kOther));
}

// Counted as RowValues decides row by row: a float64 NaN alone goes unrecorded.
TEST(RecordedCells, CountsAllButFloat64NaNsAndRefusesOtherKinds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double f64[] = {1.0, nan, -0.0, nan, std::numeric_limits<double>::infinity()};
  const char* d = reinterpret_cast<const char*>(f64);
  EXPECT_EQ(RecordedCells(CellKind::kF64, d, sizeof(double), 5), 3);
  EXPECT_EQ(RecordedCells(CellKind::kF64, d, 2 * sizeof(double), 3), 3);  // 1, -0 and inf
  EXPECT_EQ(RecordedCells(CellKind::kF64, d + sizeof(double), 2 * sizeof(double), 2), 0);
  EXPECT_EQ(RecordedCells(CellKind::kF64, d + sizeof(double), 0, 4), 0);  // one NaN, repeated
  EXPECT_EQ(RecordedCells(CellKind::kF64, d, sizeof(double), 0), 0);
  const float f32[] = {std::numeric_limits<float>::quiet_NaN(), 2.0f};
  EXPECT_EQ(RecordedCells(CellKind::kF32, reinterpret_cast<const char*>(f32), sizeof(float), 2), 2);
  for (CellKind kind : {CellKind::kBool, CellKind::kSigned, CellKind::kUnsigned}) {
    EXPECT_EQ(RecordedCells(kind, d, 1, 4), 4);
  }
  for (CellKind kind : {CellKind::kObject, CellKind::kOther}) {
    EXPECT_EQ(RecordedCells(kind, nullptr, 0, 4), -1);
  }
}

}  // namespace
}  // namespace lumarq
