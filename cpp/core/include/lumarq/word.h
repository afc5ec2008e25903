// The 32-bit provenance word: header layout, field widths and readers.
//
//   bits 31-30 mode | bit 29 taint | bits 28-26 depth | bits 25-0 payload
//
//   mode 00: pair_data:10 | entity:8 | chain:8     (0 or 1 source pair)
//   mode 01: pair_index:17 | entity:5 | chain:4    (2 pairs)
//   mode 10: pair_combo:25 | reserved:1            (3 pairs)
//   mode 11: signature:26                          (4+ pairs, dictionary id)
#pragma once

#include <cstdint>

namespace lumarq {

inline constexpr int kMaxPairs = 512;
inline constexpr int kHeaderBits = 6;
inline constexpr int kPayloadBits = 26;
inline constexpr int kModeShift = 30;
inline constexpr int kTaintShift = 29;
inline constexpr int kDepthShift = 26;
inline constexpr uint32_t kPayloadMask = (1u << kPayloadBits) - 1;
inline constexpr uint32_t kMaxDepth = 7;

inline constexpr int kMode01PairBits = 10;
inline constexpr int kMode01EntityBits = 8;
inline constexpr int kMode01ChainBits = 8;
inline constexpr int kMode2PairBits = 17;
inline constexpr int kMode2EntityBits = 5;
inline constexpr int kMode2ChainBits = 4;
inline constexpr int kMode3PairBits = 25;
inline constexpr int kModeDenseSigBits = 26;

/// Raw values of bits 31-30.
enum class Mode : uint32_t { kExact01 = 0, kExact2 = 1, kExact3 = 2, kDense = 3 };

/// Entity and chain widths per mode; modes 10 and 11 carry neither.
inline constexpr int kEntityBits[4] = {kMode01EntityBits, kMode2EntityBits, 0, 0};
inline constexpr int kChainBits[4] = {kMode01ChainBits, kMode2ChainBits, 0, 0};

constexpr uint32_t LowMask(int bits) { return bits >= 32 ? ~0u : ((1u << bits) - 1u); }

constexpr Mode ModeOf(uint32_t w) { return static_cast<Mode>(w >> kModeShift); }
constexpr bool TaintOf(uint32_t w) { return ((w >> kTaintShift) & 1u) != 0; }
constexpr uint32_t DepthOf(uint32_t w) { return (w >> kDepthShift) & 7u; }
constexpr uint32_t PayloadOf(uint32_t w) { return w & kPayloadMask; }

/// Header bits for a word of the given mode, taint and (already saturated) depth.
constexpr uint32_t MakeHeader(Mode mode, bool taint, uint32_t depth) {
  return (static_cast<uint32_t>(mode) << kModeShift) | (static_cast<uint32_t>(taint) << kTaintShift) |
         ((depth & 7u) << kDepthShift);
}

/// Depth after one more derivation step, saturating at kMaxDepth.
constexpr uint32_t NextDepth(uint32_t depth) { return depth >= kMaxDepth ? kMaxDepth : depth + 1; }

/// Risk of a value: taint * 1 / (1 + depth).
constexpr double RiskOf(uint32_t w) { return TaintOf(w) ? 1.0 / (1.0 + DepthOf(w)) : 0.0; }

/// Mode name as reported to users; mode 00 splits on whether a pair is present.
const char* ModeName(uint32_t w);

}  // namespace lumarq
