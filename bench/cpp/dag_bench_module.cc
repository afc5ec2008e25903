// Benchmark driver for node creation from C++: the shape of the node appends of the DAG-tracked
// containers (one binary node per row, ids and provenance from arrays), without their provenance
// and row-value work. Built for benchmarks only (LUMARQ_BUILD_BENCH); never installed.
#include <vector>

#include "common.h"
#include "dag_tracker.h"

namespace lumarq::py {
namespace {

nb::object CreateBinaryNodes(nb::handle tracker, nb::handle op_name, I64Array left, I64Array right,
                             U32Array provenance) {
  nb::str op = AsStr(op_name, "op_name");
  const size_t n = provenance.shape(0);
  if (left.shape(0) != n || right.shape(0) != n) throw nb::value_error("arrays differ in length");
  // Checked once per operation, as the containers do; each row then creates its node natively.
  if (!LogBinaryIsNative(tracker)) throw nb::type_error("log_binary is overridden on this tracker");
  int64_t* out = nullptr;
  nb::object ids = NewI64Array(n, &out);
  // The containers append whole blocks where the tracker allows it (with a writer: shipped to it
  // as column slices), and fall back to one node at a time otherwise.
  NodeAppender appender(tracker);
  if (appender.ok()) {
    std::vector<int64_t> inputs(2 * n);
    for (size_t i = 0; i < n; ++i) {
      inputs[2 * i] = left.data()[i];
      inputs[2 * i + 1] = right.data()[i];
    }
    appender.Append(NodeKind::kBinary, op, n, inputs.data(), 2, provenance.data(), out);
    return ids;
  }
  for (size_t i = 0; i < n; ++i) {
    const int64_t inputs[2] = {left.data()[i], right.data()[i]};
    out[i] = CreateNodeFast(tracker, NodeKind::kBinary, op, inputs, 2, provenance.data()[i]);
  }
  return ids;
}

/// record_row_value(rows[i], fingerprints[i], op, values[i], column) for every i through the C++
/// entry point the containers use: the record type is imported once per call.
void RecordRowValues(nb::handle tracker, I64Array rows, U32Array fingerprints, nb::handle op_name,
                     nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu> values,
                     nb::handle column_name) {
  nb::str op = AsStr(op_name, "op_name");
  nb::object column = AsOptStr(column_name, "column_name");
  const size_t n = rows.shape(0);
  if (fingerprints.shape(0) != n || values.shape(0) != n) {
    throw nb::value_error("arrays differ in length");
  }
  if (!RecordRowValueIsNative(tracker)) {
    throw nb::type_error("record_row_value is overridden on this tracker");
  }
  const RowRecordMaker maker;
  for (size_t i = 0; i < n; ++i) {
    nb::object value = nb::steal(PyFloat_FromDouble(values.data()[i]));
    if (!value.is_valid()) throw nb::python_error();
    RecordRowValueFast(tracker, maker, rows.data()[i], fingerprints.data()[i], op, value, column,
                       /*defer_trim=*/true);
  }
  TrimRowBuffer(tracker);
}

}  // namespace
}  // namespace lumarq::py

NB_MODULE(_dag_bench, m) {
  m.def("create_binary_nodes", &lumarq::py::CreateBinaryNodes, nb::arg("tracker").none(),
        nb::arg("op_name").none(), nb::arg("left"), nb::arg("right"), nb::arg("provenance"),
        "One BINARY node per row through the C++ entry point; returns the new ids.");
  m.def("record_row_values", &lumarq::py::RecordRowValues, nb::arg("tracker").none(),
        nb::arg("rows"), nb::arg("fingerprints"), nb::arg("op_name").none(), nb::arg("values"),
        nb::arg("column_name").none() = nb::none(),
        "One row value per element through the C++ entry point of record_row_value.");
}
