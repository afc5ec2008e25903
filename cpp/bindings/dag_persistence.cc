#include "dag_persistence.h"

#include <cstring>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lumarq/codec.h"
#include "lumarq/graph_batch.h"
#include "lumarq/row_value_batch.h"

namespace lumarq::py {
namespace {

using lumarq::NodeStore;
using lumarq::NodeView;

using dag_internal::Native;
using dag_internal::Need;
using dag_internal::Self;

constexpr const char* kPackage = "lumarq.utilities.persistence";
constexpr const char* kExport = "lumarq.utilities._dag_persist";
constexpr const char* kUnavailable =
    "Persistence module unavailable \xE2\x80\x94 provenance data is NOT being saved to storage. "
    "Install lumarq with persistence extras or check your installation.";

constexpr const char* kNodeFields[] = {"fingerprint", "node_type",   "operation",   "table_name",
                                       "column_name", "pair_id",     "is_protected", "entity_hash",
                                       "chain_hash",  "metadata",    "pipeline_id"};
constexpr size_t kNodeFieldCount = std::size(kNodeFields);
constexpr const char* kEdgeFields[] = {"parent_fingerprint", "child_fingerprint", "input_position"};
constexpr size_t kEdgeFieldCount = std::size(kEdgeFields);

// ---------------------------------------------------------------- small helpers

/// Takes a new tuple out of the garbage collector when none of its items is a tracked container,
/// the rule the collector itself applies to tuples on its first pass over them. The bulk writes
/// make hundreds of thousands of records and rows at once; tracked, they would make every full
/// collection meanwhile walk them all.
void MaybeUntrack(PyObject* tuple) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    PyObject* o = PyTuple_GET_ITEM(tuple, i);
    if (PyObject_IS_GC(o) && PyObject_GC_IsTracked(o)) return;
  }
  PyObject_GC_UnTrack(tuple);
}

/// `metadata` (a dict) with "column" set to `name` unless it has one (a copy; the node's dict
/// stays).
nb::object MetadataWithName(nb::handle metadata, nb::handle name) {
  nb::handle key = Interned("column");
  const int has = PyDict_Contains(metadata.ptr(), key.ptr());
  if (has < 0) throw nb::python_error();
  if (has) return nb::borrow(metadata);
  nb::object copy = Steal(PyDict_Copy(metadata.ptr()));
  if (PyDict_SetItem(copy.ptr(), key.ptr(), name.ptr()) < 0) throw nb::python_error();
  return copy;
}

// ---------------------------------------------------------------- logging and warnings

nb::object ModuleLogger() { return ImportName(kLifecycle, "tracker_logger")(); }

// ---------------------------------------------------------------- record types

/// Builds records of a NamedTuple-like type. When the type is a plain namedtuple with exactly the
/// expected fields (its generated __new__, no __init__), records are built as tuples of that type
/// directly; any other type is called with keyword arguments. The check is made once per type
/// object.
class RecordMaker {
 public:
  RecordMaker(const char* const* fields, size_t count) : fields_(fields), count_(count) {}

  /// A record from `values` (one per field, in field order).
  nb::object Make(nb::handle cls, const nb::handle* values) {
    if (cls.ptr() != checked_) Check(cls);
    if (direct_) {
      auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
      PyObject* rec = type->tp_alloc(type, static_cast<Py_ssize_t>(count_));
      if (rec == nullptr) throw nb::python_error();
      for (size_t i = 0; i < count_; ++i) {
        PyTuple_SET_ITEM(rec, static_cast<Py_ssize_t>(i), Py_NewRef(values[i].ptr()));
      }
      MaybeUntrack(rec);
      return nb::steal(rec);
    }
    std::vector<PyObject*> argv{nullptr};
    for (size_t i = 0; i < count_; ++i) argv.push_back(values[i].ptr());
    return Steal(PyObject_Vectorcall(cls.ptr(), argv.data() + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     names_));
  }

 private:
  void Check(nb::handle cls) {
    if (names_ == nullptr) {
      nb::list names;
      for (size_t i = 0; i < count_; ++i) names.append(Interned(fields_[i]));
      names_ = nb::tuple(names).release().ptr();
    }
    const bool direct = AsBool(ImportName(kLifecycle, "is_plain_namedtuple")(
        cls, nb::handle(names_), nb::tuple()));  // may run Python code
    // Both members change together, before anything else can run; the type is kept alive
    // because it is compared by identity.
    PyObject* old = checked_;
    checked_ = Py_NewRef(cls.ptr());
    direct_ = direct;
    Py_XDECREF(old);
  }

  const char* const* fields_;
  size_t count_;
  PyObject* names_ = nullptr;    // the field names as keywords; never released at exit
  PyObject* checked_ = nullptr;  // strong reference, never released at exit
  bool direct_ = false;
};

/// entity and chain of `self.decode_full(provenance)`: read from the codec when decode_full is
/// the native method over the native backend, else through the (overridden) method.
class Decoder {
 public:
  explicit Decoder(nb::handle self) : self_(self) {
    if (Native(self, "decode_full")) codec_ = Self(self).native_backend();
  }

  void EntityChain(nb::handle provenance, nb::object* entity, nb::object* chain) const {
    if (codec_ != nullptr) {
      const Decoded d = Decode(*codec_, AsWord(provenance, "provenance"));
      *entity = Steal(PyLong_FromUnsignedLong(d.entity));
      *chain = Steal(PyLong_FromUnsignedLong(d.chain));
      return;
    }
    nb::object info = CallDecodeFull(self_, provenance);
    *entity = info.attr("entity");
    *chain = info.attr("chain");
  }

  /// The codec when decoding runs natively, else nullptr.
  const BackendTracker* codec() const { return codec_; }

  /// The codec's decoding of `word`; ValueError for a word it refuses.
  static Decoded Decode(const BackendTracker& codec, uint32_t word) {
    try {
      return codec.codec.Decode(word);
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
      throw nb::python_error();
    }
  }

 private:
  nb::handle self_;
  BackendTracker* codec_ = nullptr;
};

/// The input ids of `node` as a new list (a snapshot); ids held natively are read without
/// materialising the node's own list.
nb::object InputIdList(nb::handle node) {
  std::vector<int64_t> ids;
  if (!NodeInputIds(node, &ids)) return Steal(PySequence_List(NodeField(node, kInputs).ptr()));
  return IdList(ids);
}

/// What the record writes (run in Python) read of the graph, natively: without spilling the
/// store or materialising lazily held node fields. Calling it gives (nodes by id, the nodes,
/// inputs(node) -> a list of its input ids, assigned_column(node, missing) -> the column name
/// the node was assigned to or `missing`, metadata(node) -> the metadata to store,
/// decode(fingerprint) -> (entity, chain)).
nb::object GraphReader(nb::handle self) {
  nb::object tracker = nb::borrow(self);
  return nb::cpp_function([tracker]() {
    nb::object nodes = NodesToRead(Self(tracker));  // one state for the nodes and the edges
    nb::object snapshot = NodeValues(nodes);
    nb::object inputs = nb::cpp_function(&InputIdList);
    nb::object assigned = nb::cpp_function([](nb::handle node, nb::handle missing) {
      nb::object name = NodeAssignedColumn(node);
      return name.is_valid() ? name : nb::borrow(missing);
    });
    nb::object metadata = nb::cpp_function(&RecordMetadata);
    nb::object decode = nb::cpp_function([tracker](nb::handle prov) {
      nb::object entity, chain;
      Decoder(tracker).EntityChain(prov, &entity, &chain);
      return nb::make_tuple(entity, chain);
    });
    return nb::make_tuple(nodes, snapshot, inputs, assigned, metadata, decode);
  });
}

// ---------------------------------------------------------------- column batches

/// A numpy array that owns `v`'s buffer (no copy).
template <class T, class Elem = T>
nb::object NumpyColumn(std::vector<T>&& v) {
  auto* held = new std::vector<T>(std::move(v));
  if (held->empty()) held->reserve(1);  // a valid pointer for the empty array
  nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  nb::ndarray<nb::numpy, Elem, nb::ndim<1>> arr(reinterpret_cast<Elem*>(held->data()), {held->size()},
                                               owner);
  return nb::cast(arr);
}

/// `int(value)` as int64; false (no error pending) when it is not an integer within int64.
bool AsInt64Value(nb::handle value, int64_t* out) {
  if (ExactInt64(value, out)) return true;
  if (!PyLong_Check(value.ptr()) && !PyIndex_Check(value.ptr())) return false;
  PyObject* as_int = PyNumber_Index(value.ptr());
  if (as_int == nullptr) {
    PyErr_Clear();
    return false;
  }
  nb::object i = Steal(as_int);
  return ExactInt64(i, out);
}

/// What the core's graph batch needs from Python: decoding through an overridden decode_full,
/// and the fields of nodes handed out as DAGNode objects, which may have been changed since.
class GraphSource final : public lumarq::GraphBatchSource {
 public:
  GraphSource(nb::handle self, DagTracker& t) : t_(t), decoder_(self) {}

  bool Decode(int64_t fp, int64_t* entity, int64_t* chain) override {
    if (!t_.store) return false;  // Python code run meanwhile spilled the store
    if (const BackendTracker* codec = decoder_.codec()) {
      if (fp < 0 || fp > UINT32_MAX) return false;  // the record path reports it
      const Decoded d = Decoder::Decode(*codec, static_cast<uint32_t>(fp));
      *entity = d.entity;
      *chain = d.chain;
      return true;
    }
    nb::object e, c;
    decoder_.EntityChain(Steal(PyLong_FromLongLong(fp)), &e, &c);
    return t_.store && AsInt64Value(e, entity) && AsInt64Value(c, chain);
  }

  bool Holds(const NodeView& v) override {
    held_ = HandedOut(t_, v.id);
    return held_.is_valid();
  }

  bool HeldFingerprint(const NodeView& v, int64_t* fp) override {
    nb::object node = HandedOut(t_, v.id);
    *fp = v.word;
    return !node.is_valid() || AsInt64Value(NodeField(node, kProvenance), fp);
  }

  bool HeldRow(const NodeView&, int32_t row, lumarq::GraphBatchBuilder& b,
               lumarq::GraphBatchRow* out) override {
    if (!Code(b, KindName(NodeField(held_, kNodeType)), &out->node_type) ||
        !Code(b, NodeField(held_, kOperation), &out->operation) ||
        !Code(b, NodeField(held_, kTable), &out->table_name) ||
        !Code(b, NodeField(held_, kColumn), &out->column_name)) {
      return false;
    }
    nb::object pair_id = NodeField(held_, kPairId);
    out->pair_id_null = pair_id.is_none();
    if (!out->pair_id_null && !AsInt64Value(pair_id, &out->pair_id)) return false;
    out->is_protected = AsBool(NodeField(held_, kIsProtected));
    metadata.emplace(row, RecordMetadata(held_));
    return true;
  }

  bool HeldName(const NodeView&, int32_t row) override {
    nb::object name = NodeAssignedColumn(held_);
    if (!name.is_valid()) return false;
    names.emplace(row, std::move(name));
    return true;
  }

  bool HeldEdges(const NodeView&, int64_t child, lumarq::GraphBatchBuilder& b) override {
    if (NodeInputIds(held_, &ids_)) {
      for (size_t i = 0; i < ids_.size(); ++i) {
        if (!b.AddInput(ids_[i], static_cast<int32_t>(i), child)) return false;
      }
      return true;
    }
    nb::object inputs = Steal(PySequence_List(NodeField(held_, kInputs).ptr()));
    int32_t i = 0;
    for (nb::handle input : inputs) {
      int64_t id;
      if (ExactInt64(input, &id)) {
        if (!b.AddInput(id, i, child)) return false;
      } else {
        // An id of another type finds the node a dict lookup would (True, 1.0).
        nb::object node = StoreNode(t_, input, /*keep=*/false);
        if (!t_.store) return false;
        int64_t parent;
        if (!node.is_none()) {
          if (!AsInt64Value(NodeField(node, kProvenance), &parent)) return false;
          b.AddEdge(parent, child, i);
        }
      }
      ++i;
    }
    return true;
  }

  std::unordered_map<int32_t, nb::object> metadata;  // of handed-out nodes, by row
  std::unordered_map<int32_t, nb::object> names;     // assigned names read from handed-out nodes

 private:
  /// Code of a text, -1 for None; false for anything else (or text UTF-8 cannot carry).
  static bool Code(lumarq::GraphBatchBuilder& b, nb::handle text, int32_t* out) {
    if (text.is_none()) {
      *out = -1;
      return true;
    }
    if (!PyUnicode_Check(text.ptr())) return false;
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return false;
    }
    *out = b.Code(std::string_view(utf8, static_cast<size_t>(n)));
    return true;
  }

  DagTracker& t_;
  const Decoder decoder_;
  nb::object held_;
  std::vector<int64_t> ids_;
};

/// The NodeType member names by value (index 0 unused), as the graph batch codes node kinds.
std::vector<std::string> KindNames() {
  std::vector<std::string> out(kNodeKinds + 1);
  for (int k = 1; k <= kNodeKinds; ++k) out[static_cast<size_t>(k)] = kKindNames[k - 1];
  return out;
}

/// GraphColumns(...) of a batch. Rows read from the columns carry no metadata but the assigned
/// column name; rows of one name share one dict (records built from the batch only read it).
nb::object GraphColumnsOf(nb::handle cls, DagTracker& t, lumarq::GraphBatch&& g,
                          GraphSource& src) {
  nb::handle column_key = Interned("column");
  auto name_of = [&](int32_t row) -> nb::object {
    auto it = src.names.find(row);
    if (it != src.names.end()) return it->second;
    const uint32_t n = g.name[static_cast<size_t>(row)];
    return n != 0 ? TextOf(t, n) : nb::object();
  };
  nb::dict metadata;
  for (auto& [row, md] : src.metadata) {
    nb::object value = md;
    nb::object name = name_of(row);
    if (name.is_valid() && PyDict_Check(value.ptr())) value = MetadataWithName(value, name);
    if (value.is_none() || (PyDict_Check(value.ptr()) && PyDict_GET_SIZE(value.ptr()) == 0)) continue;
    SetItem(metadata, Steal(PyLong_FromLong(row)), value);
  }
  std::vector<nb::object> by_name;
  for (size_t row = 0; row < g.size(); ++row) {
    const uint32_t n = g.name[row];
    if (n == 0 || src.metadata.count(static_cast<int32_t>(row))) continue;
    if (n >= by_name.size()) by_name.resize(n + 1);
    if (!by_name[n].is_valid()) {
      nb::dict d;
      d[column_key] = TextOf(t, n);
      by_name[n] = d;
    }
    SetItem(metadata, Steal(PyLong_FromSize_t(row)), by_name[n]);
  }
  for (auto& [row, name] : src.names) {
    if (src.metadata.count(row)) continue;
    nb::dict d;
    d[column_key] = name;
    SetItem(metadata, Steal(PyLong_FromLong(row)), d);
  }
  nb::list texts;
  for (const std::string& text : g.texts) {
    Append(texts, Steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)));
  }
  const size_t n = g.size();
  nb::object pid = Steal(PyNumber_Long(Need(t.pipeline_id, "_pipeline_id").ptr()));
  return CallKw(cls, {},
                {{"pipeline_id", pid},
                 {"texts", texts},
                 {"fingerprint", NumpyColumn(std::move(g.fingerprint))},
                 {"node_type", NumpyColumn(std::move(g.node_type))},
                 {"operation", NumpyColumn(std::move(g.operation))},
                 {"table_name", NumpyColumn(std::move(g.table_name))},
                 {"column_name", NumpyColumn(std::move(g.column_name))},
                 {"pair_id", NumpyColumn(std::move(g.pair_id))},
                 {"pair_id_null", NumpyColumn<uint8_t, bool>(std::move(g.pair_id_null))},
                 {"is_protected", NumpyColumn<uint8_t, bool>(std::move(g.is_protected))},
                 {"entity_hash", NumpyColumn(std::move(g.entity_hash))},
                 {"entity_hash_null", NumpyColumn<uint8_t, bool>(std::vector<uint8_t>(n))},
                 {"chain_hash", NumpyColumn(std::move(g.chain_hash))},
                 {"chain_hash_null", NumpyColumn<uint8_t, bool>(std::vector<uint8_t>(n))},
                 {"metadata", metadata},
                 {"edge_parent", NumpyColumn(std::move(g.edge_parent))},
                 {"edge_child", NumpyColumn(std::move(g.edge_child))},
                 {"edge_position", NumpyColumn(std::move(g.edge_position))}});
}

/// GraphColumns of the stored nodes `add(builder)` puts in a batch (room made for `expected`):
/// None when it added none, an invalid object when a node needs the record path.
template <class Add>
nb::object StoredGraphColumns(nb::handle self, DagTracker& t, nb::handle cls,
                              const NodeStore::Snapshot& snap, size_t expected, Add&& add,
                              size_t* n_nodes = nullptr) {
  GraphSource source(self, t);
  lumarq::GraphBatchBuilder builder(snap, t.store->strings(), KindNames(), source);
  builder.Reserve(expected);
  if (!add(builder)) return nb::object();
  if (n_nodes != nullptr) *n_nodes = builder.nodes();
  if (builder.nodes() == 0) return nb::none();
  return GraphColumnsOf(cls, t, builder.Finish(), source);
}

/// A column batch type of the storage component (GraphColumns, RowValueColumns), or an invalid
/// object when the component in use offers none (a replacement without column batches): callers
/// then write records.
nb::object ColumnBatchType(const char* name) {
  try {
    return ImportName(kPackage, name);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    return nb::object();
  }
}

/// The whole graph as one column batch through `storage.write_columns`; false when a node needs
/// the record path (nothing was written then).
bool WriteGraphColumns(nb::handle self, DagTracker& t, nb::handle cls) {
  auto snap = t.store->Snap();
  size_t n_nodes = 0;
  nb::object graph = StoredGraphColumns(
      self, t, cls, snap, snap.size(), [](auto& b) { return b.AddAll(); }, &n_nodes);
  if (!graph.is_valid()) return false;
  if (graph.is_none()) return true;
  ImportName(kExport, "write_graph_columns")(self, Need(t.storage, "_storage"), graph, n_nodes);
  return true;
}

/// Hands the stored nodes `add(builder)` selects to the writer as one GraphColumns slice; false
/// (nothing written) when a node needs the record path.
template <class Add>
bool WriteSlice(nb::handle self, DagTracker& t, const NodeStore::Snapshot& snap, size_t expected,
                Add&& add) {
  nb::object graph =
      StoredGraphColumns(self, t, ColumnBatchType("GraphColumns"), snap, expected, add);
  if (!graph.is_valid()) return false;
  if (!graph.is_none()) {
    CallMethodKw(Need(t.writer, "_writer"), "write_columns", {}, {{"graph", graph}});
  }
  return true;
}

}  // namespace

// A module already in sys.modules is used without the import machinery: it is looked up there on
// every call (a component replaced in sys.modules is seen at once) and the name read from it;
// anything else (not imported yet, None in sys.modules, the name missing) takes the full import
// path and its errors, in Python.
nb::object ImportName(const char* module, const char* name) {
  nb::handle key = Interned(module);
  PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), key.ptr());
  if (found == nullptr && PyErr_Occurred()) throw nb::python_error();
  if (found != nullptr && found != Py_None) {
    nb::object mod = nb::borrow(found);
    PyObject* v = PyObject_GetAttr(mod.ptr(), Interned(name).ptr());
    if (v != nullptr) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
  }
  nb::object found_all = ImportAttr(kExport, "import_from")(key, nb::make_tuple(Interned(name)));
  return found_all[0];
}

// ---------------------------------------------------------------- errors and logging

nb::object ExceptionOf(const nb::python_error& e) {
#if PY_VERSION_HEX < 0x030C0000
  PyObject* v = e.value().ptr();
  if (v != nullptr && PyExceptionInstance_Check(v)) return nb::borrow(v);
  nb::python_error copy(e);
  copy.restore();
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return nb::steal(value);
#else
  return nb::borrow(e.value());
#endif
}

void LogWarning(const char* format, std::initializer_list<nb::handle> args) {
  nb::object logger = ModuleLogger();
  std::vector<PyObject*> argv{logger.ptr()};
  nb::str fmt(format);
  argv.push_back(fmt.ptr());
  for (nb::handle a : args) argv.push_back(a.ptr());
  Steal(PyObject_VectorcallMethod(Interned("warning").ptr(), argv.data(),
                                  argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---------------------------------------------------------------- switching on

void EnablePersistence(nb::handle self) {
  ImportName(kLifecycle, "enable_persistence")(self);
}

// ---------------------------------------------------------------- per-node write

void PersistNode(nb::handle self, nb::handle node) {
  DagTracker& t = Self(self);
  nb::object types[2];
  try {
    types[0] = ImportName(kPackage, "StoredNode");
    types[1] = ImportName(kPackage, "StoredEdge");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    CallMethod(ModuleLogger(), Interned("error"), nb::str(kUnavailable));
    return;
  }
  static RecordMaker node_records(kNodeFields, kNodeFieldCount);
  static RecordMaker edge_records(kEdgeFields, kEdgeFieldCount);

  nb::object prov = NodeField(node, kProvenance);
  nb::object entity, chain;
  Decoder(self).EntityChain(prov, &entity, &chain);
  nb::object kind = KindName(NodeField(node, kNodeType));
  nb::object operation = NodeField(node, kOperation), table = NodeField(node, kTable),
             column = NodeField(node, kColumn), pair_id = NodeField(node, kPairId),
             is_protected = NodeField(node, kIsProtected), metadata = RecordMetadata(node);
  nb::object pipeline_id = Need(t.pipeline_id, "_pipeline_id");
  const nb::handle values[] = {prov,   kind,         operation, table,    column,     pair_id,
                               is_protected, entity, chain,     metadata, pipeline_id};
  nb::object record = node_records.Make(types[0], values);
  try {
    CallMethod(Need(t.writer, "_writer"), Interned("write_node"), record);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    LogWarning("Failed to persist DAG node %d: %s", {NodeField(node, kNodeId), ExceptionOf(e)});
    return;
  }

  nb::list edges;
  nb::object nodes = t.store ? nb::object() : Need(t.nodes, "_nodes");
  nb::object inputs = InputIdList(node);  // a new list: nothing else can change it
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(inputs.ptr()); ++i) {
    nb::handle input_id = PyList_GET_ITEM(inputs.ptr(), i);
    nb::object parent;
    if (t.store) {
      parent = StoreInputProvenance(t, input_id);
      if (!parent.is_valid()) continue;
    } else {
      nb::object input = MapGet(nodes, input_id);
      if (NativeNode(input) == nullptr && !AsBool(input)) continue;
      parent = NodeField(input, kProvenance);
    }
    nb::object position = Steal(PyLong_FromSsize_t(i));
    const nb::handle fields[] = {parent, prov, position};
    if (PyList_Append(edges.ptr(), edge_records.Make(types[1], fields).ptr()) < 0) {
      throw nb::python_error();
    }
  }
  if (PyList_GET_SIZE(edges.ptr()) == 0) return;
  try {
    CallMethod(Need(t.writer, "_writer"), Interned("write_edges"), edges);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    LogWarning("Failed to persist DAG edges for node %d: %s", {NodeField(node, kNodeId), ExceptionOf(e)});
  }
}

// ---------------------------------------------------------------- column slices

bool SlicesPossible(nb::handle self) {
  DagTracker& t = Self(self);
  int64_t pid;
  if (!t.store || !ExactInt64(Need(t.pipeline_id, "_pipeline_id"), &pid)) return false;
  nb::object writer = Need(t.writer, "_writer");
  nb::object method = GetAttrOr(writer, "write_columns", nb::none());
  return PyCallable_Check(method.ptr()) && ColumnBatchType("GraphColumns").is_valid();
}

void PersistSlice(nb::handle self, int64_t from, int64_t to) {
  DagTracker& t = Self(self);
  if (!t.store || from >= to) return;
  try {
    auto snap = t.store->Snap();
    if (WriteSlice(self, t, snap, static_cast<size_t>(to - from),
                   [&](auto& b) { return b.AddRange(from, to); })) {
      return;
    }
    // A node the columns cannot carry: one record per node, as the hook writes them.
    NodeView v;
    for (int64_t id = from; id < to && t.store; ++id) {
      if (snap.Find(id, &v)) PersistNode(self, MaterializeRow(t, v, /*keep=*/false));
    }
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    LogWarning("Failed to persist DAG nodes %d to %d: %s",
               {nb::int_(from), nb::int_(to - 1), ExceptionOf(e)});
  }
}

void PersistNamedNodes(nb::handle self, std::span<const int64_t> ids, nb::handle name) {
  DagTracker& t = Self(self);
  if (!t.store) return;
  try {
    auto snap = t.store->Snap();
    const auto source = static_cast<uint8_t>(NodeKind::kSource);
    std::vector<NodeView> rows = lumarq::FirstNodePerWord(snap, ids, source);
    const std::vector<NodeView> gone = lumarq::EvictedNodePerWord(snap, ids, source, rows);
    if (!gone.empty()) {
      const uint32_t name_id = InternText(t, name);
      if (name_id == UINT32_MAX) return;  // not a text the store can hold: never stored as one
      for (NodeView v : gone) {
        v.name = name_id;
        rows.push_back(v);
      }
    }
    if (rows.empty()) return;
    auto add_rows = [&](auto& b) {
      for (const NodeView& v : rows) {
        if (!b.Add(v)) return false;
      }
      return true;
    };
    if (SlicesPossible(self) && WriteSlice(self, t, snap, rows.size(), add_rows)) return;
    for (const NodeView& v : rows) {
      if (!t.store) return;  // Python code run meanwhile spilled the store
      PersistNode(self, MaterializeRow(t, v, /*keep=*/false));
    }
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    LogWarning("Failed to persist the names of DAG nodes: %s", {ExceptionOf(e)});
  }
}

// ---------------------------------------------------------------- row values

namespace {

/// Codes of interned texts for a column batch; the same str object as the previous row (one
/// operation and one column per loop) skips the lookup.
class TextCodes {
 public:
  /// False for anything but a str or None.
  bool Code(PyObject* text, int32_t* out) {
    if (text == Py_None) {
      *out = -1;
      return true;
    }
    if (text == last_) {
      *out = last_code_;
      return true;
    }
    if (!PyUnicode_Check(text)) return false;
    PyObject* hit = PyDict_GetItemWithError(codes_.ptr(), text);
    if (hit != nullptr) {
      *out = static_cast<int32_t>(PyLong_AsLong(hit));
    } else {
      if (PyErr_Occurred()) throw nb::python_error();
      *out = static_cast<int32_t>(PyList_GET_SIZE(texts_.ptr()));
      SetItem(codes_, text, Steal(PyLong_FromLong(*out)));
      Append(texts_, text);
    }
    last_ = text;  // alive: the batch's records hold it
    last_code_ = *out;
    return true;
  }
  const nb::list& texts() const { return texts_; }

 private:
  nb::list texts_;
  nb::dict codes_;
  PyObject* last_ = nullptr;
  int32_t last_code_ = -1;
};

nb::object MakeRowColumns(nb::handle cls, nb::handle texts, lumarq::RowValueBatch&& c,
                          nb::handle text_value) {
  return CallKw(cls, {},
                {{"texts", texts},
                 {"pipeline_id", NumpyColumn(std::move(c.pipeline_id))},
                 {"row_index", NumpyColumn(std::move(c.row_index))},
                 {"fingerprint", NumpyColumn(std::move(c.fingerprint))},
                 {"node_operation", NumpyColumn(std::move(c.operation))},
                 {"value", NumpyColumn(std::move(c.value))},
                 {"value_null", NumpyColumn<uint8_t, bool>(std::move(c.value_null))},
                 {"column_name", NumpyColumn(std::move(c.column))},
                 {"text_value", text_value}});
}

/// RowValueColumns of a list of StoredRowValue records, or an invalid object when the component
/// offers no column batches or a record holds what the columns cannot carry.
nb::object RowValueColumnsOf(nb::handle records) {
  nb::object cls = ColumnBatchType("RowValueColumns");
  if (!cls.is_valid() || !PyList_Check(records.ptr())) return nb::object();
  const auto n = static_cast<size_t>(PyList_GET_SIZE(records.ptr()));
  lumarq::RowValueBatch c(n);
  nb::dict text_value;
  TextCodes ops, columns;
  for (size_t i = 0; i < n; ++i) {
    PyObject* r = PyList_GET_ITEM(records.ptr(), static_cast<Py_ssize_t>(i));
    if (!PyTuple_Check(r) || PyTuple_GET_SIZE(r) != 8) return nb::object();
    auto item = [r](Py_ssize_t k) { return nb::handle(PyTuple_GET_ITEM(r, k)); };
    if (!AsInt64Value(item(0), &c.pipeline_id[i]) || !AsInt64Value(item(1), &c.row_index[i]) ||
        !AsInt64Value(item(2), &c.fingerprint[i]) || !ops.Code(item(3).ptr(), &c.operation[i]) ||
        !columns.Code(item(5).ptr(), &c.column[i])) {
      return nb::object();
    }
    PyObject* v = item(4).ptr();
    if (v == Py_None) {
      c.value[i] = std::numeric_limits<double>::quiet_NaN();
      c.value_null[i] = 1;
    } else if (PyFloat_Check(v)) {
      c.value[i] = PyFloat_AS_DOUBLE(v);
    } else {
      return nb::object();
    }
    PyObject* text = item(7).ptr();
    if (text != Py_None) {
      if (!PyUnicode_Check(text)) return nb::object();
      SetItem(text_value, Steal(PyLong_FromSize_t(i)), text);
    }
  }
  // One text table for both coded columns: the column names' codes move past the operations'.
  nb::list texts = ops.texts();
  c.ShiftColumnCodes(static_cast<int32_t>(PyList_GET_SIZE(texts.ptr())));
  for (nb::handle t : columns.texts()) Append(texts, t);
  return MakeRowColumns(cls, texts, std::move(c), text_value);
}

}  // namespace

nb::object OperationRowColumns(int64_t pipeline_id, nb::handle op, nb::handle column,
                               const int64_t* rows, const uint32_t* words, const double* values,
                               size_t n, const nb::object* texts) {
  nb::object cls = ColumnBatchType("RowValueColumns");
  if (!cls.is_valid()) return cls;
  // As RowValueColumnsOf gives for the same records: the operation's text, then the column's.
  nb::list names;
  Append(names, op);
  if (!column.is_none()) Append(names, column);
  lumarq::RowValueBatch c = lumarq::RowValueBatch::Uniform(
      pipeline_id, 0, column.is_none() ? -1 : 1, {rows, n}, {words, n}, {values, n});
  nb::dict text_value;
  for (size_t i = 0; texts != nullptr && i < n; ++i) {
    if (!texts[i].is_valid()) continue;
    c.value[i] = std::numeric_limits<double>::quiet_NaN();
    c.value_null[i] = 1;
    if (PyDict_SetItem(text_value.ptr(), PyInt(static_cast<int64_t>(i)).ptr(), texts[i].ptr()) < 0) {
      throw nb::python_error();
    }
  }
  return MakeRowColumns(cls, names, std::move(c), text_value);
}

void HandRowsToWriter(nb::handle writer, nb::handle records) {
  nb::object method = GetAttrOr(writer, "write_columns", nb::none());
  if (PyCallable_Check(method.ptr())) {
    nb::object columns = RowValueColumnsOf(records);
    if (columns.is_valid()) {
      CallKw(method, {}, {{"row_values", columns}});
      return;
    }
  }
  CallMethod(writer, Interned("write_row_values"), records);
}

// ---------------------------------------------------------------- bulk writes

void PersistDagToStorage(nb::handle self) {
  DagTracker& t = Self(self);
  // Straight from the store's columns while it holds the nodes; trackers that moved their nodes
  // to dicts (or nodes the columns cannot carry) write records, in Python.
  if (t.store) {
    nb::object cls = ColumnBatchType("GraphColumns");
    if (cls.is_valid() && WriteGraphColumns(self, t, cls)) return;
  }
  ImportName(kExport, "persist_dag_records")(self, GraphReader(self));
}

nb::object GetPersistenceStats(nb::handle self) {
  return ImportName(kLifecycle, "persistence_stats")(self);
}

nb::object PersistToStorage(nb::handle self, nb::handle storage, nb::handle pipeline_id) {
  nb::object pid = AsOptInt(pipeline_id, "pipeline_id");
  // Run in Python; the graph is read once the pipeline and its sources are registered.
  nb::object read_graph = GraphReader(self);
  return ImportName(kExport, "persist_to_storage")(self, storage, pid, read_graph);
}

void PersistResults(nb::handle storage, nb::handle pipeline_id, nb::handle row_keys,
                    nb::handle outputs, nb::handle source_df) {
  nb::object pid = AsInt(pipeline_id, "pipeline_id");
  nb::dict outs = AsDict(outputs, "outputs");
  ImportName("lumarq.utilities.persistence._results", "persist_results")(storage, pid, row_keys,
                                                                         outs, source_df);
}

// ---------------------------------------------------------------- dashboard

nb::object ProtectedSources(nb::handle self) {
  bool disparate = false;
  nb::object snapshot = NodeValues(NodesToRead(Self(self), &disparate));
  return ImportName("lumarq.utilities._dashboard", "protected_sources")(snapshot,
                                                                       nb::bool_(disparate));
}

void SyncToDashboard(nb::handle self) {
  DagTracker& t = Self(self);
  nb::object warned = ImportName("lumarq.utilities._dashboard", "send_report")(
      self, nb::bool_(t.plaintext_warned));
  t.plaintext_warned = AsBool(warned);
}

}  // namespace lumarq::py
