// audit, audit_series_diversity, provenance_entropy and column_risk_report: reports over the
// provenance arrays of tracked containers. They read `_tracker`, `_prov`, `_col_prov` and
// `columns` only, so any object with those attributes works.
#include <span>
#include <vector>

#include "containers_support.h"
#include "lumarq/audit_kernels.h"
#include "module_parts.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

PyObject* g_get_depth = nullptr;  // ProvenanceTracker.get_depth as registered (borrowed)

/// The words of `v` as one contiguous run: the view itself, or a copy in `buf` when strided.
std::span<const uint32_t> Contiguous(const ArrayView<uint32_t>& v, std::vector<uint32_t>* buf) {
  if (v.stride == 1) return {v.data, v.size};
  buf->resize(v.size);
  for (size_t i = 0; i < v.size; ++i) (*buf)[i] = v[i];
  return *buf;
}

/// Series and frames of the provenance dtype as the words and tracker the audits read; any
/// other object unchanged.
nb::object AuditInput(nb::handle obj) {
  static nb::handle view = ImportAttr("lumarq.dtype", "_audit_view").release();  // leaked
  return view(obj);
}

constexpr const char* kTrackedSeries =
    "a tracked Series (a column of a wrapped frame, or of the provenance dtype)";

nb::dict ErrorRecord() {
  nb::dict out;
  out["error"] = "No tracker or empty series";
  return out;
}

/// The series' tracker when it is truthy and the series is not empty.
bool Audited(nb::handle series, nb::object* tracker) {
  *tracker = GetAttr(series, "_tracker");
  return AsBool(*tracker) && Len(series) != 0;
}

nb::object ToInt(nb::handle value) {
  PyObject* r = PyNumber_Long(value.ptr());
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

nb::object Sorted(nb::handle iterable) {
  PyObject* list = PySequence_List(iterable.ptr());
  if (!list || PyList_Sort(list) < 0) {
    Py_XDECREF(list);
    throw nb::python_error();
  }
  return nb::steal(list);
}

bool Greater(nb::handle a, nb::handle b) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
  if (r < 0) throw nb::python_error();
  return r != 0;
}

/// The native codec when decode_full is not overridden and `_rust` is the native backend.
BackendTracker* NativeDecoder(nb::handle tracker) {
  ProvenanceTracker* t = TrackerPtr(tracker);
  if (t == nullptr || !UsesNative(tracker, Interned("decode_full"), TrackerType())) return nullptr;
  return t->native_backend();
}

nb::object FloatRatio(size_t num, size_t den) {
  return nb::float_(static_cast<double>(num) / static_cast<double>(den));
}

// ---------------------------------------------------------------- audit

nb::object Audit(nb::handle series_arg) {
  nb::object series = AuditInput(series_arg);
  if (!HasAttrs(series, {"_tracker", "_prov"})) return ErrorRecord();  // untracked input
  nb::object tracker;
  if (!Audited(series, &tracker)) return ErrorRecord();
  nb::object prov = ToInt(nb::object(GetAttr(series, "_prov")[0]));
  nb::object info = CallDecodeFull(tracker, prov);
  nb::object pairs = GetAttr(info, "pairs");
  nb::dict out;
  out["provenance"] = HexText(prov);
  out["mode"] = GetAttr(info, "mode");
  out["pair_count"] = nb::int_(Len(pairs));
  out["pair_ids"] = Sorted(pairs);
  out["columns"] = CallExplain(tracker, prov);
  out["tables"] = CallExplainTables(tracker, prov);
  out["entity"] = GetAttr(info, "entity");
  out["chain"] = GetAttr(info, "chain");
  out["taint"] = GetAttr(info, "taint");
  out["depth"] = GetAttr(info, "depth");
  out["risk"] = CallRiskScore(tracker, prov);
  if (UsesNative(tracker, Interned("has_protected"), TrackerType())) {
    out["has_protected"] = nb::bool_(CallHasProtected(tracker, prov));
  } else {
    out["has_protected"] = CallMethod(tracker, Interned("has_protected"), prov);
  }
  return out;
}

// ---------------------------------------------------------------- audit_series_diversity

nb::dict DiversityRecord(size_t rows, size_t unique, size_t pairs, size_t entities, size_t chains,
                         size_t tainted, nb::handle max_depth) {
  nb::dict out;
  out["total_rows"] = nb::int_(rows);
  out["unique_provenances"] = nb::int_(unique);
  out["unique_pair_sets"] = nb::int_(pairs);
  out["unique_entities"] = nb::int_(entities);
  out["unique_chains"] = nb::int_(chains);
  out["entity_diversity"] = FloatRatio(entities, rows);
  out["tainted_provenances"] = nb::int_(tainted);
  out["taint_ratio"] = unique != 0 ? FloatRatio(tainted, unique) : nb::object(nb::int_(0));
  out["max_depth"] = max_depth;
  return out;
}

nb::object AuditSeriesDiversity(nb::handle series_arg) {
  nb::object series = AuditInput(series_arg);
  if (!HasAttrs(series, {"_tracker", "_prov"})) return ErrorRecord();  // untracked input
  nb::object tracker;
  if (!Audited(series, &tracker)) return ErrorRecord();
  const size_t rows = Len(series);
  nb::object prov = GetAttr(series, "_prov");

  ArrayView<uint32_t> view;
  BackendTracker* native = NativeDecoder(tracker);
  if (native != nullptr && TryArrayView(prov, &view)) {
    std::vector<uint32_t> buf;
    const Diversity d = DiversityOf(native->codec, Contiguous(view, &buf));
    return DiversityRecord(rows, d.unique, d.pairs, d.entities, d.chains, d.tainted,
                           nb::int_(d.max_depth));
  }

  nb::set unique;
  for (nb::handle p : prov) unique.add(ToInt(p));
  nb::set pair_ids, entities, chains;
  size_t tainted = 0;
  nb::object max_depth = nb::int_(0);
  for (nb::handle value : unique) {
    nb::object info = CallDecodeFull(tracker, value);
    for (nb::handle pid : GetAttr(info, "pairs")) pair_ids.add(pid);
    entities.add(GetAttr(info, "entity"));
    chains.add(GetAttr(info, "chain"));
    if (AsBool(GetAttr(info, "taint"))) ++tainted;
    nb::object depth = GetAttr(info, "depth");
    if (Greater(depth, max_depth)) max_depth = depth;
  }
  return DiversityRecord(rows, Len(unique), Len(pair_ids), Len(entities), Len(chains), tainted,
                         max_depth);
}

// ---------------------------------------------------------------- provenance_entropy

double ProvenanceEntropy(nb::handle series_arg) {
  nb::object series = AuditInput(series_arg);
  if (!HasAttrs(series, {"_prov"})) RaiseExpected("provenance_entropy", kTrackedSeries, series);
  const size_t rows = Len(series);
  if (rows == 0) return 0.0;
  nb::object prov = GetAttr(series, "_prov");
  ArrayView<uint32_t> view;
  if (TryArrayView(prov, &view)) {
    std::vector<uint32_t> buf;
    return WordEntropy(Contiguous(view, &buf));
  }
  nb::dict counts;  // insertion-ordered
  for (nb::handle p : prov) {
    nb::object key = ToInt(p);
    PyObject* seen = PyDict_GetItemWithError(counts.ptr(), key.ptr());
    if (seen == nullptr && PyErr_Occurred()) throw nb::python_error();
    counts[key] = nb::int_(seen ? PyLong_AsSize_t(seen) + 1 : 1);
  }
  std::vector<uint64_t> ordered;
  for (nb::handle c : counts.values()) ordered.push_back(nb::cast<uint64_t>(c));
  return EntropyOf(ordered, rows);
}

// ---------------------------------------------------------------- column_risk_report

const char* RiskLevel(double r) {
  if (r > 0.5) return "HIGH";
  if (r > 0.2) return "MEDIUM";
  if (r > 0) return "LOW";
  return "CLEAN";
}

nb::dict RiskRecord(nb::handle col, nb::handle tainted, nb::handle max_risk, nb::handle min_depth,
                    const char* level) {
  nb::dict out;
  out["column"] = col;
  out["tainted"] = tainted;
  out["max_risk"] = max_risk;
  out["min_depth"] = min_depth;
  out["risk_level"] = level;
  return out;
}

/// Smallest depth among the tainted values: a native scan when the arrays allow it and
/// ProvenanceTracker.get_depth is the native one, else prov[taint] decoded value by value.
nb::object MinTaintedDepth(nb::handle prov, nb::handle taint) {
  nb::handle cls = VantorGlobal("ProvenanceTracker");
  ArrayView<uint32_t> words;
  ArrayView<bool> flags;
  if (cls.ptr() == reinterpret_cast<PyObject*>(TrackerType()) &&
      _PyType_Lookup(TrackerType(), Interned("get_depth").ptr()) == g_get_depth &&
      TryArrayView(prov, &words) && TryArrayView(taint, &flags) && words.size == flags.size) {
    uint32_t best = 8;  // above every depth: no tainted value seen
    if (words.stride == 1 && flags.stride == 1) {
      const uint32_t* w = words.data;
      const bool* f = flags.data;
      for (size_t i = 0; i < words.size; ++i) best = std::min(best, f[i] ? DepthOf(w[i]) : 8u);
    } else {
      for (size_t i = 0; i < words.size; ++i) {
        if (flags[i]) best = std::min(best, DepthOf(words[i]));
      }
    }
    if (best <= kMaxDepth) return nb::int_(best);
  }
  const PyRefs& r = Refs();
  nb::object get_depth = GetAttr(cls, "get_depth");
  nb::list depths;
  for (nb::handle p : GetItem(prov, taint)) depths.append(get_depth(ToInt(p)));
  return ToInt(r.np_min(r.np_array(depths)));
}

nb::list ColumnRiskReport(nb::handle df_arg, nb::handle tracker_arg) {
  nb::object df = AuditInput(df_arg);
  if (!HasAttrs(df, {"_col_prov", "columns"})) {
    RaiseExpected("column_risk_report", "a tracked frame (from wrap_dataframe, wrap_dataframe_dag or lumarq.track)",
                  df);
  }
  nb::object tracker = nb::borrow(tracker_arg);
  if (tracker.is_none()) tracker = GetAttr(df, "_tracker");
  nb::list records;
  if (tracker.is_none()) return records;
  const PyRefs& r = Refs();
  // A column without stored words (a plain value assigned into the frame) has unknown
  // provenance: reported as such after the others, never as clean.
  nb::list untracked;
  for (nb::handle col : GetAttr(df, "columns")) {
    nb::object col_prov = GetAttr(df, "_col_prov");
    if (!Contains(col_prov, col)) {
      untracked.append(RiskRecord(col, nb::none(), nb::none(), nb::none(), "UNTRACKED"));
      continue;
    }
    nb::object prov = GetItem(col_prov, col);
    nb::object taint = r.np_asarray(VantorGlobal("is_tainted_batch")(prov));
    const bool any_taint = AsBool(r.np_any(taint));
    double max_risk = 0.0;
    nb::object min_depth = nb::none();
    if (any_taint) {
      nb::object risk = r.np_asarray(VantorGlobal("risk_score_batch")(prov));
      nb::object peak = nb::steal(PyNumber_Float(r.np_max(risk).ptr()));
      if (!peak.is_valid()) throw nb::python_error();
      max_risk = PyFloat_AsDouble(peak.ptr());
      min_depth = MinTaintedDepth(prov, taint);
    }
    records.append(RiskRecord(col, nb::bool_(any_taint), r.round(nb::float_(max_risk), 4), min_depth,
                              RiskLevel(max_risk)));
  }
  // Stable, so equal risks keep the column order.
  CallKw(GetAttr(records, "sort"), {}, {{"key", r.itemgetter("max_risk")}, {"reverse", Py_True}});
  for (nb::handle record : untracked) records.append(record);
  return records;
}

}  // namespace

void RegisterAudits(nb::module_& m) {
  g_get_depth = _PyType_Lookup(TrackerType(), Interned("get_depth").ptr());
  m.def("audit", &Audit, nb::arg("series").none());
  m.def("audit_series_diversity", &AuditSeriesDiversity, nb::arg("series").none());
  m.def("provenance_entropy", &ProvenanceEntropy, nb::arg("series").none());
  m.def("column_risk_report", &ColumnRiskReport, nb::arg("df").none(),
        nb::arg("tracker").none() = nb::none());
}

}  // namespace lumarq::py
