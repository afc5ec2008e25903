// TrackedSeries, TrackedDataFrame and wrap_dataframe.
//
// The two classes are pandas subclasses built at import with type(); their methods are native
// functions bound like Python functions. Provenance arrays are computed by the backend's batch
// functions, looked up in the module globals at each call so that replacements take effect.
#include <algorithm>
#include <optional>
#include <vector>

#include "backend.h"
#include "containers_support.h"
#include "lumarq/codec.h"
#include "module_parts.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

// The classes live as long as the module; borrowed.
PyObject* g_series = nullptr;
PyObject* g_frame = nullptr;
// The backend's own combine_batch, as bound into the module globals at import.
PyObject* g_native_combine = nullptr;

// OpCode values, fixed when the classes are defined.
ContainerOpCodes g_code;

nb::handle SeriesCls() { return g_series; }
nb::handle FrameCls() { return g_frame; }

nb::object NewSeries(nb::handle values, nb::handle index, nb::handle prov, nb::handle tracker,
                     nb::handle name, bool fresh) {
  return NewTrackedSeries(SeriesCls(), values, index, name, prov, tracker, nb::handle(), fresh);
}

// ---------------------------------------------------------------- TrackedSeries

/// The provenance of a unary step: update_chain_batch with a tracker, else a copy.
nb::object UnaryProv(nb::handle self, nb::handle tracker, nb::handle code) {
  nb::object prov = GetAttr(self, "_prov");
  if (AsBool(tracker)) {
    return AsU32Array(VantorGlobal("update_chain_batch")(GetAttr(tracker, "_rust"), prov, code));
  }
  return CopyOf(prov);
}

/// combine_batch of two tracked operands started before the values' own arithmetic and
/// finished after it, so that the two run on different cores. Only taken when the global
/// combine_batch is the backend's own and the words are native uint32 arrays of one length;
/// otherwise it stays inactive and the ordinary call follows the arithmetic.
class EarlyCombine {
 public:
  // Below this a hand-off to another thread costs more than it saves.
  static constexpr size_t kFrom = size_t{1} << 16;

  EarlyCombine(nb::handle self, nb::handle other, nb::handle code) {
    if (!IsInstance(other, SeriesCls())) return;
    if (VantorGlobal("combine_batch").ptr() != g_native_combine) return;
    nb::object rust, a, b;
    if (!TryGetAttr(self, "_tracker", &tracker_) || !AsBool(tracker_) ||
        !TryGetAttr(tracker_, "_rust", &rust) || !TryGetAttr(self, "_prov", &a) ||
        !TryGetAttr(other, "_prov", &b)) {
      return;
    }
    BackendTracker* backend = NativeBackend(rust);
    nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> va, vb;
    if (backend == nullptr || !nb::try_cast(a, va, false) || !nb::try_cast(b, vb, false) ||
        va.shape(0) != vb.shape(0) || va.shape(0) < kFrom) {
      return;
    }
    const size_t n = va.shape(0);
    uint32_t* out = nullptr;
    out_ = NewU32Array(n, &out);
    a_ = std::move(a);
    b_ = std::move(b);
    job_.emplace(backend->codec, std::span<const uint32_t>(va.data(), n),
                 std::span<const uint32_t>(vb.data(), n),
                 AsOpCode(code), std::span<uint32_t>(out, n));
  }

  ~EarlyCombine() {
    if (job_.has_value()) {
      nb::gil_scoped_release release;
      job_.reset();  // the buffers must outlive the workers' part
    }
  }

  bool active() const { return job_.has_value(); }
  const nb::object& tracker() const { return tracker_; }

  /// The combined words; raises as combine_batch would.
  nb::object Finish() {
    {
      nb::gil_scoped_release release;
      job_->Wait();
    }
    job_.reset();
    return out_;
  }

 private:
  nb::object tracker_, a_, b_, out_;
  std::optional<CombineJob> job_;
};

nb::object BinOp(nb::handle self, nb::handle other, nb::handle op, nb::handle op_code,
                 bool fresh) {
  nb::object code = AsInt(op_code, "op_code");
  CheckOperands(self, other, GetAttr(self, "_tracker"));
  nb::object a = OperandValues(self, self);
  nb::object b = OperandValues(other, other);
  EarlyCombine early(self, other, code);
  nb::object result = op(a, b);
  nb::object new_prov, tracker;
  if (early.active()) {
    new_prov = early.Finish();
    tracker = early.tracker();
  } else if (IsInstance(other, SeriesCls()) && AsBool(tracker = GetAttr(self, "_tracker"))) {
    new_prov = AsU32Array(VantorGlobal("combine_batch")(
        GetAttr(tracker, "_rust"), GetAttr(self, "_prov"), GetAttr(other, "_prov"), code));
  } else {
    new_prov = CopyOf(GetAttr(self, "_prov"));
    tracker = GetAttr(self, "_tracker");
  }
  return NewSeries(result, GetAttr(self, "index"), new_prov, tracker, OpResultName(self, other),
                   fresh);
}

nb::object UnOp(nb::handle self, nb::handle op, nb::handle op_code, bool fresh) {
  nb::object code = AsInt(op_code, "op_code");
  nb::object result = op(OperandValues(self, self));
  nb::object tracker = GetAttr(self, "_tracker");
  nb::object new_prov = UnaryProv(self, tracker, code);
  return NewSeries(result, GetAttr(self, "index"), new_prov, tracker, GetAttr(self, "name"), fresh);
}

// Operators call self._binop / self._unop, so a subclass overriding them is honoured; the
// native body runs directly otherwise and knows that ufunc results are fresh arrays.
nb::object DispatchBinOp(nb::handle self, nb::handle other, const BinaryOperator& op) {
  return OwnOrOverride(
      self, g_series, "_binop", [&] { return BinOp(self, other, op.fn, nb::int_(op.code), true); },
      other, op.fn, op.code);
}

nb::object DispatchUnOp(nb::handle self, nb::handle fn, int code) {
  return OwnOrOverride(
      self, g_series, "_unop", [&] { return UnOp(self, fn, nb::int_(code), true); }, fn, code);
}

void DefineSeries(nb::module_& m) {
  const PyRefs& r = Refs();
  nb::dict ns = SubclassNamespace({"_prov", "_tracker"}, &g_series);
  AddSeriesInit(ns, &g_series, /*nodes=*/false);
  Method(
      ns, "_binop",
      [](nb::handle self, nb::handle other, nb::handle op, nb::handle op_code, nb::kwargs kwargs) {
        // pandas' flex methods (s.add(t), ...) call _binop(other, func, level=, fill_value=).
        if (kwargs.size() != 0) {
          static PyObject* slot;
          nb::handle flex = KeepOnce(&slot, [] { return GlueFn("flex_binop"); });
          return nb::object(flex(self, other, op, **kwargs));
        }
        return BinOp(self, other, op, op_code, false);
      },
      nb::arg("other").none(), nb::arg("op").none(), nb::arg("op_code").none() = g_code.add,
      nb::arg("kwargs"), "Binary operation with taint/depth propagation.");
  Method(
      ns, "_unop",
      [](nb::handle self, nb::handle op, nb::handle op_code) {
        return UnOp(self, op, op_code, false);
      },
      nb::arg("op").none(), nb::arg("op_code").none(), "Unary operation with depth increment.");

  AddBinaryOperators(ns, m, &DispatchBinOp);
  Method(
      ns, "__neg__", [](nb::handle self) { return DispatchUnOp(self, NegOp(self), g_code.neg); });
  AddSeriesGlue(m, "TrackedSeries", ns);

  DefineClass(m, "TrackedSeries", r.pd_series, ns,
              "Pandas Series with VANTOR-32 provenance (taint + depth aware).", &g_series);
}

// ---------------------------------------------------------------- TrackedDataFrame

void DefineFrame(nb::module_& m) {
  const PyRefs& r = Refs();
  nb::dict ns = SubclassNamespace({"_tracker", "_col_prov"}, &g_frame, &g_series);
  AddFrameInitFinalize(ns, &g_frame, {"_col_prov"});
  AddFrameItemAccess(ns, &g_frame, &g_series, "frame_getitem", "frame_setitem");
  Method(
      ns, "merge",
      [](nb::handle self, nb::handle right, nb::args args, nb::kwargs kwargs) {
        static PyObject* slot;
        nb::handle fn = KeepOnce(&slot, [] { return nb::steal(FramesFn("frame_merge")); });
        return fn(FrameCls(), g_code.merge, self, right, args, kwargs);
      },
      nb::arg("right").none(), nb::arg("args"), nb::arg("kwargs"));
  AddFrameGlue(m, "TrackedDataFrame", ns);
  DefineClass(m, "TrackedDataFrame", r.pd_frame, ns, "Pandas DataFrame with VANTOR-32 provenance.",
              &g_frame);
}

// ---------------------------------------------------------------- wrap_dataframe

/// Registers the (table, column) pairs of `df` on `tracker` as wrap_dataframe does and calls
/// `each(column, pair_id, tainted, entity_hashes)` per column, in column order.
template <typename Each>
void RegisterSources(nb::handle df, nb::handle tracker, const nb::str& tname,
                     nb::handle protected_, nb::handle protected_cols, bool with_entity, size_t n,
                     Each&& each) {
  bool flag = false;
  if (protected_cols.is_none()) {
    flag = AsBool(protected_);
    if (flag) {
      CallMethod(GetAttr(tracker, "_protected_tables"), Interned("add"), tname);
      CallMethod(GetAttr(tracker, "_rust"), Interned("mark_table_protected"), tname);
    }
  }
  EntityHashes entities(df, tracker, n, VantorGlobal("MODE_01_ENTITY_BITS"));
  nb::object zeros;
  for (nb::handle col : GetAttr(df, "columns")) {
    nb::str name(col);
    const bool col_protected = protected_cols.is_none() ? flag : Contains(protected_cols, name);
    nb::object pair_id = CallRegister(tracker, tname, name, col_protected);
    const bool tainted = CallIsProtected(tracker, tname, name);
    nb::object hashes;
    if (with_entity) {
      hashes = entities.Next();
    } else {
      if (!zeros.is_valid()) zeros = ZerosU32(n);
      hashes = zeros;
    }
    each(col, pair_id, tainted, hashes);
  }
}

nb::object WrapDataFrame(nb::handle df, nb::handle tracker, nb::handle table,
                         nb::handle protected_, nb::handle include_entity) {
  nb::str tname = AsStr(table, "table");
  RequireFrame(df, "wrap_dataframe");
  const bool with_entity = AsBool(include_entity);
  nb::object names = ProtectedColumns(df, protected_);
  nb::object result = CallKw(FrameCls(), {df}, {{"_tracker", tracker}});
  nb::object col_prov = GetAttr(result, "_col_prov");
  RegisterSources(df, tracker, tname, protected_, names, with_entity, Len(df),
                  [&](nb::handle col, nb::handle pair_id, bool tainted, nb::handle hashes) {
                    nb::object prov = AsU32Array(VantorGlobal("encode_source_column")(
                        GetAttr(tracker, "_rust"), pair_id, hashes, nb::bool_(tainted)));
                    SetItem(col_prov, col, prov);
                  });
  return result;
}

/// The words wrap_dataframe gives every column of `df`, registered the same way, as one
/// (columns * rows) block: row k*n..(k+1)*n-1 holds column k. One allocation for the frame,
/// filled without the GIL once the pairs are registered.
nb::object SourceWords(nb::handle df, nb::handle tracker, nb::handle table,
                       nb::handle protected_) {
  nb::str tname = AsStr(table, "table");
  RequireFrame(df, "source_words");
  nb::object names = ProtectedColumns(df, protected_);
  const size_t n = Len(df);
  struct Column {
    uint32_t pair_id;
    bool taint;
    U32View hashes;
  };
  std::vector<Column> columns;
  RegisterSources(df, tracker, tname, protected_, names, /*with_entity=*/true, n,
                  [&](nb::handle, nb::handle pair_id, bool tainted, nb::handle hashes) {
                    columns.push_back({AsPairId(pair_id, "pair_id"), tainted,
                                       U32View(hashes, "entity_hashes")});
                    if (columns.back().hashes.size() != n) {
                      throw nb::value_error("entity hashes differ in length from the frame");
                    }
                  });
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(columns.size() * n, &out);
  {
    nb::gil_scoped_release release;
    for (size_t k = 0; k < columns.size(); ++k) {
      EncodeSourceColumn(columns[k].pair_id, columns[k].hashes.span(), columns[k].taint,
                         {out + k * n, n});
    }
  }
  return result;
}

}  // namespace

void RegisterTrackedContainers(nb::module_& m) {
  g_native_combine = nb::object(m.attr("combine_batch")).ptr();  // the module keeps it alive
  g_code = ReadOpCodes(m);
  RegisterWordHelpers(m);

  DefineSeries(m);
  DefineFrame(m);
  m.def("wrap_dataframe", &WrapDataFrame, nb::arg("df").none(), nb::arg("tracker").none(),
        nb::arg("table").none(), nb::arg("protected").none() = false,
        nb::arg("include_entity").none() = true,
        "Wrap a DataFrame with VANTOR-32 provenance. Sets taint for protected columns.");
  m.def("source_words", &SourceWords, nb::arg("df").none(), nb::arg("tracker").none(),
        nb::arg("table").none(), nb::arg("protected").none() = false,
        "The words wrap_dataframe gives each column, registered the same way, as one flat "
        "uint32 block of columns x rows.");
}

}  // namespace lumarq::py
