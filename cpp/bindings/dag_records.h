// Records of lumarq.utilities.vantor32_dag: NodeType, DAGNode, DAGEdge and ComputationDAG.
//
// The records are CPython heap types with hand-written slots, so that they behave as plain data
// classes (keyword-or-positional constructor, field-wise equality, repr, no hash) while the
// tracker creates them without a Python call. They are not nanobind classes on purpose: nanobind
// registers every instance in a process-wide pointer map, which costs a hash insert and erase per
// node and grows with the graph. A node created by the tracker keeps its input ids natively and
// its empty metadata dict unallocated until Python first reads them; from then on the Python
// object is the field's value.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common.h"
#include "lumarq/node_ids.h"

namespace lumarq::py {

/// The members of NodeType, by value.
enum class NodeKind : uint8_t {
  kSource = 1,
  kConstant,
  kUnary,
  kBinary,
  kAggregate,
  kMerge,
  kFilter,
  kCustom
};
inline constexpr int kNodeKinds = 8;
/// The member names of NodeType, by value - 1.
inline constexpr const char* kKindNames[kNodeKinds] = {"SOURCE",    "CONSTANT", "UNARY",  "BINARY",
                                                       "AGGREGATE", "MERGE",    "FILTER", "CUSTOM"};

using lumarq::NodeIds;

struct DagNode {
  nb::object node_id;
  nb::object node_type;
  nb::object operation;
  nb::object inputs;  // the field's object; null while `ids` holds the inputs
  nb::object provenance;
  nb::object metadata;  // null while `lazy_metadata` (an empty dict not yet created)
  nb::object table;
  nb::object column;
  nb::object pair_id;
  nb::object is_protected;
  NodeIds ids;
  // The column a derived value was assigned to, held while the metadata dict is still lazy: it
  // becomes metadata["column"] when the dict is created. Naming a large column thus costs no
  // dict per node.
  nb::object assigned_column;
  bool native_inputs = false;
  bool lazy_metadata = false;
};

struct DagEdge {
  nb::object source_id;
  nb::object target_id;
  nb::object input_index;
};

/// What a graph walk found, held by a ComputationDAG until its `nodes` or `edges` is first read:
/// most graphs are handed on or summarised, and one object per node and edge is the bulk of the
/// cost of a large walk.
struct PendingDag {
  virtual ~PendingDag() = default;
  /// The containers the walk stands for; may run Python code.
  virtual void Build(nb::object* nodes, nb::object* edges) = 0;
  virtual int Traverse(visitproc visit, void* arg) = 0;
};

struct ComputationDag {
  nb::object root_id;
  nb::object nodes;
  nb::object edges;
  std::shared_ptr<PendingDag> pending;  // set while `nodes` and `edges` are not yet built
};

// ---------------------------------------------------------------- types and members
// Resolved when vantor32_dag registers them, or on first use from another extension module.

nb::handle NodeTypeEnum();
nb::handle KindMember(NodeKind kind);

/// The NodeType member's value (1..8), or 0 for anything else.
int KindOf(nb::handle member);
/// `node_type.name`; the NodeType members' names are cached.
nb::object KindName(nb::handle node_type);

/// The node behind `obj` when it is exactly a DAGNode (not a subclass, which may redefine fields
/// as properties) and initialised; nullptr otherwise, and callers use attribute access.
DagNode* NativeNode(nb::handle obj);

// ---------------------------------------------------------------- construction from C++

/// The parts of a new node; unset handles take the field defaults.
struct NodeFields {
  nb::handle node_id, node_type, operation, provenance;
  nb::handle inputs;                  // a list object kept as is, or null to use `ids`
  const int64_t* ids = nullptr;       // native inputs when `inputs` is null
  size_t n_ids = 0;
  nb::handle metadata;                // null: a new empty dict (created lazily)
  nb::handle table, column, pair_id, is_protected;
};

/// A new DAGNode. It is left outside the garbage collector while it holds nothing that could
/// form a cycle; reading `inputs` or `metadata`, or storing a container, puts it back.
nb::object NewNode(const NodeFields& f);
/// DAGNode(**fields) for the constructor path that takes keyword arguments from Python:
/// `fixed` names the fields already given (error text as a call with ** unpacking would give),
/// and its native ids are the inputs when neither names `inputs`.
nb::object NewNodeFromKwargs(const NodeFields& fixed, nb::handle kwargs);
nb::object NewEdge(nb::handle source_id, nb::handle target_id, nb::handle input_index);
nb::object NewComputationDag(nb::handle root_id, nb::handle nodes, nb::handle edges);
/// A ComputationDAG whose `nodes` and `edges` are built from `pending` when first read.
nb::object NewPendingComputationDag(nb::handle root_id, std::shared_ptr<PendingDag> pending);
/// Builds the containers of a pending graph (no-op once built).
void BuildPendingDag(nb::handle self);

// ---------------------------------------------------------------- node access

/// Positions of the DAGNode fields, in declaration order.
enum NodeFieldIndex : int {
  kNodeId,
  kNodeType,
  kOperation,
  kInputs,
  kProvenance,
  kMetadata,
  kTable,
  kColumn,
  kPairId,
  kIsProtected
};
/// `node.<field>`: read natively for an exact DAGNode, by attribute access otherwise.
nb::object NodeField(nb::handle node, NodeFieldIndex field);
/// Positions of the ComputationDAG fields, in declaration order.
enum DagFieldIndex : int { kRootId, kDagNodes, kDagEdges };
/// `dag.<field>`: read natively for an exact ComputationDAG (building a pending graph's
/// containers), by attribute access otherwise.
nb::object DagField(nb::handle dag, DagFieldIndex field);

/// A new list of Python ints.
nb::object IdList(std::span<const int64_t> ids);
/// The inputs as int64 ids without creating Python objects; false when the node is not a
/// native DAGNode or an input is not an exact int within int64.
bool NodeInputIds(nb::handle node, std::vector<int64_t>* out);
/// `node.is_protected` truthiness and `node.is_source`.
bool NodeIsProtected(nb::handle node);
bool NodeIsSource(nb::handle node);
/// Sets is_protected = True.
void NodeMarkProtected(nb::handle node);
/// Names the column `node`'s value was assigned to: metadata["column"] = name unless the metadata
/// already has a "column" (the first name stays). A native node whose metadata dict was never
/// created keeps the name natively until the dict is made.
void NodeAssignColumn(nb::handle node, nb::handle name);
/// metadata["column"] of a node without materialising a lazy dict: the name, or an invalid
/// object when there is none (or the metadata is not a dict).
nb::object NodeAssignedColumn(nb::handle node);
/// `node.metadata` for a stored record. A native node whose empty metadata dict was never asked
/// for gets an equal new one instead: creating its own would put every persisted node under the
/// collector's watch, which then dominates the cost of a large graph.
nb::object RecordMetadata(nb::handle node);
/// list(nodes.values()) of a node map: callers walk a snapshot, so Python code that runs
/// meanwhile (an override, a record constructor) cannot disturb the walk.
nb::object NodeValues(nb::handle nodes);

// ---------------------------------------------------------------- registration

/// NodeType, DAGNode and DAGEdge, in that order.
void RegisterRecords(nb::module_& m);
/// ComputationDAG.
void RegisterComputationDag(nb::module_& m);

/// The C++ record stored right after the object header of a record instance.
template <class T>
T& RecordOf(nb::handle obj) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(obj.ptr()) + sizeof(PyObject));
}

/// The views and exports of ComputationDAG (defined with the graph code): properties and
/// methods, each table ending with an empty entry.
PyGetSetDef* ComputationDagProperties();
PyMethodDef* ComputationDagMethods();

/// Converts the C++ exception in flight into a pending Python error (for raw CPython slots).
void RestoreError() noexcept;

/// F(self) for a raw CPython slot: a C++ exception becomes the pending Python error.
template <auto F>
PyObject* CallSlot(PyObject* self) noexcept {
  try {
    nb::object r = F(self);
    return r.release().ptr();
  } catch (...) {
    RestoreError();
    return nullptr;
  }
}
/// A read-only property (PyGetSetDef getter) and a METH_NOARGS method computing F(self).
template <auto F>
PyObject* PropertySlot(PyObject* self, void*) {
  return CallSlot<F>(self);
}
template <auto F>
PyObject* NoArgsSlot(PyObject* self, PyObject*) {
  return CallSlot<F>(self);
}

}  // namespace lumarq::py
