// The native scans of the audits (audit, audit_series_diversity, provenance_entropy and
// column_risk_report, written in lumarq.utilities._audits): the diversity counts, the entropy
// and the smallest tainted depth of a column's words.
#include <span>
#include <vector>

#include "containers_support.h"
#include "lumarq/audit_kernels.h"
#include "module_parts.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

PyObject* g_get_depth = nullptr;  // ProvenanceTracker.get_depth as registered (borrowed)

// The reports themselves (records, per-row fallbacks through the tracker's methods).
constexpr const char* kAudits = "lumarq.utilities._audits";

/// The words of `v` as one contiguous run: the view itself, or a copy in `buf` when strided.
std::span<const uint32_t> Contiguous(const ArrayView<uint32_t>& v, std::vector<uint32_t>* buf) {
  if (v.stride == 1) return {v.data, v.size};
  buf->resize(v.size);
  for (size_t i = 0; i < v.size; ++i) (*buf)[i] = v[i];
  return *buf;
}

/// (unique, pair sets, entities, chains, tainted, max depth) of the words of a 1-d uint32
/// array, counted natively; None when the tracker does not decode natively or `prov` is another
/// sequence (the audit then decodes value by value in Python).
nb::object DiversityCounts(nb::handle tracker, nb::handle prov) {
  ArrayView<uint32_t> view;
  nb::object hold;
  Codec* codec = NativeMethod(tracker, "decode_full") ? NativeCodec(tracker, &hold) : nullptr;
  if (codec == nullptr || !TryArrayView(prov, &view)) return nb::none();
  std::vector<uint32_t> buf;
  const Diversity d = DiversityOf(*codec, Contiguous(view, &buf));
  return nb::make_tuple(d.unique, d.pairs, d.entities, d.chains, d.tainted, d.max_depth);
}

/// The entropy of the words of a 1-d uint32 array; None for any other sequence.
nb::object WordEntropyOf(nb::handle prov) {
  ArrayView<uint32_t> view;
  if (!TryArrayView(prov, &view)) return nb::none();
  std::vector<uint32_t> buf;
  return nb::float_(WordEntropy(Contiguous(view, &buf)));
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

}  // namespace

void RegisterAudits(nb::module_& m) {
  g_get_depth = _PyType_Lookup(TrackerType(), Interned("get_depth").ptr());
  nb::object audits = ImportAttr(kAudits, "public")(m.attr("__name__"));
  if (PyDict_Update(PyModule_GetDict(m.ptr()), audits.ptr()) < 0) throw nb::python_error();
  m.def("_diversity_counts", &DiversityCounts, nb::arg("tracker").none(), nb::arg("prov").none());
  m.def("_word_entropy", &WordEntropyOf, nb::arg("prov").none());
  m.def("_min_tainted_depth", &MinTaintedDepth, nb::arg("prov").none(), nb::arg("taint").none());
}

}  // namespace lumarq::py
