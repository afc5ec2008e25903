// Elements of a 1-d buffer of one numeric type, read as the numbers row values record.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lumarq {

/// What a buffer holds, by its struct format: floats, booleans, signed or unsigned integers of
/// 1, 2, 4 or 8 bytes, object pointers, or anything else (kOther: read another way).
enum class CellKind : uint8_t { kOther, kF64, kF32, kBool, kSigned, kUnsigned, kObject };

/// The kind of elements of format `format` (a single character; null or longer is kOther) and
/// `itemsize` bytes.
inline CellKind CellKindOf(const char* format, size_t itemsize) {
  if (format == nullptr || format[0] == '\0' || format[1] != '\0') return CellKind::kOther;
  const char f = format[0];
  const bool int_size = itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
  if (f == 'd' && itemsize == 8) return CellKind::kF64;
  if (f == 'f' && itemsize == 4) return CellKind::kF32;
  if (f == '?' && itemsize == 1) return CellKind::kBool;
  if (std::strchr("bhilq", f) != nullptr && int_size) return CellKind::kSigned;
  if (std::strchr("BHILQ", f) != nullptr && int_size) return CellKind::kUnsigned;
  if (f == 'O' && itemsize == sizeof(void*)) return CellKind::kObject;
  return CellKind::kOther;
}

/// True for the kinds CellNumber reads.
constexpr bool NumericCell(CellKind k) {
  return k == CellKind::kF64 || k == CellKind::kF32 || k == CellKind::kBool ||
         k == CellKind::kSigned || k == CellKind::kUnsigned;
}

namespace cells_detail {
template <typename T>
T Load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
/// The integer at `p` of `itemsize` bytes, widened to 64 bits.
template <typename I64, typename I32, typename I16, typename I8>
I64 LoadInt(const char* p, size_t itemsize) {
  switch (itemsize) {
    case 1:
      return static_cast<I64>(Load<I8>(p));
    case 2:
      return static_cast<I64>(Load<I16>(p));
    case 4:
      return static_cast<I64>(Load<I32>(p));
    default:
      return Load<I64>(p);
  }
}
}  // namespace cells_detail

/// The element at `p` of a numeric kind as a double (a boolean is 1 or 0).
inline double CellNumber(CellKind kind, const char* p, size_t itemsize) {
  using namespace cells_detail;
  switch (kind) {
    case CellKind::kF64:
      return Load<double>(p);
    case CellKind::kF32:
      return static_cast<double>(Load<float>(p));
    case CellKind::kBool:
      return *p != 0 ? 1.0 : 0.0;
    case CellKind::kSigned:
      return static_cast<double>(LoadInt<int64_t, int32_t, int16_t, int8_t>(p, itemsize));
    default:
      return static_cast<double>(LoadInt<uint64_t, uint32_t, uint16_t, uint8_t>(p, itemsize));
  }
}

/// How many of the n elements at `data`, `stride` bytes apart, get a row-value record: all of
/// a numeric kind but the NaNs of float64 (a float32 NaN is no float NaN and is recorded). -1
/// for the other kinds, whose elements decide one by one.
inline int64_t RecordedCells(CellKind kind, const char* data, ptrdiff_t stride, size_t n) {
  if (!NumericCell(kind)) return -1;
  if (kind != CellKind::kF64) return static_cast<int64_t>(n);
  int64_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    count += std::isnan(cells_detail::Load<double>(data + static_cast<ptrdiff_t>(i) * stride)) ? 0 : 1;
  }
  return count;
}

}  // namespace lumarq
