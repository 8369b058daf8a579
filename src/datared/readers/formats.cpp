// The table of reflection-file formats in the wizard's order.
#include "datared/readers/formats.hpp"

#include <array>

#include "datared/readers/cif_hkl.hpp"
#include "datared/readers/fullprof.hpp"
#include "datared/readers/general.hpp"
#include "datared/readers/oxford_rigaku.hpp"
#include "datared/readers/saint.hpp"
#include "datared/readers/shelx.hpp"
#include "datared/readers/stoe.hpp"
#include "datared/readers/tarn_m90.hpp"
#include "datared/readers/xd.hpp"
#include "datared/readers/xds.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Entries listed by the wizard for which no reader exists (yet).
constexpr ImpFormatEntry Listed(int code, std::string_view label, std::string_view filter) {
  return ImpFormatEntry{code, label, filter};
}

constexpr std::array kTable = {
    // Diffractometers: codes 1 ..
    Listed(1, "&Nonius-CCD", "*.hkl"),
    kImpFmtBrukerCCD,
    kImpFmtBrukerCCDRaw,
    kImpFmtOxfordCCD,
    kImpFmtRigakuCCD,
    kImpFmtIpdsStoe,
    Listed(7, "D&9-ILL, D23 or Trics-Zebra", "*.col;*.lis"),
    Listed(8, "HeiDi", "*.hkl"),
    Listed(9, "ILL-&Vivaldi", "*.hkl"),
    Listed(10, "ISIS S&XD", "*.int"),
    Listed(11, "&TOPAZ", "*.hkl;*.hklm"),
    Listed(12, "&Koala at ANSTO", "*.hkl"),
    Listed(13, "SCD-L&ANL", "*.hkl"),
    Listed(14, "Hasylab &F1", "*.raw"),
    Listed(15, "Hasylab &HUBER", "*.hkl"),
    kImpFmtXds,
    Listed(17, "&6T2 LBB", "*.hkl"),
    Listed(18, "&Lumo electron diffractometer", "*.cif_lumo"),
    Listed(19, "SEN&JU TOF", "*.integrate"),
    Listed(20, "Polari&zed neutrons", "*.fr"),
    kImpFmtShelxINoAbs,
    // Other programs: codes kImpProgramBase + 1 ..
    kImpFmtShelxF,
    kImpFmtShelxI,
    kImpFmtShelxHklf5,
    kImpFmtIpdsStoeProg,
    kImpFmtCCDBruker,
    kImpFmtCif,
    Listed(kImpProgramBase + 7, "From G&raindex file", "*.log"),
    kImpFmtFullProf,
    kImpFmtXD,
    kImpFmtTarnM90,
    kImpFmtGeneralF,
    kImpFmtGeneralI,
};

// The codes follow the order: i-th diffractometer i, j-th program base + j.
constexpr bool CodesInOrder() {
  int d = 0, p = 0;
  for (const ImpFormatEntry& e : kTable)
    if (e.Code != (e.Code > kImpProgramBase ? kImpProgramBase + ++p : ++d)) return false;
  return true;
}
static_assert(CodesInOrder(), "format codes must follow the order of the table");

}  // namespace

std::span<const ImpFormatEntry> ImpFormats() {
  return kTable;
}

const ImpFormatEntry* ImpFormatOfCode(int code) {
  for (const ImpFormatEntry& e : kTable)
    if (e.Code == code) return &e;
  return nullptr;
}

std::string ImpPlainLabel(std::string_view label) {
  std::string s;
  for (char c : label)
    if (c != '&') s += c;
  return s;
}

const ImpFormatEntry* ImpFormatOfLabel(std::string_view label) {
  const std::string want = ImpPlainLabel(Trim(label));
  for (const bool exact : {true, false})
    for (const ImpFormatEntry& e : kTable) {
      const std::string p = ImpPlainLabel(e.Label);
      if (exact ? p == want : EqIgnoreCase(p, want)) return &e;
    }
  return nullptr;
}

std::vector<std::string> ImpReadableLabels() {
  std::vector<std::string> out;
  for (const ImpFormatEntry& e : kTable)
    if (e.Readable()) out.push_back(ImpPlainLabel(e.Label));
  return out;
}

}  // namespace tarn
