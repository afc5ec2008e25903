// The backend tracker object shared by the backend core module and its callers in the other
// extension modules, which reach its codec directly when `_rust` is the native type.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "common.h"
#include "lumarq/codec.h"

namespace lumarq::py {

struct BackendTracker {
  Codec codec;
  // Registrations the front end announced: "table\x1fcolumn" -> protected.
  std::mutex mu;
  std::unordered_map<std::string, bool> sources;
  std::unordered_set<std::string> protected_tables;
};

/// Records an announced source pair; `protected` only ever turns on.
void BackendRegister(BackendTracker& b, std::string_view table, std::string_view column, bool prot);
void BackendMarkTableProtected(BackendTracker& b, std::string_view table);

/// The backend tracker behind `obj` when it is exactly the native type, else nullptr.
BackendTracker* NativeBackend(nb::handle obj);

/// Pair set from an iterable of ids (0-511); ValueError for ids out of range.
PairSet PairsFromIterable(nb::handle pairs);

/// The mapping returned by decode_full.
nb::dict DecodedToDict(const Decoded& d, uint32_t word);

}  // namespace lumarq::py
