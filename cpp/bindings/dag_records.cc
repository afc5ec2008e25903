#include "dag_records.h"

#include <structmember.h>

#include <array>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace lumarq::py {
namespace {

struct Globals {
  PyTypeObject* node = nullptr;
  PyTypeObject* edge = nullptr;
  PyTypeObject* dag = nullptr;
  PyObject* node_type = nullptr;                 // the NodeType class
  PyObject* kinds[kNodeKinds + 1] = {};          // members by value
  PyObject* kind_names[kNodeKinds + 1] = {};     // their names
};
Globals g;  // references held for the life of the process

void ResolveKinds(nb::handle node_type_enum) {
  g.node_type = node_type_enum.inc_ref().ptr();
  for (int i = 0; i < kNodeKinds; ++i) {
    g.kinds[i + 1] = node_type_enum.attr(kKindNames[i]).inc_ref().ptr();
    g.kind_names[i + 1] = nb::str(kKindNames[i]).release().ptr();
  }
}

// Other extension modules of the package reach the records through the module that defines them.
Globals& G() {
  if (g.dag == nullptr) {
    nb::object mod = nb::module_::import_("lumarq.utilities.vantor32_dag");
    if (g.dag == nullptr) {
      ResolveKinds(mod.attr("NodeType"));
      g.node = reinterpret_cast<PyTypeObject*>(mod.attr("DAGNode").inc_ref().ptr());
      g.edge = reinterpret_cast<PyTypeObject*>(mod.attr("DAGEdge").inc_ref().ptr());
      g.dag = reinterpret_cast<PyTypeObject*>(mod.attr("ComputationDAG").inc_ref().ptr());
    }
  }
  return g;
}

/// The NodeType member's value (1..8), or 0 for anything else and before NodeType is resolved.
int KindValue(PyObject* o) {
  for (int k = 1; k <= kNodeKinds; ++k) {
    if (g.kinds[k] == o) return k;
  }
  return 0;
}

/// `node_type == NodeType.SOURCE`, by identity for NodeType members.
bool IsSourceKind(nb::handle node_type) {
  Globals& gl = G();
  PyObject* source = gl.kinds[static_cast<int>(NodeKind::kSource)];
  if (node_type.ptr() == source) return true;
  if (Py_TYPE(node_type.ptr()) == reinterpret_cast<PyTypeObject*>(gl.node_type)) return false;
  const int r = PyObject_RichCompareBool(node_type.ptr(), source, Py_EQ);
  if (r < 0) throw nb::python_error();
  return r != 0;
}

/// True when `o` can never take part in a reference cycle through a record: objects outside the
/// collector, and the NodeType members, which live as long as the process.
bool Atomic(PyObject* o) { return o == nullptr || !PyObject_IS_GC(o) || KindValue(o) != 0; }

void Track(PyObject* self) {
  if (!PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

void ClearRef(nb::object& o) {
  PyObject* p = o.release().ptr();
  Py_XDECREF(p);
}

[[noreturn]] void RaiseNoAttribute(PyObject* self, const char* name) {
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
               Py_TYPE(self)->tp_name, name);
  throw nb::python_error();
}

/// The object a lazily held node field stands for: the input list, or the metadata dict (empty,
/// or naming the assigned column); an invalid object when field `i` is not held lazily.
nb::object LazyValue(const DagNode& r, int i) {
  if (i == kInputs && r.native_inputs && !r.inputs.is_valid()) {
    return IdList({r.ids.data(), r.ids.size()});
  }
  if (i != kMetadata || !r.lazy_metadata || r.metadata.is_valid()) return nb::object();
  nb::dict d;
  if (r.assigned_column.is_valid()) d["column"] = r.assigned_column;
  return d;
}

/// Ends the lazy holding of field `i`; true when it was held lazily.
bool DropLazy(DagNode& r, int i) {
  bool was_lazy = false;
  if (i == kInputs) {
    was_lazy = std::exchange(r.native_inputs, false);
    r.ids.Release();
  } else if (i == kMetadata) {
    was_lazy = std::exchange(r.lazy_metadata, false);
    ClearRef(r.assigned_column);
  }
  return was_lazy;
}

PyObject** InstanceDict(PyObject* self) { return _PyObject_GetDictPtr(self); }

// Instance layout: object header, the C++ record, the instance dict, the weak-reference list.
template <class T>
constexpr Py_ssize_t kDictOffset = static_cast<Py_ssize_t>(sizeof(PyObject) + sizeof(T));
template <class T>
constexpr Py_ssize_t kWeakOffset = kDictOffset<T> + static_cast<Py_ssize_t>(sizeof(PyObject*));
template <class T>
constexpr Py_ssize_t kBasicSize = kWeakOffset<T> + static_cast<Py_ssize_t>(sizeof(PyObject*));

bool HasInstanceDict(PyObject* self) {
  PyObject** d = InstanceDict(self);
  return d != nullptr && *d != nullptr;
}

// ---------------------------------------------------------------- field tables

template <class T>
struct Traits;

template <>
struct Traits<DagNode> {
  static constexpr const char* kName = "DAGNode";
  static constexpr int kCount = 10;
  static constexpr int kRequired = 5;
  static constexpr const char* kFields[kCount] = {
      "node_id",  "node_type", "operation", "inputs", "provenance",
      "metadata", "table",     "column",    "pair_id", "is_protected"};
  static nb::object* Slot(DagNode& n, int i) {
    nb::object* slots[kCount] = {&n.node_id,  &n.node_type, &n.operation, &n.inputs,
                                 &n.provenance, &n.metadata, &n.table,   &n.column,
                                 &n.pair_id,  &n.is_protected};
    return slots[i];
  }
};

template <>
struct Traits<DagEdge> {
  static constexpr const char* kName = "DAGEdge";
  static constexpr int kCount = 3;
  static constexpr int kRequired = 3;
  static constexpr const char* kFields[kCount] = {"source_id", "target_id", "input_index"};
  static nb::object* Slot(DagEdge& e, int i) {
    nb::object* slots[kCount] = {&e.source_id, &e.target_id, &e.input_index};
    return slots[i];
  }
};

template <>
struct Traits<ComputationDag> {
  static constexpr const char* kName = "ComputationDAG";
  static constexpr int kCount = 3;
  static constexpr int kRequired = 3;
  static constexpr const char* kFields[kCount] = {"root_id", "nodes", "edges"};
  static nb::object* Slot(ComputationDag& d, int i) {
    nb::object* slots[kCount] = {&d.root_id, &d.nodes, &d.edges};
    return slots[i];
  }
};

/// A new instance of `type` (a record type or a subclass), its record default-constructed.
template <class T>
nb::object Alloc(PyTypeObject* type) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw nb::python_error();
  new (&RecordOf<T>(self)) T();
  return nb::steal(self);
}

/// Builds a pending graph before its `nodes` or `edges` field (any field but root_id) is used.
template <class T>
void BuildContainers(PyObject* self, int field) {
  if constexpr (std::is_same_v<T, ComputationDag>) {
    if (field != 0) BuildPendingDag(self);
  }
}

/// The field's value for Python: lazily held node fields become their Python objects here.
template <class T>
nb::object GetField(PyObject* self, int i) {
  BuildContainers<T>(self, i);
  T& r = RecordOf<T>(self);
  nb::object* slot = Traits<T>::Slot(r, i);
  if constexpr (std::is_same_v<T, DagNode>) {
    // The new object becomes the field unless another thread materialised or replaced the
    // field while it was being created.
    nb::object value = LazyValue(r, i);
    if (value.is_valid() && !slot->is_valid() && DropLazy(r, i)) {
      *slot = std::move(value);
      Track(self);
    }
  }
  if (!slot->is_valid()) RaiseNoAttribute(self, Traits<T>::kFields[i]);
  return *slot;
}

/// The field's value for comparison and display, without materialising lazily held fields.
template <class T>
nb::object PeekField(PyObject* self, int i) {
  BuildContainers<T>(self, i);
  T& r = RecordOf<T>(self);
  nb::object* slot = Traits<T>::Slot(r, i);
  if constexpr (std::is_same_v<T, DagNode>) {
    if (nb::object value = LazyValue(r, i); value.is_valid()) return value;
  }
  if (!slot->is_valid()) RaiseNoAttribute(self, Traits<T>::kFields[i]);
  return *slot;
}

/// Stores (or, with a null value, deletes) a field.
template <class T>
void SetField(PyObject* self, int i, PyObject* value) {
  // Replacing one container keeps the other as the walk left it.
  BuildContainers<T>(self, i);
  T& r = RecordOf<T>(self);
  nb::object* slot = Traits<T>::Slot(r, i);
  bool lazy = false;
  if constexpr (std::is_same_v<T, DagNode>) lazy = DropLazy(r, i);
  if (value == nullptr) {
    if (!slot->is_valid() && !lazy) RaiseNoAttribute(self, Traits<T>::kFields[i]);
    ClearRef(*slot);
    return;
  }
  if (!Atomic(value)) Track(self);
  *slot = nb::borrow(value);
}

/// `obj.<field i>`: read natively for an instance of exactly the record type `exact`, by
/// attribute access otherwise (a subclass may redefine fields as properties).
template <class T>
nb::object FieldOf(nb::handle obj, PyTypeObject* exact, int i) {
  if (Py_TYPE(obj.ptr()) == exact) return GetField<T>(obj.ptr(), i);
  return obj.attr(Traits<T>::kFields[i]);
}

// ---------------------------------------------------------------- slots

template <class T>
PyObject* Getter(PyObject* self, void* closure) {
  try {
    return GetField<T>(self, static_cast<int>(reinterpret_cast<intptr_t>(closure))).release().ptr();
  } catch (...) {
    RestoreError();
    return nullptr;
  }
}

template <class T>
int Setter(PyObject* self, PyObject* value, void* closure) {
  try {
    SetField<T>(self, static_cast<int>(reinterpret_cast<intptr_t>(closure)), value);
    return 0;
  } catch (...) {
    RestoreError();
    return -1;
  }
}

PyObject* GetDict(PyObject* self, void* closure) {
  // The dict may receive anything, so the record goes back under the collector.
  Track(self);
  return PyObject_GenericGetDict(self, closure);
}

int SetAttr(PyObject* self, PyObject* name, PyObject* value) {
  const int r = PyObject_GenericSetAttr(self, name, value);
  if (r == 0 && value != nullptr && !Atomic(value)) Track(self);
  return r;
}

template <class T>
int Traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  T& r = RecordOf<T>(self);
  for (int i = 0; i < Traits<T>::kCount; ++i) Py_VISIT(Traits<T>::Slot(r, i)->ptr());
  if constexpr (std::is_same_v<T, DagNode>) Py_VISIT(r.assigned_column.ptr());
  if constexpr (std::is_same_v<T, ComputationDag>) {
    if (r.pending) {
      if (const int v = r.pending->Traverse(visit, arg)) return v;
    }
  }
  if (PyObject** d = InstanceDict(self)) Py_VISIT(*d);
  return 0;
}

template <class T>
int Clear(PyObject* self) {
  T& r = RecordOf<T>(self);
  for (int i = 0; i < Traits<T>::kCount; ++i) ClearRef(*Traits<T>::Slot(r, i));
  if constexpr (std::is_same_v<T, DagNode>) ClearRef(r.assigned_column);
  if constexpr (std::is_same_v<T, ComputationDag>) r.pending.reset();
  if (PyObject** d = InstanceDict(self)) Py_CLEAR(*d);
  return 0;
}

/// Field-wise equality against an instance of the very same class, as a data class compares
/// the tuples of its fields (identical objects count as equal).
template <class T>
PyObject* RichCompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  try {
    bool equal = true;
    for (int i = 0; i < Traits<T>::kCount && equal; ++i) {
      if constexpr (std::is_same_v<T, DagNode>) {
        DagNode &x = RecordOf<DagNode>(a), &y = RecordOf<DagNode>(b);
        if (i == kInputs && x.native_inputs && y.native_inputs) {
          equal = x.ids.size() == y.ids.size() &&
                  std::memcmp(x.ids.data(), y.ids.data(), x.ids.size() * sizeof(int64_t)) == 0;
          continue;
        }
        if (i == kMetadata && x.lazy_metadata && y.lazy_metadata &&
            !x.assigned_column.is_valid() && !y.assigned_column.is_valid()) {
          continue;
        }
      }
      nb::object va = PeekField<T>(a, i), vb = PeekField<T>(b, i);
      const int r = PyObject_RichCompareBool(va.ptr(), vb.ptr(), Py_EQ);
      if (r < 0) throw nb::python_error();
      equal = r != 0;
    }
    return nb::bool_(equal == (op == Py_EQ)).release().ptr();
  } catch (...) {
    RestoreError();
    return nullptr;
  }
}

/// Index of the field named `key` (a str), or -1.
template <class T>
int FieldIndex(PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (int i = 0; i < Traits<T>::kCount; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, Traits<T>::kFields[i]) == 0) return i;
  }
  return -1;
}

/// Raises TypeError with `message`, a text lumarq.utilities._dag_records composes: only a faulty
/// call needs one, so it is written there.
[[noreturn]] void RaiseTypeError(nb::object message) {
  PyErr_SetObject(PyExc_TypeError, message.ptr());
  throw nb::python_error();
}

/// Parses (args, kwargs) as the generated constructor of a data class would; false when the
/// call does not fit, and the caller raises the data class's error.
template <class T>
bool ParseArgs(PyObject* args, PyObject* kwargs, PyObject** values) {
  constexpr int n = Traits<T>::kCount;
  const Py_ssize_t npos = args ? PyTuple_GET_SIZE(args) : 0;
  if (npos > n) return false;
  for (int i = 0; i < n; ++i) values[i] = i < npos ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const int index = FieldIndex<T>(key);
      if (index < 0 || values[index] != nullptr) return false;
      values[index] = value;
    }
  }
  for (int i = 0; i < Traits<T>::kRequired; ++i) {
    if (values[i] == nullptr) return false;
  }
  return true;
}

template <class T>
[[noreturn]] void RaiseInitError(PyObject* args, PyObject* kwargs) {
  nb::list fields;
  for (const char* field : Traits<T>::kFields) fields.append(nb::str(field));
  RaiseTypeError(ImportAttr("lumarq.utilities._dag_records", "init_error")(
      Traits<T>::kName, nb::tuple(fields), Traits<T>::kRequired,
      args ? nb::borrow(args) : nb::object(nb::tuple()), kwargs ? nb::borrow(kwargs) : nb::none()));
}

void UntrackIfAtomic(PyObject* self, DagNode& r) {
  if (HasInstanceDict(self)) return;
  if (!r.lazy_metadata && !Atomic(r.metadata.ptr())) return;
  if (!r.native_inputs && !Atomic(r.inputs.ptr())) return;
  for (nb::object* o : {&r.node_id, &r.node_type, &r.operation, &r.provenance, &r.table, &r.column,
                        &r.pair_id, &r.is_protected}) {
    if (!Atomic(o->ptr())) return;
  }
  if (PyObject_GC_IsTracked(self)) PyObject_GC_UnTrack(self);
}

void UntrackIfAtomic(PyObject* self, DagEdge& r) {
  if (HasInstanceDict(self)) return;
  if (Atomic(r.source_id.ptr()) && Atomic(r.target_id.ptr()) && Atomic(r.input_index.ptr()) &&
      PyObject_GC_IsTracked(self)) {
    PyObject_GC_UnTrack(self);
  }
}

void AssignNode(DagNode& r, PyObject* const* v) {
  r.node_id = nb::borrow(v[0]);
  r.node_type = nb::borrow(v[1]);
  r.operation = nb::borrow(v[2]);
  r.ids.Release();
  r.native_inputs = false;
  r.inputs = nb::borrow(v[3]);
  r.provenance = nb::borrow(v[4]);
  ClearRef(r.assigned_column);
  if (v[5] != nullptr) {
    r.metadata = nb::borrow(v[5]);
    r.lazy_metadata = false;
  } else {
    ClearRef(r.metadata);
    r.lazy_metadata = true;
  }
  r.table = nb::borrow(v[6] ? v[6] : Py_None);
  r.column = nb::borrow(v[7] ? v[7] : Py_None);
  r.pair_id = nb::borrow(v[8] ? v[8] : Py_None);
  r.is_protected = nb::borrow(v[9] ? v[9] : Py_False);
}

template <class T>
int Init(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    PyObject* values[Traits<T>::kCount];
    if (!ParseArgs<T>(args, kwargs, values)) RaiseInitError<T>(args, kwargs);
    T& r = RecordOf<T>(self);
    if constexpr (std::is_same_v<T, DagNode>) {
      AssignNode(r, values);
      UntrackIfAtomic(self, r);
    } else {
      for (int i = 0; i < Traits<T>::kCount; ++i) *Traits<T>::Slot(r, i) = nb::borrow(values[i]);
      if constexpr (std::is_same_v<T, DagEdge>) UntrackIfAtomic(self, r);
      else Track(self);
      if constexpr (std::is_same_v<T, ComputationDag>) r.pending.reset();
    }
    return 0;
  } catch (...) {
    RestoreError();
    return -1;
  }
}

template <class T>
PyObject* New(PyTypeObject* type, PyObject*, PyObject*) {
  try {
    return Alloc<T>(type).release().ptr();
  } catch (...) {
    RestoreError();
    return nullptr;
  }
}

template <class T>
void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, Dealloc<T>)
  auto** weaklist = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kWeakOffset<T>);
  if (*weaklist != nullptr) PyObject_ClearWeakRefs(self);
  auto** dict = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kDictOffset<T>);
  Py_CLEAR(*dict);
  RecordOf<T>(self).~T();
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

/// (type(self), (fields...)[, instance dict]) so that copy and pickle rebuild the record.
template <class T>
nb::object ReduceImpl(nb::handle self) {
  nb::list values;
  for (int i = 0; i < Traits<T>::kCount; ++i) values.append(PeekField<T>(self.ptr(), i));
  nb::object cls = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
  PyObject** d = InstanceDict(self.ptr());
  if (d != nullptr && *d != nullptr && PyDict_GET_SIZE(*d) > 0) {
    return nb::make_tuple(cls, nb::tuple(values), nb::borrow(*d));
  }
  return nb::make_tuple(cls, nb::tuple(values));
}

// ---------------------------------------------------------------- to_dict

/// "0x" and at least 8 upper-case hex digits, as format(value, "08X").
nb::object ProvenanceHex(nb::handle value) {
  uint32_t word;
  return ExactWord(value, &word) ? HexText(word) : HexText(value);
}

nb::object FormatText(nb::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
  return Steal(PyObject_Format(value.ptr(), nullptr));
}

/// A new dict of `keys` (interned, held for the life of the process) to `values`, in order.
template <size_t N>
nb::object KeyedDict(PyObject* const (&keys)[N], const nb::object (&values)[N]) {
  nb::object out = Steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(N)));
  for (size_t i = 0; i < N; ++i) {
    if (PyDict_SetItem(out.ptr(), keys[i], values[i].ptr()) < 0) throw nb::python_error();
  }
  return out;
}

nb::object NodeToDict(nb::handle node) {
  nb::object f[Traits<DagNode>::kCount];  // the fields, in declaration order
  for (int i = 0; i < Traits<DagNode>::kCount; ++i) f[i] = NodeField(node, NodeFieldIndex(i));
  nb::object name;
  if (AsBool(f[kTable]) && AsBool(f[kColumn])) {
    name = Steal(PyUnicode_FromFormat("%S.%S", FormatText(f[kTable]).ptr(),
                                      FormatText(f[kColumn]).ptr()));
  } else if (AsBool(f[kOperation])) {
    name = f[kOperation];
  } else {
    name = Steal(PyUnicode_FromFormat("node_%S", FormatText(f[kNodeId]).ptr()));
  }
  static PyObject* const keys[] = {
      Interned("id").ptr(),      Interned("name").ptr(),    Interned("type").ptr(),
      Interned("operation").ptr(), Interned("inputs").ptr(), Interned("provenance").ptr(),
      Interned("table").ptr(),   Interned("column").ptr(),  Interned("pair_id").ptr(),
      Interned("is_protected").ptr(), Interned("metadata").ptr()};
  return KeyedDict(keys, {f[kNodeId], name, KindName(f[kNodeType]), f[kOperation], f[kInputs],
                          ProvenanceHex(f[kProvenance]), f[kTable], f[kColumn], f[kPairId],
                          f[kIsProtected], f[kMetadata]});
}

nb::object EdgeToDict(nb::handle edge) {
  static PyObject* const keys[] = {Interned("source").ptr(), Interned("target").ptr(),
                                   Interned("input_index").ptr()};
  nb::object values[Traits<DagEdge>::kCount];
  for (int i = 0; i < Traits<DagEdge>::kCount; ++i) values[i] = FieldOf<DagEdge>(edge, G().edge, i);
  return KeyedDict(keys, values);
}

// ---------------------------------------------------------------- node properties

nb::object IsSourceProperty(nb::handle self) {
  return nb::bool_(IsSourceKind(GetField<DagNode>(self.ptr(), kNodeType)));
}

nb::object IsLeafProperty(nb::handle self) {
  DagNode& r = RecordOf<DagNode>(self.ptr());
  if (!r.inputs.is_valid() && r.native_inputs) return nb::bool_(r.ids.size() == 0);
  return nb::bool_(Size(GetField<DagNode>(self.ptr(), kInputs)) == 0);
}

template <class T>
PyGetSetDef* GetSetTable() {
  static std::vector<PyGetSetDef> table = [] {
    std::vector<PyGetSetDef> defs;
    for (int i = 0; i < Traits<T>::kCount; ++i) {
      defs.push_back({Traits<T>::kFields[i], &Getter<T>, &Setter<T>, nullptr,
                      reinterpret_cast<void*>(static_cast<intptr_t>(i))});
    }
    if constexpr (std::is_same_v<T, DagNode>) {
      defs.push_back({"is_source", &PropertySlot<&IsSourceProperty>, nullptr,
                      "True when the node is a source column.", nullptr});
      defs.push_back({"is_leaf", &PropertySlot<&IsLeafProperty>, nullptr,
                      "True when the node has no inputs.", nullptr});
    }
    if constexpr (std::is_same_v<T, ComputationDag>) {
      for (PyGetSetDef* p = ComputationDagProperties(); p->name != nullptr; ++p) defs.push_back(*p);
    }
    defs.push_back({"__dict__", &GetDict, &PyObject_GenericSetDict, nullptr, nullptr});
    defs.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return defs;
  }();
  return table.data();
}

template <class T>
PyMethodDef* MethodTable() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> defs;
    if constexpr (std::is_same_v<T, DagNode>) {
      defs.push_back({"to_dict", &NoArgsSlot<&NodeToDict>, METH_NOARGS,
                      "to_dict($self, /)\n--\n\nSerialize to dict."});
    }
    if constexpr (std::is_same_v<T, DagEdge>) {
      defs.push_back({"to_dict", &NoArgsSlot<&EdgeToDict>, METH_NOARGS,
                      "to_dict($self, /)\n--\n\nSerialize to dict."});
    }
    if constexpr (std::is_same_v<T, ComputationDag>) {
      for (PyMethodDef* p = ComputationDagMethods(); p->ml_name != nullptr; ++p) defs.push_back(*p);
    }
    defs.push_back({"__reduce__", &NoArgsSlot<&ReduceImpl<T>>, METH_NOARGS, nullptr});
    defs.push_back({nullptr, nullptr, 0, nullptr});
    return defs;
  }();
  return table.data();
}

/// A record type: a data-class-like heap type named `name` (module and qualified name).
template <class T>
nb::object MakeType(const char* name, const char* doc) {
  static PyMemberDef members[] = {
      {"__dictoffset__", T_PYSSIZET, kDictOffset<T>, READONLY, nullptr},
      {"__weaklistoffset__", T_PYSSIZET, kWeakOffset<T>, READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr}};
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&New<T>)},
      {Py_tp_init, reinterpret_cast<void*>(&Init<T>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc<T>)},
      {Py_tp_free, reinterpret_cast<void*>(&PyObject_GC_Del)},
      {Py_tp_traverse, reinterpret_cast<void*>(&Traverse<T>)},
      {Py_tp_clear, reinterpret_cast<void*>(&Clear<T>)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&RichCompare<T>)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
      {Py_tp_setattro, reinterpret_cast<void*>(&SetAttr)},
      {Py_tp_getset, GetSetTable<T>()},
      {Py_tp_methods, MethodTable<T>()},
      {Py_tp_members, members},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr}};
  PyType_Spec type_def = {name, static_cast<int>(kBasicSize<T>), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* type = PyType_FromSpec(&type_def);
  if (type == nullptr) throw nb::python_error();
  return nb::steal(type);
}

/// Gives the native class the metadata of an equivalent generated data class (fields, match
/// arguments, annotations, the constructor signature) and its repr.
void AddDataclassMetadata(nb::module_& m, nb::handle cls, const char* name) {
  ImportAttr("lumarq.utilities._dag_records", "finish_type")(m, cls, name);
}

}  // namespace

// ---------------------------------------------------------------- errors

void RestoreError() noexcept {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (nb::builtin_exception& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.type()) {
      case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
      case nb::exception_type::index_error: type = PyExc_IndexError; break;
      case nb::exception_type::key_error: type = PyExc_KeyError; break;
      case nb::exception_type::value_error: type = PyExc_ValueError; break;
      case nb::exception_type::type_error: type = PyExc_TypeError; break;
      case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
      case nb::exception_type::import_error: type = PyExc_ImportError; break;
      case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
      default: break;
    }
    PyErr_SetString(type, e.what());
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// ---------------------------------------------------------------- access

nb::handle NodeTypeEnum() { return G().node_type; }
nb::handle KindMember(NodeKind kind) { return G().kinds[static_cast<int>(kind)]; }

int KindOf(nb::handle member) {
  G();  // resolves the members on first use from another module
  return KindValue(member.ptr());
}

nb::object KindName(nb::handle node_type) {
  const int k = KindOf(node_type);
  return k != 0 ? nb::borrow(G().kind_names[k]) : node_type.attr("name");
}

DagNode* NativeNode(nb::handle obj) {
  if (Py_TYPE(obj.ptr()) != G().node) return nullptr;
  return &RecordOf<DagNode>(obj.ptr());
}

nb::object NewNodeFromKwargs(const NodeFields& fixed, nb::handle kwargs) {
  PyObject* values[Traits<DagNode>::kCount] = {
      fixed.node_id.ptr(),  fixed.node_type.ptr(), fixed.operation.ptr(), fixed.inputs.ptr(),
      fixed.provenance.ptr(), fixed.metadata.ptr(), fixed.table.ptr(),    fixed.column.ptr(),
      fixed.pair_id.ptr(),  fixed.is_protected.ptr()};
  if (kwargs.is_valid() && !kwargs.is_none()) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
      const int index = FieldIndex<DagNode>(key);
      if (index < 0 || values[index] != nullptr) {
        nb::object field = nb::none();
        if (index >= 0) field = nb::str(Traits<DagNode>::kFields[index]);
        RaiseTypeError(ImportAttr("lumarq.utilities._dag_records", "node_kwargs_error")(
            nb::handle(key), field));
      }
      values[index] = value;
    }
  }
  nb::object self = Alloc<DagNode>(G().node);
  DagNode& r = RecordOf<DagNode>(self.ptr());
  AssignNode(r, values);
  if (values[kInputs] == nullptr) {  // held natively until Python reads `inputs`
    r.ids.Assign(fixed.ids, fixed.n_ids);
    r.native_inputs = true;
  }
  UntrackIfAtomic(self.ptr(), r);
  return self;
}

nb::object NewNode(const NodeFields& f) { return NewNodeFromKwargs(f, nb::handle()); }

nb::object NewEdge(nb::handle source_id, nb::handle target_id, nb::handle input_index) {
  nb::object self = Alloc<DagEdge>(G().edge);
  DagEdge& r = RecordOf<DagEdge>(self.ptr());
  r.source_id = nb::borrow(source_id);
  r.target_id = nb::borrow(target_id);
  r.input_index = nb::borrow(input_index);
  UntrackIfAtomic(self.ptr(), r);
  return self;
}

nb::object NewComputationDag(nb::handle root_id, nb::handle nodes, nb::handle edges) {
  nb::object self = Alloc<ComputationDag>(G().dag);
  ComputationDag& r = RecordOf<ComputationDag>(self.ptr());
  r.root_id = nb::borrow(root_id);
  r.nodes = nb::borrow(nodes);
  r.edges = nb::borrow(edges);
  return self;
}

nb::object NewPendingComputationDag(nb::handle root_id, std::shared_ptr<PendingDag> pending) {
  nb::object self = Alloc<ComputationDag>(G().dag);
  ComputationDag& r = RecordOf<ComputationDag>(self.ptr());
  r.root_id = nb::borrow(root_id);
  r.pending = std::move(pending);
  return self;
}

void BuildPendingDag(nb::handle self) {
  ComputationDag& r = RecordOf<ComputationDag>(self.ptr());
  // Held here so that a build finishing first on another thread cannot free it under this one.
  std::shared_ptr<PendingDag> pending = r.pending;
  if (!pending) return;
  nb::object nodes, edges;
  {
    CollectorPaused paused;
    pending->Build(&nodes, &edges);
  }
  if (r.pending != pending) return;  // built or replaced meanwhile
  r.nodes = std::move(nodes);
  r.edges = std::move(edges);
  r.pending.reset();
}

nb::object NodeField(nb::handle node, NodeFieldIndex field) {
  return FieldOf<DagNode>(node, G().node, field);
}

nb::object DagField(nb::handle dag, DagFieldIndex field) {
  return FieldOf<ComputationDag>(dag, G().dag, field);
}

nb::object IdList(std::span<const int64_t> ids) {
  // The ids are copied first: creating the list may run the collector, and with it code on
  // another thread that changes the node holding them.
  const std::vector<int64_t> copy(ids.begin(), ids.end());
  nb::object out = Steal(PyList_New(static_cast<Py_ssize_t>(copy.size())));
  for (size_t i = 0; i < copy.size(); ++i) {
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), PyInt(copy[i]).release().ptr());
  }
  return out;
}

bool NodeInputIds(nb::handle node, std::vector<int64_t>* out) {
  DagNode* n = NativeNode(node);
  if (n == nullptr) return false;
  if (!n->inputs.is_valid()) {
    if (!n->native_inputs) return false;
    out->assign(n->ids.data(), n->ids.data() + n->ids.size());
    return true;
  }
  PyObject* list = n->inputs.ptr();
  if (!PyList_CheckExact(list)) return false;
  const Py_ssize_t size = PyList_GET_SIZE(list);
  out->resize(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!ExactInt64(PyList_GET_ITEM(list, i), &(*out)[static_cast<size_t>(i)])) return false;
  }
  return true;
}

nb::object RecordMetadata(nb::handle node) {
  if (DagNode* n = NativeNode(node)) {
    if (nb::object metadata = LazyValue(*n, kMetadata); metadata.is_valid()) return metadata;
  }
  return NodeField(node, kMetadata);
}

nb::object NodeValues(nb::handle nodes) {
  if (PyDict_CheckExact(nodes.ptr())) return Steal(PyDict_Values(nodes.ptr()));
  return Steal(PySequence_List(CallMethod(nodes, Interned("values")).ptr()));
}

bool NodeIsProtected(nb::handle node) { return AsBool(NodeField(node, kIsProtected)); }

bool NodeIsSource(nb::handle node) {
  if (NativeNode(node)) return IsSourceKind(GetField<DagNode>(node.ptr(), kNodeType));
  return AsBool(node.attr("is_source"));
}

void NodeMarkProtected(nb::handle node) {
  if (NativeNode(node)) {
    SetField<DagNode>(node.ptr(), kIsProtected, Py_True);
  } else {
    node.attr("is_protected") = true;
  }
}

void NodeAssignColumn(nb::handle node, nb::handle name) {
  if (DagNode* n = NativeNode(node); n != nullptr && n->lazy_metadata && !n->metadata.is_valid()) {
    // A str never takes part in a cycle, so the node may stay outside the collector.
    if (!n->assigned_column.is_valid()) n->assigned_column = nb::borrow(name);
    return;
  }
  nb::object metadata = NodeField(node, kMetadata);
  if (!PyDict_Check(metadata.ptr())) return;
  if (PyDict_SetDefault(metadata.ptr(), Interned("column").ptr(), name.ptr()) == nullptr) {
    throw nb::python_error();
  }
}

nb::object NodeAssignedColumn(nb::handle node) {
  nb::object metadata;
  if (DagNode* n = NativeNode(node)) {
    if (!n->metadata.is_valid()) return n->lazy_metadata ? n->assigned_column : nb::object();
    metadata = n->metadata;
  } else {
    metadata = NodeField(node, kMetadata);
  }
  if (!PyDict_Check(metadata.ptr())) return nb::object();
  PyObject* name = PyDict_GetItemWithError(metadata.ptr(), Interned("column").ptr());
  if (name == nullptr) {
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::object();
  }
  return nb::borrow(name);
}

// ---------------------------------------------------------------- registration

void RegisterRecords(nb::module_& m) {
  nb::object node_type = ImportAttr("lumarq.utilities._module_init", "node_type")(m);
  m.attr("NodeType") = node_type;
  ResolveKinds(node_type);

  nb::object node = MakeType<DagNode>(
      "lumarq.utilities.vantor32_dag.DAGNode",
      "A node in the computation DAG.\n\n"
      "Represents either a source column (leaf node) or a computation step\n"
      "(internal node).");
  AddDataclassMetadata(m, node, "DAGNode");
  m.attr("DAGNode") = node;

  nb::object edge = MakeType<DagEdge>("lumarq.utilities.vantor32_dag.DAGEdge",
                                      "An edge in the computation DAG.");
  AddDataclassMetadata(m, edge, "DAGEdge");
  m.attr("DAGEdge") = edge;
  g.node = reinterpret_cast<PyTypeObject*>(node.inc_ref().ptr());
  g.edge = reinterpret_cast<PyTypeObject*>(edge.inc_ref().ptr());
}

void RegisterComputationDag(nb::module_& m) {
  nb::object cls = MakeType<ComputationDag>(
      "lumarq.utilities.vantor32_dag.ComputationDAG",
      "Complete computation graph for a result value.\n\n"
      "Contains all nodes and edges needed to reconstruct how a value was derived\n"
      "from source data.");
  AddDataclassMetadata(m, cls, "ComputationDAG");
  m.attr("ComputationDAG") = cls;
  g.dag = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());
}

}  // namespace lumarq::py
