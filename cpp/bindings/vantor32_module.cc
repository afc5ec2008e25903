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

/// A function of lumarq.utilities._module_init, which defines the module's plain Python names.
nb::object ModuleInit(const char* name) {
  return ImportAttr("lumarq.utilities._module_init", name);
}

}  // namespace
}  // namespace lumarq::py

LUMARQ_MODULE(vantor32, m) {
  using namespace lumarq::py;
  m.doc() = kModuleDoc;
  ModuleInit("vantor32_imports")(m);
  SetVantorModule(m);
  ModuleInit("vantor32_definitions")(m);
  m.def(
      "_hash_entity", [](nb::handle row_id) { return HashEntity(row_id); },
      nb::arg("row_id").none(), "Hash a row identifier to entity bits.");
  RegisterTracker(m);
  RegisterTrackedContainers(m);
  RegisterAudits(m);
}
