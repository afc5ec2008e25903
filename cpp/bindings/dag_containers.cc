// DAGTrackedSeries, DAGTrackedDataFrame and wrap_dataframe_dag.
//
// The classes are pandas subclasses built at import with type(), as in vantor32. A tracked
// operation runs one C++ loop over its rows. Whether the tracker's own combine / update_chain,
// log_binary / log_unary and record_row_value would run is decided once per operation; native
// steps are then called directly, overridden ones through the tracker object for every row.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "backend.h"
#include "containers_support.h"
#include "dag_containers.h"
#include "dag_records.h"
#include "dag_tracker.h"
#include "lumarq/cells.h"
#include "lumarq/codec.h"
#include "lumarq/container_rows.h"
#include "lumarq/row_kernels.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

// Classes and module live as long as the process; borrowed.
PyObject* g_series = nullptr;
PyObject* g_frame = nullptr;
PyObject* g_module = nullptr;

ContainerOpCodes g_code;

nb::handle SeriesCls() { return g_series; }
nb::handle FrameCls() { return g_frame; }

/// int(value)
nb::object ToInt(nb::handle value) { return Steal(PyNumber_Long(value.ptr())); }

/// Int objects of provenance words. Rows of one operation often share a word (the same sources
/// and chain, or a source column's 256 entity values), and one object then serves every node,
/// index entry and record that holds it.
class WordInts {
 public:
  nb::object Get(uint32_t word) {
    Entry& e = table_[(word * 2654435761u) >> (32 - kBits)];
    if (!e.obj.is_valid() || e.word != word) {
      e.obj = PyWord(word);
      e.word = word;
    }
    return e.obj;
  }

 private:
  static constexpr int kBits = 9;
  struct Entry {
    uint32_t word = 0;
    nb::object obj;
  };
  std::array<Entry, size_t{1} << kBits> table_{};
};

// ---------------------------------------------------------------- per-row integers

/// `int(arr[i])`, kept native while it fits in int64.
struct IntCell {
  bool small = true;
  int64_t v = 0;
  nb::object big;  // when !small

  static IntCell Of(int64_t v) {
    IntCell c;
    c.v = v;
    return c;
  }
  nb::object Object() const { return small ? PyInt(v) : big; }
  /// The low 32 bits, as the native provenance methods read an int.
  uint32_t Word() const {
    return small ? static_cast<uint32_t>(static_cast<uint64_t>(v)) : AsWord(big, "provenance");
  }
  bool NonNegative() const {
    if (small) return v >= 0;
    const int r = PyObject_RichCompareBool(big.ptr(), PyInt(0).ptr(), Py_GE);
    if (r < 0) throw nb::python_error();
    return r != 0;
  }
};

/// One of the per-row arrays of a Series (`_prov`, `_node_ids`), read as `int(arr[i])`: natively
/// for 1-d uint32 and int64 arrays, through indexing and int() for anything else.
class IntColumn {
 public:
  explicit IntColumn(nb::handle arr) : arr_(nb::borrow(arr)), size_(Len(arr)) {
    if (IsNdarray(arr)) {
      if (TryArrayView(arr, &u32_)) {
        kind_ = kU32;
      } else if (TryArrayView(arr, &i64_)) {
        kind_ = kI64;
      }
    }
  }

  size_t size() const { return size_; }

  IntCell Get(size_t i) const {
    switch (kind_) {
      case kU32:
        return IntCell::Of(u32_[i]);
      case kI64:
        return IntCell::Of(i64_[i]);
      default:
        break;
    }
    nb::object v = ToInt(GetItem(arr_, PyInt(static_cast<int64_t>(i))));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0) return IntCell::Of(x);
    IntCell c;
    c.small = false;
    c.big = std::move(v);
    return c;
  }

  /// Get(i) for rows the array covers, else `missing`.
  IntCell At(size_t i, int64_t missing) const {
    return i < size_ ? Get(i) : IntCell::Of(missing);
  }

  /// The column as n values of T for the core kernels: the array itself when it is a
  /// contiguous T column of at least n rows, else a copy in `copy` (rows past its end
  /// `missing`). Words keep their low 32 bits, as Word() reads them. False when an id does
  /// not fit in int64.
  template <typename T>
  bool Native(size_t n, int64_t missing, std::vector<T>* copy, const T** out) const {
    if constexpr (sizeof(T) == 4) {
      if (kind_ == kU32 && u32_.stride == 1 && size_ >= n) {
        *out = u32_.data;
        return true;
      }
    } else {
      if (kind_ == kI64 && i64_.stride == 1 && size_ >= n) {
        *out = i64_.data;
        return true;
      }
    }
    copy->resize(n);
    for (size_t i = 0; i < n; ++i) {
      const IntCell c = At(i, missing);
      if constexpr (sizeof(T) == 4) {
        (*copy)[i] = c.Word();
      } else {
        if (!c.small) return false;
        (*copy)[i] = c.v;
      }
    }
    *out = copy->data();
    return true;
  }

 private:
  enum Kind { kGeneric, kU32, kI64 };
  nb::object arr_;
  size_t size_;
  Kind kind_ = kGeneric;
  ArrayView<uint32_t> u32_;
  ArrayView<int64_t> i64_;
};

// ---------------------------------------------------------------- row values

/// Reads `values[i]` for the row-value records. Raw(i) is exactly what `values[i]` gives.
/// ForRecord(i) is null for a row that is not recorded, else an object whose float()/str()
/// split equals that of values[i]: a float for numeric arrays (no numpy scalar is made), the
/// element itself for object arrays. Extension arrays are read through one conversion to an
/// object array; anything else through indexing. A frame's cells can also be read through the
/// frame (`df.iloc[i][col]`), for the few frames no column array reproduces.
class RowValues {
 public:
  RowValues(nb::handle values, size_t n) : values_(nb::borrow(values)), n_(n) {
    nb::handle source = values;
    if (!IsNdarray(values) && IsInstance(values, Refs().extension_array)) {
      try {
        converted_ = CallKw(Refs().np_asarray, {values}, {{"dtype", Refs().object_dtype}});
        if (IsNdarray(converted_)) source = converted_;
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
      }
    }
    if (IsNdarray(source)) Attach(source);
  }

  /// Cells of a frame read as `df.iloc[i][col]`.
  RowValues(nb::handle iloc, nb::handle col, size_t n)
      : values_(nb::borrow(iloc)), col_(nb::borrow(col)), n_(n), cells_(true) {}

  ~RowValues() {
    if (attached_) PyBuffer_Release(&view_);
  }
  RowValues(const RowValues&) = delete;
  RowValues& operator=(const RowValues&) = delete;

  nb::object Raw(size_t i) const {
    if (cells_) return GetItem(GetItem(values_, PyInt(static_cast<int64_t>(i))), col_);
    return Steal(PySequence_GetItem(values_.ptr(), static_cast<Py_ssize_t>(i)));
  }

  nb::object ForRecord(size_t i) const {
    switch (kind_) {
      case CellKind::kF64:
        if (std::isnan(Number(i))) return {};
        return Float(Number(i));
      case CellKind::kF32:  // a float32 NaN is no float: recorded
      case CellKind::kBool:
      case CellKind::kSigned:
      case CellKind::kUnsigned:
        return Float(Number(i));
      case CellKind::kObject: {
        PyObject* o;
        std::memcpy(&o, Cell(i), sizeof o);
        nb::object v = nb::borrow(o != nullptr ? o : Py_None);
        if (NotRecorded(v)) return {};
        return v;
      }
      default: {
        nb::object v = Raw(i);
        if (NotRecorded(v)) return {};
        return v;
      }
    }
  }

  size_t size() const { return n_; }

  /// Whether every row reads as a number (Number gives the float its record would hold).
  bool Numeric() const { return NumericCell(kind_); }
  double Number(size_t i) const {
    return CellNumber(kind_, Cell(i), static_cast<size_t>(itemsize_));
  }

  /// Whether row i is recorded, told without making an object: 1 or 0, or -1 when only
  /// ForRecord can tell.
  int Recorded(size_t i) const { return static_cast<int>(RecordedCells(kind_, Cell(i), 0, 1)); }
  /// How many rows are recorded, likewise; -1 when only ForRecord can tell.
  int64_t RecordedRows() const { return RecordedCells(kind_, data_, stride_, n_); }

 private:
  const char* Cell(size_t i) const { return data_ + static_cast<Py_ssize_t>(i) * stride_; }

  static nb::object Float(double d) { return Steal(PyFloat_FromDouble(d)); }

  void Attach(nb::handle arr) {
    if (PyObject_GetBuffer(arr.ptr(), &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();  // datetime64 and friends export no buffer: read by indexing
      return;
    }
    attached_ = true;
    if (view_.ndim != 1 || view_.shape[0] != static_cast<Py_ssize_t>(n_)) return;
    const Py_ssize_t size = view_.itemsize;
    const CellKind kind = CellKindOf(view_.format, static_cast<size_t>(size));
    if (kind == CellKind::kOther) return;
    kind_ = kind;
    data_ = static_cast<const char*>(view_.buf);
    stride_ = view_.strides != nullptr ? view_.strides[0] : size;
    itemsize_ = size;
    keep_ = nb::borrow(arr);
  }

  nb::object values_, col_, converted_, keep_;
  size_t n_;
  bool cells_ = false;
  CellKind kind_ = CellKind::kOther;
  Py_buffer view_{};
  bool attached_ = false;
  const char* data_ = nullptr;
  Py_ssize_t stride_ = 0;
  Py_ssize_t itemsize_ = 0;
};

// ---------------------------------------------------------------- recording

/// record_row_value for the rows of one operation. Native: one record type import, records
/// built without a Python call, the memory-only bound applied once at the end. Otherwise the
/// tracker's method is called per row.
class Recorder {
 public:
  Recorder(nb::handle tracker, size_t n) : tracker_(tracker) {
    native_ = RecordRowValueIsNative(tracker);
    if (native_ && n != 0) {
      try {
        maker_.emplace();
      } catch (nb::python_error& e) {
        // Every row's recording would raise this: each is swallowed, so none is recorded.
        if (!e.matches(PyExc_Exception)) throw;
        off_ = true;
      }
    }
  }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  ~Recorder() {
    if (!maker_.has_value()) return;
    try {
      TrimRowBuffer(tracker_);
      if (skipped_) WarnRowsDropped(tracker_);
    } catch (nb::python_error& e) {
      e.discard_as_unraisable(tracker_);
    }
  }

  bool native() const { return native_; }

  /// Native recording without a writer: the buffer keeps only the newest kMemoryOnlyRowLimit
  /// records.
  bool MemoryOnly() const {
    if (!native_ || !maker_.has_value() || off_ || DagTrackerPtr(tracker_) == nullptr) return false;
    nb::object writer = GetAttr(tracker_, "_writer");
    return writer.is_none() || !AsBool(writer);
  }

  /// Rows of `values` that the bound would drop by the end of the operation (the records of
  /// `later` rows recorded after them included) are not built at all: the buffer ends up the
  /// same. Applies until the next call.
  void SkipDropped(const RowValues& values, size_t later = 0) {
    skip_before_ = 0;
    later_ = later;
    if (!MemoryOnly()) return;
    skip_before_ = FirstSurvivingRow(values, values.size(),
                                     static_cast<size_t>(kMemoryOnlyRowLimit), later);
    skipped_ = skipped_ || skip_before_ > 0;
  }
  void NoSkip() {
    skip_before_ = 0;
    later_ = 0;
  }
  size_t skip_before() const { return skip_before_; }

  /// Row i with a native fingerprint; `fp` is that fingerprint as an int object when the caller
  /// has one (the record then shares it), else null.
  void Word(size_t i, uint32_t fingerprint, nb::handle fp, nb::handle op, const RowValues& values,
            nb::handle column = nb::handle()) {
    if (off_ || i < skip_before_) return;
    Guarded([&] {
      nb::object fp_obj = fp.is_valid() ? nb::borrow(fp) : PyWord(fingerprint);
      if (native_) {
        nb::object v = values.ForRecord(i);
        if (!v.is_valid()) return;
        RecordRowValueFast(tracker_, *maker_, PyInt(static_cast<int64_t>(i)), fp_obj, op, v,
                           column.is_valid() ? column : nb::none(), /*defer_trim=*/true);
      } else {
        ByMethod(i, fp_obj, op, values, column);
      }
    });
  }

  /// Every row of a numeric column with native fingerprints, as row-value columns where the
  /// tracker's writer takes them (see RecordRowColumns); false when the rows must go one by one.
  bool Columns(const uint32_t* fingerprints, size_t n, nb::handle op, const RowValues& values,
               nb::handle column = nb::handle()) {
    if (!native_ || !maker_.has_value() || off_ || !values.Numeric()) return false;
    nb::handle col = column.is_valid() ? column : nb::none();
    if (BufferNumericRows(tracker_, *maker_, op, col, fingerprints, values, n, later_)) return true;
    if (skip_before_ != 0) return false;
    return RecordNumericRows(tracker_, *maker_, op, col, fingerprints, values, n);
  }

  /// Row i whose fingerprint is int(prov) of a provenance object (from an override), through the
  /// tracker's method.
  void Object(size_t i, nb::handle prov, nb::handle op, const RowValues& values,
              nb::handle column = nb::handle()) {
    if (off_ || i < skip_before_) return;
    Guarded([&] { ByMethod(i, ToInt(prov), op, values, column); });
  }

 private:
  void ByMethod(size_t i, nb::handle fingerprint, nb::handle op, const RowValues& values,
                nb::handle column) {
    nb::object raw = values.Raw(i);
    if (NotRecorded(raw)) return;
    nb::object row = PyInt(static_cast<int64_t>(i));
    if (column.is_valid()) {
      CallKw(GetAttr(tracker_, "record_row_value"), {row, fingerprint, op, raw},
             {{"column_name", column}});
    } else {
      CallMethod(tracker_, Interned("record_row_value"), row, fingerprint, op, raw);
    }
  }

  nb::handle tracker_;
  bool native_ = false;
  bool off_ = false;
  size_t skip_before_ = 0;
  size_t later_ = 0;  // rows of the operation recorded after the current ones
  bool skipped_ = false;
  std::optional<RowRecordMaker> maker_;
};

// ---------------------------------------------------------------- the per-row engines

/// Operand columns of an element-wise operation, as the core kernels take them.
template <size_t Arity>
class KernelOperands {
 public:
  /// Adds an operand (its words and node ids); false when its ids need the per-row path.
  bool Add(const IntColumn& words, const IntColumn& nodes, size_t n) {
    Slot& s = slots_[count_];
    lumarq::RowOperand& op = operands_[count_++];
    return words.Native<uint32_t>(n, 0, &s.words, &op.words) &&
           nodes.Native<int64_t>(n, -1, &s.nodes, &op.nodes);
  }
  const std::array<lumarq::RowOperand, Arity>& operands() const { return operands_; }

 private:
  struct Slot {
    std::vector<uint32_t> words;
    std::vector<int64_t> nodes;
  };
  std::array<Slot, Arity> slots_;
  std::array<lumarq::RowOperand, Arity> operands_{};
  size_t count_ = 0;
};

/// Runs the core kernel of one element-wise operation straight into the tracker's store: for a
/// tracker whose native combine / chain and node creation would run end to end. False, with
/// nothing logged, when the per-row path must run instead.
template <class Words>
bool RunKernel(nb::handle tracker, const Words& words, NodeKind kind, nb::handle op,
               const KernelOperands<Words::kArity>& in, size_t n, Recorder& recorder,
               const RowValues& row_values, uint32_t* prov_out, int64_t* node_out) {
  NodeAppender appender(tracker);
  if (!appender.ok()) return false;
  const bool done = appender.Run(kind, op, [&](lumarq::NodeTarget& target) {
    lumarq::ElementwiseRows(words, in.operands(), n, target, prov_out, node_out);
  });
  if (!done) return false;
  recorder.SkipDropped(row_values);
  if (recorder.Columns(prov_out, n, op, row_values)) return true;
  for (size_t i = recorder.skip_before(); i < n; ++i) {
    recorder.Word(i, prov_out[i], nb::handle(), op, row_values);
  }
  return true;
}

/// The arrays of an operation's rows: words 0 and node ids -1 (no node) until written.
struct RowArrays {
  explicit RowArrays(size_t n)
      : prov(FilledArray<uint32_t>(n, 0u, &words)), nodes(FilledArray<int64_t>(n, -1, &ids)) {}
  uint32_t* words = nullptr;
  int64_t* ids = nullptr;
  nb::object prov, nodes;
};

/// The tracked path of a binary operation: per row, combine, a BINARY node when both inputs
/// have one, and the row's record.
RowArrays BinaryRows(nb::handle self, nb::handle other, nb::handle tracker, nb::handle values,
                     nb::handle op, nb::handle op_code) {
  const size_t n = Len(values);
  IntColumn pa(GetAttr(self, "_prov")), pb(GetAttr(other, "_prov"));
  // The node ids of another tracker's Series (a copy's, unpickled in a worker) name nodes of
  // another graph: read as none, as rows gathered from it by concat are.
  nb::object theirs = GetAttr(other, "_tracker");
  int64_t* none = nullptr;
  const bool foreign = !theirs.is_none() && theirs.ptr() != tracker.ptr();
  IntColumn na(GetAttr(self, "_node_ids")),
      nr(foreign ? NewI64Array(0, &none) : GetAttr(other, "_node_ids"));
  RowValues row_values(values, n);
  RowArrays out(n);
  uint32_t* prov_out = out.words;
  int64_t* node_out = out.ids;

  nb::object hold;
  Codec* codec = NativeCodec(tracker, &hold);
  const bool dispatch_combine = NativeMethod(tracker, "combine");
  const bool native_combine = codec != nullptr && dispatch_combine;
  const bool native_log = LogBinaryIsNative(tracker);
  Recorder recorder(tracker, n);
  const uint32_t code = native_combine ? AsOpCode(op_code) : 0u;
  WordInts ints;

  if (native_combine && native_log && n != 0) {
    KernelOperands<2> in;
    if (in.Add(pa, na, n) && in.Add(pb, nr, n) &&
        RunKernel(tracker, lumarq::CombineWords{codec, code}, NodeKind::kBinary, op, in, n,
                  recorder, row_values, prov_out, node_out)) {
      return out;
    }
  }

  for (size_t i = 0; i < n; ++i) {
    const IntCell a = pa.At(i, 0), b = pb.At(i, 0);
    uint32_t word = 0;
    nb::object combined;  // the int of the native result, else the override's result
    if (native_combine) {
      word = codec->Combine(a.Word(), b.Word(), code);
      prov_out[i] = word;
      combined = ints.Get(word);  // shared by the node and the record
    } else {
      combined = dispatch_combine
                     ? CallCombine(tracker, a.Object(), b.Object(), op_code)
                     : CallMethod(tracker, Interned("combine"), a.Object(), b.Object(), op_code);
      StoreInt(out.prov, prov_out, i, combined);
    }
    const IntCell left = na.At(i, -1), right = nr.At(i, -1);
    if (left.NonNegative() && right.NonNegative()) {
      uint32_t node_word = word;
      if (native_log && left.small && right.small &&
          (native_combine || ExactWord(combined, &node_word))) {
        const int64_t ids[2] = {left.v, right.v};
        node_out[i] = native_combine
                          ? CreateNodeFast(tracker, NodeKind::kBinary, op, ids, 2, combined)
                          : CreateNodeFast(tracker, NodeKind::kBinary, op, ids, 2, node_word);
      } else {
        nb::object id = CallMethod(tracker, Interned("log_binary"), op, left.Object(),
                                   right.Object(), combined);
        StoreInt(out.nodes, node_out, i, id);
      }
    }
    if (native_combine) {
      recorder.Word(i, word, combined, op, row_values);
    } else {
      recorder.Object(i, combined, op, row_values);
    }
  }
  return out;
}

/// The tracked path of a unary operation: per row, update_chain, a UNARY node when the input
/// has one, and the row's record.
RowArrays UnaryRows(nb::handle self, nb::handle tracker, nb::handle values, nb::handle op,
                    nb::handle op_code) {
  const size_t n = Len(values);
  IntColumn prov(GetAttr(self, "_prov"));
  IntColumn nodes(GetAttr(self, "_node_ids"));
  RowValues row_values(values, n);
  RowArrays out(n);
  uint32_t* prov_out = out.words;
  int64_t* node_out = out.ids;

  nb::object hold;
  Codec* codec = NativeCodec(tracker, &hold);
  const bool dispatch_chain = NativeMethod(tracker, "update_chain");
  const bool native_chain = codec != nullptr && dispatch_chain;
  const bool native_log = LogUnaryIsNative(tracker);
  Recorder recorder(tracker, n);
  // The first row's update_chain would convert op_code; an error surfaces there, as the
  // method's own.
  const uint32_t code = native_chain && n != 0 ? AsOpCode(op_code) : 0u;
  WordInts ints;

  if (native_chain && native_log && n != 0) {
    KernelOperands<1> in;
    if (in.Add(prov, nodes, n) &&
        RunKernel(tracker, lumarq::ChainWords{code}, NodeKind::kUnary, op, in, n, recorder,
                  row_values, prov_out, node_out)) {
      return out;
    }
  }

  for (size_t i = 0; i < n; ++i) {
    const IntCell p = prov.At(i, 0);
    if (native_chain) {
      prov_out[i] = Codec::UpdateChain(p.Word(), code);
    } else {
      nb::object r = dispatch_chain
                         ? CallUpdateChain(tracker, p.Object(), op_code)
                         : CallMethod(tracker, Interned("update_chain"), p.Object(), op_code);
      StoreInt(out.prov, prov_out, i, r);
    }
    const uint32_t word = prov_out[i];  // new_prov[i], as stored
    nb::object fp = ints.Get(word);     // shared by the node and the record
    const IntCell input = nodes.At(i, -1);
    if (input.NonNegative()) {
      if (native_log && input.small) {
        node_out[i] = CreateNodeFast(tracker, NodeKind::kUnary, op, &input.v, 1, fp);
      } else {
        nb::object stored = GetItem(out.prov, PyInt(static_cast<int64_t>(i)));
        nb::object id =
            CallMethod(tracker, Interned("log_unary"), op, input.Object(), stored);
        StoreInt(out.nodes, node_out, i, id);
      }
    }
    recorder.Word(i, word, fp, op, row_values);
  }
  return out;
}

// ---------------------------------------------------------------- DAGTrackedSeries

nb::object NewSeries(nb::handle values, nb::handle index, nb::handle prov, nb::handle tracker,
                     nb::handle nodes, nb::handle name, bool fresh) {
  return NewTrackedSeries(SeriesCls(), values, index, name, prov, tracker, nodes, fresh);
}

/// The untracked result: this Series' arrays copied.
nb::object Untracked(nb::handle self, nb::handle values, nb::handle index, nb::handle tracker,
                     nb::handle name, bool fresh) {
  return NewSeries(values, index, CopyOf(GetAttr(self, "_prov")), tracker,
                   CopyOf(GetAttr(self, "_node_ids")), name, fresh);
}

nb::object BinopDag(nb::handle self, nb::handle other, nb::handle np_op, nb::handle op_name,
                    nb::handle op_code, bool fresh) {
  nb::str op = AsStr(op_name, "op_name");
  AsInt(op_code, "op_code");
  nb::object tracker = GetAttr(self, "_tracker");
  CheckOperands(self, other, tracker);
  nb::object a = OperandValues(self, self);
  nb::object b = OperandValues(other, other);
  nb::object result = np_op(a, b);
  nb::object index = GetAttr(self, "index");
  nb::object name = OpResultName(self, other);
  if (!IsInstance(other, SeriesCls()) || !AsBool(tracker)) {
    return Untracked(self, result, index, tracker, name, fresh);
  }
  RowArrays rows = BinaryRows(self, other, tracker, result, op, op_code);
  return NewSeries(result, index, rows.prov, tracker, rows.nodes, name, fresh);
}

/// The Series of `values` (index `index`) one tracked unary step on from this one.
nb::object UnaryResult(nb::handle self, nb::handle values, nb::handle index, const nb::str& op,
                       nb::handle op_code, bool fresh) {
  nb::object tracker = GetAttr(self, "_tracker");
  nb::object name = GetAttr(self, "name");
  if (!AsBool(tracker)) return Untracked(self, values, index, tracker, name, fresh);
  RowArrays rows = UnaryRows(self, tracker, values, op, op_code);
  return NewSeries(values, index, rows.prov, tracker, rows.nodes, name, fresh);
}

nb::object UnopDag(nb::handle self, nb::handle np_op, nb::handle op_name, nb::handle op_code,
                   bool fresh) {
  nb::str op = AsStr(op_name, "op_name");
  AsInt(op_code, "op_code");
  nb::object result = np_op(OperandValues(self, self));
  return UnaryResult(self, result, GetAttr(self, "index"), op, op_code, fresh);
}

nb::object ApplyTrackedUnary(nb::handle self, nb::handle result_values, nb::handle result_index,
                             nb::handle op_name, nb::handle op_code) {
  return UnaryResult(self, result_values, result_index, AsStr(op_name, "op_name"), op_code, false);
}

// Operators call self._binop_dag / self._unop_dag, so a subclass overriding them is honoured;
// the native bodies run directly otherwise and know that ufunc results are fresh arrays.
nb::object DispatchBinop(nb::handle self, nb::handle other, const BinaryOperator& op) {
  return OwnOrOverride(
      self, g_series, "_binop_dag",
      [&] { return BinopDag(self, other, op.fn, op.name, nb::int_(op.code), true); }, other,
      op.fn, op.name, op.code);
}

nb::object DispatchUnop(nb::handle self, nb::handle fn, const char* name, int code) {
  return OwnOrOverride(
      self, g_series, "_unop_dag",
      [&] { return UnopDag(self, fn, Interned(name), nb::int_(code), true); }, fn, Interned(name),
      code);
}

void DefineSeries(nb::module_& m) {
  const PyRefs& r = Refs();
  nb::dict ns = SubclassNamespace({"_prov", "_tracker", "_node_ids"}, &g_series);
  AddSeriesInit(ns, &g_series, /*nodes=*/true);
  Method(
      ns, "_binop_dag",
      [](nb::handle self, nb::handle other, nb::handle np_op, nb::handle op_name,
         nb::handle op_code) { return BinopDag(self, other, np_op, op_name, op_code, false); },
      nb::arg("other").none(), nb::arg("np_op").none(), nb::arg("op_name").none(),
      nb::arg("op_code").none(),
      "Binary operation: one graph node and one row-value record per row when both operands\n"
      "are tracked.");
  Method(
      ns, "_unop_dag",
      [](nb::handle self, nb::handle np_op, nb::handle op_name, nb::handle op_code) {
        return UnopDag(self, np_op, op_name, op_code, false);
      },
      nb::arg("np_op").none(), nb::arg("op_name").none(), nb::arg("op_code").none(),
      "Element-wise unary operation: one graph node and one row-value record per row.");
  Method(ns, "_apply_tracked_unary", &ApplyTrackedUnary, nb::arg("result_values").none(),
         nb::arg("result_index").none(), nb::arg("op_name").none(), nb::arg("op_code").none(),
         "Wrap values pandas has already computed as one tracked unary step.");

  AddBinaryOperators(ns, m, &DispatchBinop);
  Method(ns, "__neg__",
         [](nb::handle self) { return DispatchUnop(self, NegOp(self), "neg", g_code.neg); });
  AddSeriesGlue(m, "DAGTrackedSeries", ns, /*flex_binop=*/true);

  DefineClass(m, "DAGTrackedSeries", r.pd_series, ns, "Pandas Series with DAG-tracked provenance.",
              &g_series);
}

// ---------------------------------------------------------------- DAGTrackedDataFrame

void DefineFrame(nb::module_& m) {
  const PyRefs& r = Refs();
  nb::dict ns = SubclassNamespace({"_tracker", "_col_prov", "_col_nodes"}, &g_frame, &g_series);
  AddFrameInitFinalize(ns, &g_frame, {"_col_prov", "_col_nodes"});
  AddFrameItemAccess(ns, &g_frame, &g_series, "dag_frame_getitem", "dag_frame_setitem");
  Method(
      ns, "_merge_col_provenance",
      [](nb::handle self, nb::handle col_prov, nb::handle col_nodes, nb::handle result_columns,
         nb::handle n, nb::handle out_prov, nb::handle out_nodes) {
        static PyObject* slot;
        nb::handle fn = KeepOnce(&slot, [] { return nb::steal(FramesFn("merge_col_provenance")); });
        fn(g_code.merge, self, col_prov, col_nodes, result_columns, n, out_prov, out_nodes);
      },
      nb::arg("col_prov").none(), nb::arg("col_nodes").none(), nb::arg("result_columns").none(),
      nb::arg("n").none(), nb::arg("out_prov").none(), nb::arg("out_nodes").none(),
      "Carry one side's column provenance through a merge: one merged value and one merge\n"
      "node per kept column.");
  Method(
      ns, "merge",
      [](nb::handle self, nb::handle right, nb::args args, nb::kwargs kwargs) {
        static PyObject* slot;
        nb::handle fn = KeepOnce(&slot, [] { return nb::steal(FramesFn("dag_frame_merge")); });
        return fn(FrameCls(), self, right, args, kwargs);
      },
      nb::arg("right").none(), nb::arg("args"), nb::arg("kwargs"));
  AddFrameGlue(m, "DAGTrackedDataFrame", ns);
  DefineClass(m, "DAGTrackedDataFrame", r.pd_frame, ns,
              "Pandas DataFrame with DAG-tracked provenance.", &g_frame);
}

// ---------------------------------------------------------------- wrap_dataframe_dag

/// The readers of a frame's columns for its cells' records: the column arrays that reproduce
/// `df.iloc[i][col]` where lumarq.utilities._frame_cells finds them, else the frame itself, cell
/// by cell.
class FrameCells {
 public:
  FrameCells(nb::handle df, size_t n) : iloc_(GetAttr(df, "iloc")) {
    static PyObject* slot;
    nb::handle plan = KeepOnce(
        &slot, [] { return ImportAttr("lumarq.utilities._frame_cells", "column_values"); });
    if (n != 0) column_values_ = plan(df);
  }

  /// The reader of column j (label `col`).
  std::unique_ptr<RowValues> Column(size_t j, nb::handle col, size_t n) {
    if (!column_values_.is_none() && n != 0) {
      try {
        nb::object values = column_values_(j);
        return std::make_unique<RowValues>(values, n);
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
      }
    }
    return std::make_unique<RowValues>(iloc_, col, n);
  }

 private:
  nb::object iloc_;
  nb::object column_values_ = nb::none();  // None: every cell is read alone
};

/// tracker.register(table, column, protected): the flag passed on unchanged to an override.
nb::object RegisterColumn(nb::handle tracker, nb::handle table, nb::handle column,
                          nb::handle flag) {
  if (NativeMethod(tracker, "register")) {
    return CallRegister(tracker, table, column, AsBool(flag));
  }
  return CallMethod(tracker, Interned("register"), table, column, flag);
}

/// MODE_01_ENTITY_BITS, read from this module at call time.
nb::object EntityBits() { return Steal(PyObject_GetAttrString(g_module, "MODE_01_ENTITY_BITS")); }

/// A pair id that the native codec can encode directly.
bool NativePair(nb::handle pair_id, uint32_t* out) {
  uint32_t v;
  if (!ExactWord(pair_id, &v) || v >= 512u) return false;
  *out = v;
  return true;
}

nb::object WrapDataFrameDag(nb::handle df, nb::handle tracker, nb::handle table,
                            nb::handle protected_, nb::handle include_entity) {
  nb::str tname = AsStr(table, "table");
  RequireFrame(df, "wrap_dataframe_dag");
  const bool with_entity = AsBool(include_entity);
  nb::object protected_cols = ProtectedColumns(df, protected_);
  nb::object result = CallKw(FrameCls(), {df}, {{"_tracker", tracker}});
  const size_t n = Len(df);

  nb::object col_prov = GetAttr(result, "_col_prov");
  nb::object col_nodes = GetAttr(result, "_col_nodes");
  nb::object bits = EntityBits();
  EntityHashes entities(df, tracker, n, bits);
  FrameCells cells(df, n);
  Recorder recorder(tracker, n);
  nb::object hold;
  Codec* codec = NativeCodec(tracker, &hold);
  // Recorded rows per column when they can be told without objects (for the row-value bound).
  std::vector<size_t> later;  // later[j]: rows recorded by the columns after j
  if (n != 0 && recorder.MemoryOnly()) {
    std::vector<size_t> counts;
    size_t k = 0;
    for (nb::handle c : GetAttr(df, "columns")) {
      const int64_t count = cells.Column(k++, c, n)->RecordedRows();
      if (count < 0) {
        counts.clear();
        break;
      }
      counts.push_back(static_cast<size_t>(count));
    }
    later = RecordedAfter(counts);
  }

  size_t j = 0;
  for (nb::handle col : GetAttr(df, "columns")) {
    nb::str name(col);
    nb::object flag = protected_cols.is_none()
                          ? nb::borrow(protected_)
                          : nb::object(nb::bool_(Contains(protected_cols, name)));
    nb::object pair_id = RegisterColumn(tracker, tname, name, flag);
    const bool tainted = CallIsProtected(tracker, tname, name);
    nb::object op = Steal(PyUnicode_FromFormat("%U.%U", tname.ptr(), name.ptr()));
    uint32_t* prov_out = nullptr;
    int64_t* node_out = nullptr;
    nb::object prov_array = FilledArray<uint32_t>(n, 0u, &prov_out);
    nb::object node_array = FilledArray<int64_t>(n, 0, &node_out);

    recorder.NoSkip();
    if (n != 0) {
      nb::object modulus = EntityModulus(EntityBits());
      std::unique_ptr<RowValues> values = cells.Column(j, col, n);
      uint32_t pair = 0;
      const bool native_entity = !with_entity || entities.Native();
      const bool batch = codec != nullptr && native_entity && NativePair(pair_id, &pair) &&
                         NativeMethod(tracker, "encode");
      if (batch) {
        nb::object hashes = with_entity ? entities.Next() : FilledArray<uint32_t>(n, 0u);
        ArrayView<uint32_t> h;
        if (!TryArrayView(hashes, &h) || h.size != n || h.stride != 1) {
          throw nb::value_error("row labels and rows differ in number");
        }
        EncodeSourceColumn(pair, std::span<const uint32_t>(h.data, n), tainted,
                           std::span<uint32_t>(prov_out, n));
        nb::object source = CallMethod(tracker, Interned("create_source_node"), tname, name,
                                       PyWord(prov_out[0]));
        StoreInt(node_array, node_out, 0, source);
        std::fill(node_out + 1, node_out + n, node_out[0]);
        if (j < later.size()) recorder.SkipDropped(*values, later[j]);
        if (!recorder.Columns(prov_out, n, op, *values, name)) {
          WordInts ints;
          for (size_t i = recorder.skip_before(); i < n; ++i) {
            recorder.Word(i, prov_out[i], ints.Get(prov_out[i]), op, *values, name);
          }
        }
      } else {
        nb::object hashes = with_entity && native_entity ? entities.Next() : nb::object();
        nb::object source;
        for (size_t i = 0; i < n; ++i) {
          nb::object entity;
          if (!with_entity) {
            entity = Steal(PyNumber_Remainder(nb::int_(0).ptr(), modulus.ptr()));
          } else if (native_entity) {
            entity = GetItem(hashes, PyInt(static_cast<int64_t>(i)));
            entity = ToInt(entity);
          } else {
            entity = entities.ByTracker(i);
          }
          nb::set pairs;
          pairs.add(pair_id);
          nb::object prov = CallEncode(tracker, pairs, entity, nb::int_(0), tainted, nb::int_(0));
          StoreInt(prov_array, prov_out, i, prov);
          if (i == 0) {
            source = CallMethod(tracker, Interned("create_source_node"), tname, name, prov);
          }
          StoreInt(node_array, node_out, i, source);
          uint32_t word;
          if (ExactWord(prov, &word)) {
            recorder.Word(i, word, prov, op, *values, name);
          } else {
            recorder.Object(i, prov, op, *values, name);
          }
        }
      }
    }
    SetItem(col_prov, col, prov_array);
    SetItem(col_nodes, col, node_array);
    ++j;
  }
  return result;
}

}  // namespace

void RegisterDagContainers(nb::module_& m) {
  g_module = m.ptr();
  g_code = ReadOpCodes(m);
  DefineSeries(m);
  DefineFrame(m);
  m.def("wrap_dataframe_dag", &WrapDataFrameDag, nb::arg("df").none(), nb::arg("tracker").none(),
        nb::arg("table").none(), nb::arg("protected").none() = false,
        nb::arg("include_entity").none() = true,
        "Wrap a DataFrame with DAG-tracked provenance: one source pair and one SOURCE node per\n"
        "column, one provenance value and one recorded value per cell.");
}

}  // namespace lumarq::py
