// lumarq.utilities.vantor32: the provenance word, its constants and operation codes, the
// tracker, the tracked pandas containers and the audit reports.
#include "module_parts.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

constexpr const char* kModuleDoc =
    "VANTOR-32: 32-bit Provenance Encoding with Gradient Taint Model.\n"
    "\n"
    "Every row value of a tracked column carries one unsigned 32-bit provenance word:\n"
    "\n"
    "    bits 31-30  mode    payload layout (00 exact 0/1 pair, 01 exact 2 pairs,\n"
    "                        10 exact 3 pairs, 11 dense 4+ pairs)\n"
    "    bit  29     taint   derives from a protected attribute (propagates by OR)\n"
    "    bits 28-26  depth   derivation distance from the source, 0-7, saturating\n"
    "    bits 25-0   payload mode-specific:\n"
    "        00: pair_data:10 | entity:8 | chain:8   (pair_data 0 = no pair)\n"
    "        01: pair_index:17 | entity:5 | chain:4\n"
    "        10: pair_combo:25 | reserved:1\n"
    "        11: signature:26 (dictionary id of the pair set)\n"
    "\n"
    "Algebra: pairs are united, entity hashes combined by XOR, chain hashes by a hash\n"
    "combine, taint by OR, and depth becomes max(depth(a), depth(b)) + 1, saturating at 7.\n"
    "A unary operation keeps pairs and taint and adds 1 to depth.\n"
    "Risk is taint(p) x 1/(1 + depth(p)).";

constexpr const char* kBackendMissing =
    "VANTOR-32 Rust extension not found. Build it with: python tools/build_rust.py\n"
    "For the pure Python fallback, install from the python-vantor32-pure branch.";

constexpr const char* kBackendNames[] = {"RustProvenanceTracker", "combine_batch",
                                         "update_chain_batch",    "encode_source_column",
                                         "is_tainted_batch",      "risk_score_batch",
                                         "explain_batch"};

// Re-raises the pending import failure as the module's own ImportError, with the failure kept
// as its context (as a raise inside an except block would).
[[noreturn]] void RaiseBackendMissing() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyObject* err = PyObject_CallFunction(PyExc_ImportError, "s", kBackendMissing);
  if (err == nullptr) {
    Py_XDECREF(value);
    throw nb::python_error();
  }
  if (value != nullptr) PyException_SetContext(err, value);  // steals value
  PyErr_SetObject(PyExc_ImportError, err);
  Py_DECREF(err);
  throw nb::python_error();
}

void BindBackend(nb::module_& m) {
  PyObject* backend = PyImport_ImportModule("lumarq._vantor32");
  if (backend == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_ImportError)) RaiseBackendMissing();
    throw nb::python_error();
  }
  nb::object mod = nb::steal(backend);
  for (const char* name : kBackendNames) {
    PyObject* attr = PyObject_GetAttrString(backend, name);
    if (attr == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'lumarq._vantor32'", name);
      RaiseBackendMissing();
    }
    m.attr(name) = nb::steal(attr);
  }
}

void BindConstants(nb::module_& m) {
  m.attr("MAX_PAIRS") = 512;
  m.attr("MODE_01") = 0;
  m.attr("MODE_2") = 1;
  m.attr("MODE_3") = 2;
  m.attr("MODE_DENSE") = 3;
  m.attr("HEADER_BITS") = 6;
  m.attr("PAYLOAD_BITS") = 26;
  m.attr("MODE_SHIFT") = 30;
  m.attr("TAINT_SHIFT") = 29;
  m.attr("DEPTH_SHIFT") = 26;
  m.attr("PAYLOAD_MASK") = (1 << 26) - 1;
  m.attr("MODE_01_PAIR_BITS") = 10;
  m.attr("MODE_01_ENTITY_BITS") = 8;
  m.attr("MODE_01_CHAIN_BITS") = 8;
  m.attr("MODE_2_PAIR_BITS") = 17;
  m.attr("MODE_2_ENTITY_BITS") = 5;
  m.attr("MODE_2_CHAIN_BITS") = 4;
  m.attr("MODE_3_PAIR_BITS") = 25;
  m.attr("MODE_DENSE_SIG_BITS") = 26;
  m.attr("MAX_DEPTH") = 7;
}

void BindOpCode(nb::module_& m) {
  nb::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = "OpCode";
  ns["__doc__"] = "Operation codes for chain hash computation.";
  const std::pair<const char*, int> codes[] = {
      {"RAW", 0}, {"ADD", 1}, {"SUB", 2},   {"MUL", 3},    {"DIV", 4},  {"NEG", 5},     {"CLIP", 6},
      {"FILL", 7}, {"MAP", 8}, {"CMP", 9}, {"MERGE", 10}, {"AGG", 11}, {"CUSTOM", 15}};
  for (const auto& [name, value] : codes) ns[name] = value;
  nb::object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
  m.attr("OpCode") = type("OpCode", nb::make_tuple(nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), ns);
}

void BindProvenanceInfo(nb::module_& m) {
  nb::module_ typing = nb::module_::import_("typing");
  nb::object set_int = typing.attr("Set")[nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type))];
  auto builtin = [](PyTypeObject* t) { return nb::borrow(reinterpret_cast<PyObject*>(t)); };
  nb::list fields;
  fields.append(nb::make_tuple("pairs", set_int));
  fields.append(nb::make_tuple("entity", builtin(&PyLong_Type)));
  fields.append(nb::make_tuple("chain", builtin(&PyLong_Type)));
  fields.append(nb::make_tuple("taint", builtin(&PyBool_Type)));
  fields.append(nb::make_tuple("depth", builtin(&PyLong_Type)));
  fields.append(nb::make_tuple("mode", builtin(&PyUnicode_Type)));
  nb::object info = typing.attr("NamedTuple")("ProvenanceInfo", fields);
  info.attr("__module__") = m.attr("__name__");
  info.attr("__doc__") = "Full decoded provenance — includes taint and depth from header.";
  m.attr("ProvenanceInfo") = info;
}

}  // namespace
}  // namespace lumarq::py

LUMARQ_MODULE(vantor32, m) {
  using namespace lumarq::py;
  m.doc() = kModuleDoc;
  nb::module_ typing = nb::module_::import_("typing");
  for (const char* name : {"Any", "Dict", "List", "NamedTuple", "Optional", "Set", "Tuple"}) {
    m.attr(name) = typing.attr(name);
  }
  m.attr("math") = nb::module_::import_("math");
  m.attr("np") = nb::module_::import_("numpy");
  m.attr("pd") = nb::module_::import_("pandas");

  BindBackend(m);
  SetVantorModule(m);
  BindConstants(m);
  BindOpCode(m);
  BindProvenanceInfo(m);
  m.def(
      "_hash_entity", [](nb::handle row_id) { return HashEntity(row_id); },
      nb::arg("row_id").none(), "Hash a row identifier to entity bits.");
  RegisterTracker(m);
  RegisterTrackedContainers(m);
  RegisterAudits(m);
}
