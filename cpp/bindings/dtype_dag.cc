// The DAG channel of the provenance dtype. The array computes its words with the batch kernels;
// these functions then log the operation's nodes for all rows in one call (a block append into
// the columnar store when nothing is overridden) and record each row's value.
#include "dtype_dag.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <initializer_list>
#include <optional>
#include <unordered_map>
#include <vector>

#include "containers_support.h"
#include "dag_records.h"
#include "dag_tracker.h"

namespace lumarq::py {
namespace {

using Words = nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Ids2 = nb::ndarray<const int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Ids1 = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

constexpr size_t kBlock = 16384;  // rows per block append: one lock round per block
// A tracker whose logging or recording methods are overridden gets their calls from Python.
constexpr const char* kOverridden = "lumarq.utilities._dtype_dag_calls";

/// A read-only numpy view of an argument array for the Python paths; valid while the call runs.
template <class T>
nb::object View(const T* data, std::initializer_list<size_t> shape) {
  return nb::cast(nb::ndarray<nb::numpy, const T>(data, shape, nb::handle()));
}

/// The values recorded per row: float64 (NaN not recorded), objects (missing ones not recorded),
/// or dates or durations given as a pair (their int64 values, the array boxing them): row i is
/// then str(array[i]), made once per distinct value (NaT not recorded). Those texts are what
/// record_row_value makes of the boxed values (float() refuses them), at a str() per distinct
/// value where each row took a boxing, a refused float() and a str().
class RecordValues {
 public:
  explicit RecordValues(nb::handle values) : seq_(nb::borrow(values)) {
    if (nb::try_cast(values, f64_, /*convert=*/false)) {
      numeric_ = true;
      n_ = f64_.shape(0);
    } else if (PyTuple_CheckExact(values.ptr()) && PyTuple_GET_SIZE(values.ptr()) == 2 &&
               nb::try_cast(nb::handle(PyTuple_GET_ITEM(values.ptr(), 0)), i8_, false)) {
      boxed_ = nb::borrow(PyTuple_GET_ITEM(values.ptr(), 1));
      n_ = i8_.shape(0);
      const Py_ssize_t len = PyObject_Length(boxed_.ptr());
      if (len < 0) throw nb::python_error();
      if (static_cast<size_t>(len) != n_) throw nb::value_error("one boxed value per int64 value");
      times_ = true;
    } else {
      const Py_ssize_t len = PyObject_Length(values.ptr());
      if (len < 0) throw nb::python_error();
      n_ = static_cast<size_t>(len);
    }
  }
  size_t size() const { return n_; }
  bool numeric() const { return numeric_; }
  /// The values as a sequence of the objects they stand for.
  nb::object object() const {
    return times_ ? Steal(PySequence_List(boxed_.ptr())) : seq_;
  }
  bool Recorded(size_t i) const {
    if (numeric_) return !std::isnan(f64_.data()[i]);
    if (times_) return i8_.data()[i] != std::numeric_limits<int64_t>::min();
    return At(i).is_valid();
  }
  double Number(size_t i) const { return f64_.data()[i]; }
  /// The value of row i, or an invalid object when the row is not recorded.
  nb::object At(size_t i) const {
    if (numeric_) {
      const double d = f64_.data()[i];
      if (std::isnan(d)) return {};
      return Steal(PyFloat_FromDouble(d));
    }
    if (times_) return TimeText(i);
    nb::object v = Steal(PySequence_GetItem(seq_.ptr(), static_cast<Py_ssize_t>(i)));
    if (!v.is_valid()) throw nb::python_error();
    if (NotRecorded(v)) return {};
    return v;
  }

 private:
  nb::object TimeText(size_t i) const {
    const int64_t key = i8_.data()[i];
    if (key == std::numeric_limits<int64_t>::min()) return {};  // NaT
    auto found = texts_.find(key);
    if (found != texts_.end()) return found->second;
    nb::object v = Steal(PySequence_GetItem(boxed_.ptr(), static_cast<Py_ssize_t>(i)));
    if (!v.is_valid()) throw nb::python_error();
    if (NotRecorded(v)) return {};
    nb::object text = Steal(PyObject_Str(v.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    texts_.emplace(key, text);
    return text;
  }

  nb::object seq_, boxed_;
  bool numeric_ = false, times_ = false;
  size_t n_ = 0;
  nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu> f64_;
  nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> i8_;
  mutable std::unordered_map<int64_t, nb::object> texts_;
};

/// Object row values (texts, mostly) for a tracker with a writer, as RecordNumericRows records
/// numbers: each row split as record_row_value splits it (a row that cannot be is left out, as
/// row by row), then whole batches as row-value columns. False, with nothing recorded, when
/// they must go row by row.
bool RecordObjectRows(nb::handle tracker, const RowRecordMaker& maker, nb::handle op,
                      nb::handle column, const uint32_t* words, const RecordValues& values,
                      size_t n) {
  if (n == 0 || !AsBool(GetAttr(tracker, "_writer"))) return false;
  lumarq::RecordedRows r;
  std::vector<nb::object> texts;
  for (size_t i = 0; i < n; ++i) {
    nb::object v = values.At(i);
    if (!v.is_valid()) continue;
    nb::object numeric, text;
    bool split = false;
    Guarded([&] {
      SplitValue(v, &numeric, &text);
      split = true;
    });
    if (!split) continue;
    r.rows.push_back(static_cast<int64_t>(i));
    r.words.push_back(words[i]);
    r.values.push_back(numeric.is_none() ? 0.0 : PyFloat_AS_DOUBLE(numeric.ptr()));
    texts.push_back(text.is_none() ? nb::object() : std::move(text));  // unset: a number
  }
  try {
    return RecordRowColumns(tracker, maker, op, column, r.rows, r.words, r.values, &texts);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;  // raised before anything was recorded: row by row tells the same story
  }
}

/// record_row_value(i, words[i], op, values[i], column_name=column) for every recorded row. A
/// buffer without a writer keeps only its newest rows: older rows are not built at all.
void RecordRows(nb::handle tracker, nb::handle op, const uint32_t* words, const RecordValues& values,
                nb::handle column) {
  const size_t n = values.size();
  if (n == 0) return;
  nb::object col = column.is_valid() ? nb::borrow(column) : nb::none();
  if (!RecordRowValueIsNative(tracker)) {
    ImportAttr(kOverridden, "record_rows")(tracker, op, View(words, {n}), values.object(),
                                           values.numeric(), col);
    return;
  }
  std::optional<RowRecordMaker> maker;
  try {
    maker.emplace();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return;  // every row's record would fail the same way
  }
  if (values.numeric() && (BufferNumericRows(tracker, *maker, op, col, words, values, n) ||
                           RecordNumericRows(tracker, *maker, op, col, words, values, n))) {
    return;
  }
  if (!values.numeric() && RecordObjectRows(tracker, *maker, op, col, words, values, n)) return;
  NewestRecorded window;  // the whole column, unless a memory-only buffer keeps only the newest
  if (!AsBool(GetAttr(tracker, "_writer"))) {
    window = NewestRecordedRows(values, n, static_cast<size_t>(kMemoryOnlyRowLimit));
  }
  const size_t start = window.start;
  for (size_t i = start; i < n; ++i) {
    Guarded([&] {
      nb::object v = values.At(i);
      if (!v.is_valid()) return;
      RecordRowValueFast(tracker, *maker, static_cast<int64_t>(i), words[i], op, v, col,
                         /*defer_trim=*/true);
    });
  }
  TrimRowBuffer(tracker);
  if (window.dropped) WarnRowsDropped(tracker);  // not for rows without a value before it
}

/// Rows of one block that share a node kind and arity.
struct Bucket : lumarq::KeptRows {
  std::vector<int64_t> ids;
  void Flush(NodeAppender& app, NodeKind kind, nb::handle op, size_t arity, int64_t* out) {
    if (rows.empty()) return;
    ids.resize(rows.size());
    app.Append(kind, op, rows.size(), inputs.data(), arity, words.data(), ids.data());
    for (size_t r = 0; r < rows.size(); ++r) out[rows[r]] = ids[r];
    clear();
  }
};

/// One node per row from up to two input node ids per row (ids < 0 are left out; a row with
/// none gets no node, -1). `kind` is the kind of a row with every input; a binary row that
/// keeps one input is a unary node. `merge_type` names the merge for a tracker whose logging
/// methods are overridden (its nodes then come from log_merge).
nb::object LogRows(nb::handle tracker, int kind, nb::handle op_name, Words words, Ids2 inputs,
                   nb::handle values, nb::handle column, nb::handle merge_type) {
  nb::str op = AsStr(op_name, "op");
  const size_t n = words.shape(0);
  const size_t k = inputs.shape(1);
  if (inputs.shape(0) != n || k == 0 || k > 2) {
    throw nb::value_error("inputs must have one row of one or two node ids per word");
  }
  if (kind < static_cast<int>(NodeKind::kSource) || kind > kNodeKinds) {
    throw nb::value_error("unknown node kind");
  }
  const auto base = static_cast<NodeKind>(kind);
  auto kind_of = [&](size_t count) {
    return base == NodeKind::kBinary && count == 1 ? NodeKind::kUnary : base;
  };
  int64_t* out = nullptr;
  nb::object result = NewI64Array(n, &out);
  std::fill(out, out + n, int64_t{-1});
  const uint32_t* w = words.data();
  const int64_t* in = inputs.data();

  NodeAppender app(tracker);
  if (app.ok()) {
    Bucket one, two;
    for (size_t start = 0; start < n; start += kBlock) {
      const size_t end = std::min(n, start + kBlock);
      // The usual block: every row has all its inputs, appended straight from the arrays.
      if (std::all_of(in + start * k, in + end * k, [](int64_t v) { return v >= 0; })) {
        app.Append(kind_of(k), op, end - start, in + start * k, k, w + start, out + start);
        continue;
      }
      lumarq::SplitRowsByKept(in, k, w, start, end, &one, &two);
      one.Flush(app, kind_of(1), op, 1, out);
      two.Flush(app, kind_of(2), op, 2, out);
    }
  } else if (base == NodeKind::kMerge
                 ? LogBinaryIsNative(tracker) && dag_internal::Native(tracker, "log_merge")
                 : LogUnaryIsNative(tracker) && LogBinaryIsNative(tracker)) {
    for (size_t i = 0; i < n; ++i) {
      int64_t kept[2];
      const size_t c = lumarq::KeptInputs(in + i * k, k, kept);
      if (c != 0) out[i] = CreateNodeFast(tracker, kind_of(c), op, kept, c, w[i]);
    }
  } else {
    ImportAttr(kOverridden, "log_rows")(tracker, kind, op, View(w, {n}), View(in, {n, k}),
                                        merge_type, result);
  }
  if (!values.is_none()) {
    RecordValues rv(values);
    if (rv.size() != n) throw nb::value_error("one row value per word is needed");
    RecordRows(tracker, op, w, rv, column);
  }
  return result;
}

/// One node of `kind` (AGGREGATE or MERGE) per group: group g's inputs are inputs[offsets[g] .. offsets[g + 1]), where
/// -2 - h names the node of the earlier group h; a group without inputs gets no node (-1).
nb::object LogGroups(nb::handle tracker, nb::handle op_name, Words words, Ids1 offsets,
                     Ids1 inputs, int kind, nb::handle merge_type) {
  nb::str op = AsStr(op_name, "op");
  const bool merge = kind == static_cast<int>(NodeKind::kMerge);
  if (!merge && kind != static_cast<int>(NodeKind::kAggregate)) {
    throw nb::value_error("groups make AGGREGATE or MERGE nodes");
  }
  const size_t g = words.shape(0);
  if (offsets.shape(0) != g + 1) throw nb::value_error("offsets must have one more entry than groups");
  const int64_t* off = offsets.data();
  const int64_t* in = inputs.data();
  const auto m = static_cast<int64_t>(inputs.shape(0));
  // Checked before any node is made, so bad input logs nothing.
  if (!lumarq::GroupOffsetsValid(off, g, m)) throw nb::value_error("offsets out of order");
  if (!lumarq::GroupInputsValid(off, g, in)) {
    throw nb::value_error("an input names a group that is not an earlier one");
  }
  int64_t* out = nullptr;
  nb::object result = NewI64Array(g, &out);
  const bool native = LogUnaryIsNative(tracker) &&
                      dag_internal::Native(tracker, merge ? "log_merge" : "log_aggregate");
  if (native && g != 0) {
    // A block into the store; with a writer it goes there as column slices, not node by node.
    NodeAppender appender(tracker);
    if (appender.ok() && appender.Run(static_cast<NodeKind>(kind), op, [&](lumarq::NodeTarget& t) {
          lumarq::AppendGroupNodes(t, g, words.data(), off, in, out);
        })) {
      return result;
    }
  }
  if (!native) {
    ImportAttr(kOverridden, "log_groups")(tracker, op, View(words.data(), {g}),
                                          View(off, {g + 1}), View(in, {inputs.shape(0)}), merge,
                                          merge_type, result);
    return result;
  }
  std::vector<int64_t> resolved;
  for (size_t i = 0; i < g; ++i) {
    const size_t k = lumarq::ResolveGroupInputs(in + off[i], static_cast<size_t>(off[i + 1] - off[i]),
                                                out, resolved);
    out[i] = k == 0 ? -1
                    : CreateNodeFast(tracker, static_cast<NodeKind>(kind), op, resolved.data(), k,
                                     words.data()[i]);
  }
  return result;
}

/// Records each row's value under `op` (the source cells of a tracked frame).
void RecordRowsPy(nb::handle tracker, nb::handle op_name, Words words, nb::handle values,
                  nb::handle column) {
  nb::str op = AsStr(op_name, "op");
  RecordValues rv(values);
  if (rv.size() != words.shape(0)) throw nb::value_error("one row value per word is needed");
  RecordRows(tracker, op, words.data(), rv, column);
}

/// Gives `name` to the operation nodes in `node_ids` (metadata "column"); a node that already
/// has a name keeps it, so a later copy or alias does not rename what may already be stored.
void NameNodes(nb::handle tracker, nb::handle name, Ids1 node_ids) {
  nb::str text = AsStr(name, "name");
  NameNodeIds(tracker, {node_ids.data(), node_ids.shape(0)}, text);
}

}  // namespace

void RegisterDtypeDag() {
  // A module of its own, reached through sys.modules: the names of vantor32_dag stay as they are.
  PyObject* raw = PyModule_New(kDtypeDagModule);
  if (raw == nullptr) throw nb::python_error();
  nb::module_ m = nb::steal<nb::module_>(raw);
  m.doc() = "Node logging of the provenance dtype's DAG channel (internal).";
  m.def("_log_rows", &LogRows, nb::arg("tracker"), nb::arg("kind"), nb::arg("op"),
        nb::arg("words"), nb::arg("inputs"), nb::arg("values").none() = nb::none(),
        nb::arg("column").none() = nb::none(), nb::arg("merge_type").none() = nb::none(),
        "Log one node per row (inputs: an (n, 1) or (n, 2) int64 array of node ids, -1 for\n"
        "none) and record each row's value; returns the node ids (-1 where a row has no input).");
  m.def("_log_groups", &LogGroups, nb::arg("tracker"), nb::arg("op"), nb::arg("words"),
        nb::arg("offsets"), nb::arg("inputs"), nb::arg("kind") = static_cast<int>(NodeKind::kAggregate),
        nb::arg("merge_type").none() = nb::none(),
        "Log one aggregation (or merge) node per group from CSR inputs; returns the node ids.");
  m.def("_record_rows", &RecordRowsPy, nb::arg("tracker"), nb::arg("op"), nb::arg("words"),
        nb::arg("values"), nb::arg("column").none() = nb::none(),
        "Record each row's value (float64 or object array) with its word.");
  m.def("_name_nodes", &NameNodes, nb::arg("tracker"), nb::arg("name"), nb::arg("node_ids"),
        "Give a column name to the operation nodes behind node_ids (first name wins).");
  SetItem(nb::module_::import_("sys").attr("modules"), nb::str(kDtypeDagModule), m);
}

}  // namespace lumarq::py
