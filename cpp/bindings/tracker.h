// ProvenanceTracker: the registry of source pairs and the front end over the backend core.
//
// Its state lives in Python objects (dicts, sets, an int) so that callers and subclasses can
// inspect and replace it under the documented attribute names. Every method that uses another
// tracker method goes through a Call* dispatcher: the native code runs directly unless a Python
// subclass (or an instance attribute) overrides the method.
#pragma once

#include <cstdint>
#include <vector>

#include "backend.h"
#include "common.h"

namespace lumarq::py {

class ProvenanceTracker {
 public:
  ProvenanceTracker();
  virtual ~ProvenanceTracker() = default;
  ProvenanceTracker(const ProvenanceTracker&) = delete;
  ProvenanceTracker& operator=(const ProvenanceTracker&) = delete;

  /// Garbage-collector support for the Python objects held below.
  virtual int Traverse(visitproc visit, void* arg);
  virtual void Clear();

  nb::object id_to_name;         // _id_to_name: pair id -> (table, column)
  nb::object name_to_id;         // _name_to_id: (table, column) -> pair id
  nb::object next_id;            // _next_id: int
  nb::object dense;              // _dense: signature -> {"pairs", "entity", "chain"}
  nb::object protected_tables;   // _protected_tables: set of table names
  nb::object protected_columns;  // _protected_columns: set of (table, column)
  nb::object rust;               // _rust: the backend tracker object

  /// Positional alignment of operands with different indexes has been warned about.
  bool positional_warned = false;

  /// The backend's codec when `_rust` is the native backend type, else nullptr.
  BackendTracker* native_backend() const { return NativeBackend(rust); }
};

/// Pickle support shared with DAGTracker: the registry state as a dict (with the instance
/// dict under "__dict__"), and its restoration into a tracker constructed afresh.
nb::dict TrackerState(ProvenanceTracker& t, nb::handle self);
void RestoreTrackerState(ProvenanceTracker& t, nb::handle self, nb::handle state);

/// The Python type object of ProvenanceTracker (set when the class is registered or imported).
PyTypeObject* TrackerType();

/// The tracker behind a Python object, or nullptr when `obj` is not a ProvenanceTracker.
ProvenanceTracker* TrackerPtr(nb::handle obj);

/// True when `self.<name>` is ProvenanceTracker's own method: not overridden by a subclass nor
/// shadowed by an instance attribute.
bool NativeMethod(nb::handle self, const char* name);

/// tp_traverse/tp_clear of the tracker types: the state objects (through the virtual
/// Traverse/Clear) and the instance dict.
const PyType_Slot* TrackerGcSlots();

/// Registers ProvenanceTracker on the module lumarq.utilities.vantor32.
void RegisterTracker(nb::module_& m);
/// Binds the module whose globals the tracker reads at call time (MAX_PAIRS,
/// RustProvenanceTracker, the batch functions). Called by every module that uses the tracker.
void SetVantorModule(nb::handle module);
nb::handle VantorGlobal(const char* name);

/// The entity hash of a row label: 0 for None, else hash(label) & 0xFFFFFFFF.
uint32_t HashEntity(nb::handle row_id);

// ---------------------------------------------------------------- dispatchers
// Each calls `self.<method>(...)` with Python semantics, running native code directly when the
// method is not overridden. Results are Python objects exactly as the method returns them.

nb::object CallRegister(nb::handle self, nb::handle table, nb::handle column, bool prot);
nb::object CallGetId(nb::handle self, nb::handle table, nb::handle column);
bool CallIsProtected(nb::handle self, nb::handle table, nb::handle column);
nb::object CallEncode(nb::handle self, nb::handle pairs, nb::handle entity, nb::handle chain,
                      bool taint, nb::handle depth);
nb::object CallDecodeFull(nb::handle self, nb::handle provenance);
nb::object CallCombine(nb::handle self, nb::handle a, nb::handle b, nb::handle op);
nb::object CallUpdateChain(nb::handle self, nb::handle provenance, nb::handle op);

/// Sorted pair ids of `word` when decoding needs no Python dispatch (decode, decode_full native
/// and `_rust` the native backend); false otherwise, and the caller takes the Python path.
bool NativePairIds(nb::handle self, uint32_t word, std::vector<uint32_t>* ids);

/// ProvenanceInfo(pairs=set, entity, chain, taint, depth, mode) built from native values.
nb::object MakeProvenanceInfo(const Decoded& d, uint32_t word);

}  // namespace lumarq::py
