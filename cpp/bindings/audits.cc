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

// The orchestration of the reports (records, per-row fallbacks through the tracker's methods).
constexpr const char* kAudits = "lumarq.utilities._audits";

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

/// The native codec when decode_full is not overridden and `_rust` is the native backend.
BackendTracker* NativeDecoder(nb::handle tracker) {
  ProvenanceTracker* t = TrackerPtr(tracker);
  if (t == nullptr || !UsesNative(tracker, Interned("decode_full"), TrackerType())) return nullptr;
  return t->native_backend();
}

// ---------------------------------------------------------------- audit

// One row, through the tracker's methods: written in Python (lumarq.utilities._audits).
nb::object Audit(nb::handle series) { return ImportAttr(kAudits, "audit")(series); }

// ---------------------------------------------------------------- audit_series_diversity

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
    return ImportAttr(kAudits, "diversity_record")(rows, d.unique, d.pairs, d.entities, d.chains,
                                                   d.tainted, d.max_depth);
  }
  // Decoded value by value through the tracker's decode_full.
  return ImportAttr(kAudits, "series_diversity")(tracker, prov, rows);
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
  // Other sequences: the counts of their values as ints, in first-seen order, from Python.
  std::vector<uint64_t> ordered;
  for (nb::handle c : ImportAttr(kAudits, "value_counts")(prov)) {
    ordered.push_back(nb::cast<uint64_t>(c));
  }
  return EntropyOf(ordered, rows);
}

// ---------------------------------------------------------------- column_risk_report

/// Smallest depth among the tainted values: a native scan when the arrays allow it and
/// ProvenanceTracker.get_depth is the native one, else prov[taint] decoded value by value.
nb::object MinTaintedDepth(nb::handle prov, nb::handle taint) {
  nb::handle cls = VantorGlobal("ProvenanceTracker");
  ArrayView<uint32_t> words;
  ArrayView<bool> flags;
  if (cls.ptr() == reinterpret_cast<PyObject*>(TrackerType()) &&
      _PyType_Lookup(TrackerType(), Interned("get_depth").ptr()) == g_get_depth &&
      TryArrayView(prov, &words) && TryArrayView(taint, &flags) && words.size == flags.size) {
    const uint32_t best = words.stride == 1 && flags.stride == 1
                              ? MinFlaggedDepth(words.data, flags.data, words.size)
                              : MinFlaggedDepth(words, flags, words.size);
    if (best <= kMaxDepth) return nb::int_(best);
  }
  return ImportAttr(kAudits, "min_depth_by_values")(cls, prov, taint);
}

// Per column, orchestration of the batch functions: written in Python
// (lumarq.utilities._audits), with the depth scan handed over.
nb::object ColumnRiskReport(nb::handle df_arg, nb::handle tracker_arg) {
  nb::object df = AuditInput(df_arg);
  if (!HasAttrs(df, {"_col_prov", "columns"})) {
    RaiseExpected("column_risk_report", "a tracked frame (from wrap_dataframe, wrap_dataframe_dag or lumarq.track)",
                  df);
  }
  return ImportAttr(kAudits, "column_risk_report")(
      df, tracker_arg, nb::cpp_function(&MinTaintedDepth));
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
