// Hash functions of the provenance algebra and of row identities.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

namespace lumarq {

/// MurmurHash3's 32-bit finaliser: full avalanche, cheap, and vectorises.
constexpr uint32_t Fmix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

/// Chain hash of a binary step: Fmix32(a*K1 + rotl(b,13)*K2 + (op+1)*K3). Operand order
/// matters (a - b and b - a get different chains); callers cut the result to the width of the
/// result's mode.
constexpr uint32_t MixChain2(uint32_t chain_a, uint32_t chain_b, uint32_t op) {
  const uint32_t rb = (chain_b << 13) | (chain_b >> 19);
  return Fmix32(chain_a * 0x9E3779B1u + rb * 0x85EBCA77u + (op + 1u) * 0xC2B2AE3Du);
}

/// Chain hash of a unary step: Fmix32(c*K1 + (op+1)*K3 + K4).
constexpr uint32_t MixChain1(uint32_t chain, uint32_t op) {
  return Fmix32(chain * 0x9E3779B1u + (op + 1u) * 0xC2B2AE3Du + 0x165667B1u);
}

/// The interpreter's hash of an integer (64-bit builds: reduction modulo 2**61 - 1 keeping the
/// sign, with -1 reserved), so native loops hash integer row labels exactly as `hash()` does.
constexpr int64_t PythonIntHash(int64_t x) {
  constexpr uint64_t kModulus = (uint64_t{1} << 61) - 1;
  // Row labels are nearly always below the modulus, where the hash is the value itself.
  constexpr int64_t kSmall = static_cast<int64_t>(kModulus);
  if (x > -kSmall && x < kSmall) return x == -1 ? -2 : x;
  const bool negative = x < 0;
  // Two's complement negation through unsigned arithmetic keeps INT64_MIN defined.
  const uint64_t magnitude = negative ? (~static_cast<uint64_t>(x) + 1u) : static_cast<uint64_t>(x);
  int64_t h = static_cast<int64_t>(magnitude % kModulus);
  if (negative) h = -h;
  return h == -1 ? -2 : h;
}

constexpr int64_t PythonUIntHash(uint64_t x) {
  constexpr uint64_t kModulus = (uint64_t{1} << 61) - 1;
  return static_cast<int64_t>(x % kModulus);
}

/// Entity hash of a row identity hash: its low 32 bits (two's complement for negatives).
constexpr uint32_t EntityFromHash(int64_t h) { return static_cast<uint32_t>(static_cast<uint64_t>(h)); }

/// out[i] = EntityFromHash(hash(labels[i * stride])) & mask for integer labels of any width,
/// each hashed as the interpreter hashes the int it stands for.
template <class T>
void HashIntegerLabels(const T* labels, int64_t stride, uint32_t mask, std::span<uint32_t> out) {
  static_assert(std::is_integral_v<T>);
  for (size_t i = 0; i < out.size(); ++i) {
    const T v = labels[static_cast<int64_t>(i) * stride];
    int64_t h;
    if constexpr (std::is_signed_v<T>) {
      h = PythonIntHash(static_cast<int64_t>(v));
    } else {
      h = PythonUIntHash(static_cast<uint64_t>(v));
    }
    out[i] = EntityFromHash(h) & mask;
  }
}

/// out[i] = EntityFromHash(PythonIntHash(labels[i])) & mask.
void HashIntLabels(std::span<const int64_t> labels, uint32_t mask, std::span<uint32_t> out);
void HashUIntLabels(std::span<const uint64_t> labels, uint32_t mask, std::span<uint32_t> out);
/// Labels start, start+step, ... (a range index) without materialising them.
void HashRangeLabels(int64_t start, int64_t step, uint32_t mask, std::span<uint32_t> out);

}  // namespace lumarq
