// Structure model from a CIF: see cif_model.hpp and docs/model-import.md.
#include "importers/cif_model.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <map>
#include <optional>
#include <utility>

#include "importers/import_common.hpp"
#include "importers/shelx_model.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/batch_edit.hpp"
#include "model/keys.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/spgroup_home.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"
#include "symmetry/site.hpp"
#include "util/cif_syntax.hpp"
#include "util/numbers.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kB2U = 1. / (8. * kPi * kPi);  // Uiso = Biso / (8 pi^2)
constexpr double kDefaultUiso = 0.05;           // Angstrom^2, atoms without a value
constexpr double kLambdaMo = 0.71073;           // Mo K-alpha (weighted mean), Angstrom
constexpr double kLambdaCu = 1.54184;           // Cu K-alpha (weighted mean), Angstrom
constexpr size_t kTypeLen = 7;
constexpr size_t kNameLen = 8;

using Names = std::initializer_list<std::string_view>;

template <class R>
const CifValue* FindAny(const CifBlock& b, const R& names) {
  for (auto n : names)
    if (const CifValue* v = b.Find(n)) return v;
  return nullptr;
}
const CifValue* FindAny(const CifBlock& b, Names names) {
  return FindAny<Names>(b, names);
}
int ColAny(const CifLoop& l, Names names) {
  for (auto n : names)
    if (int c = l.Column(n); c >= 0) return c;
  return -1;
}

// Element symbol of a type or label: a letter and an optional lower-case
// letter ("Ti4+" -> "Ti", "O1" -> "O", "CL1" -> "C").
std::string ElementOf(std::string_view s) {
  std::string e;
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return e;
  e += static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
  if (s.size() > 1 && std::islower(static_cast<unsigned char>(s[1]))) e += s[1];
  return e;
}

// "C22 H25 N O" -> element counts.
std::map<std::string, double> FormulaSum(std::string_view f) {
  std::map<std::string, double> out;
  for (auto& w : SplitWords(f)) {
    size_t p = 0;
    while (p < w.size() && std::isalpha(static_cast<unsigned char>(w[p]))) ++p;
    if (p == 0) return {};
    double n = 1.;
    if (p < w.size()) {
      auto v = ToReal(w.substr(p));
      if (!v) return {};
      n = *v;
    }
    out[ElementOf(w.substr(0, p))] += n;
  }
  return out;
}

class CifImporter {
 public:
  CifImporter(const CifBlock& b, std::string file) : b_(b), file_(std::move(file)) {}
  bool Run();
  ErrorRecord Fail;  // Line and Message; the caller adds the file
  std::vector<std::string> Notes;
  BasicData Basic_;
  AtomModel Model_;

 private:
  bool Error(const CifValue* v, std::string what) {
    Fail.Line = v ? v->Line : 0;
    Fail.Message = std::move(what);
    return false;
  }
  bool Error(int line, std::string what) {
    Fail.Line = line;
    Fail.Message = std::move(what);
    return false;
  }
  // A number (with s.u.); missing ("?", ".") gives nullopt, a bad number fails.
  bool Num(const CifValue* v, std::string_view name, std::optional<double>& x, double* su) {
    x.reset();
    if (!v || v->Missing()) return true;
    double val = 0., s = 0.;
    if (!CifNumber(v->Text, val, s))
      return Error(v, fmt::format("{} (\"{}\")", cifmsg::BadNumber, name));
    x = val;
    if (su) *su = s;
    return true;
  }
  bool Symmetry(PhaseBasic& p);
  bool SymbolSymmetry(PhaseBasic& p);
  const CifBlock& b_;
  std::string file_;
};

bool CifImporter::Symmetry(PhaseBasic& p) {
  Names opNames = {"_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz",
                   "_space_group_symop.operation_xyz", "_symmetry_equiv.pos_as_xyz"};
  std::vector<const CifValue*> ops;
  const CifLoop* l = nullptr;
  for (auto n : opNames)
    if ((l = b_.FindLoop(n))) {
      const int c = l->Column(n);
      for (auto& row : l->Rows) ops.push_back(&row[static_cast<size_t>(c)]);
      break;
    }
  if (!l)
    if (const CifValue* v = FindAny(b_, opNames)) ops.push_back(v);
  if (ops.empty()) return SymbolSymmetry(p);
  std::vector<std::array<double, 9>> r;
  std::vector<std::array<double, 3>> t;
  for (const CifValue* v : ops) {
    std::array<double, 9> rr;
    std::array<double, 3> tt;
    if (!ParseXyzOp(v->Text, rr, tt))
      return Error(v, fmt::format("{} \"{}\"", cifmsg::BadOperator, v->Text));
    r.push_back(rr);
    t.push_back(tt);
  }
  if (!ReduceOperators(r, t, p)) return Error(ops[0], std::string(cifmsg::NoSymmCompletion));
  (void)NameGroupFromOperators(p);  // symbol and number of the setting the operators match
  return true;
}

// The operators of the group a CIF names by symbol only: the Hall symbol
// when given (it is unambiguous), else the Hermann-Mauguin symbol (the
// monoclinic unique axis from the cell), else the reference setting of the
// group number.
bool CifImporter::SymbolSymmetry(PhaseBasic& p) {
  const CifValue* hall = FindAny(b_, {"_space_group_name_Hall", "_symmetry_space_group_name_Hall",
                                      "_space_group.name_Hall"});
  const CifValue* hm = FindAny(b_, {"_space_group_name_H-M_alt", "_symmetry_space_group_name_H-M",
                                    "_space_group.name_H-M_alt"});
  const CifValue* num = FindAny(b_, {"_space_group_IT_number", "_symmetry_Int_Tables_number",
                                     "_space_group.IT_number"});
  for (const CifValue** v : {&hall, &hm, &num})
    if (*v && (*v)->Missing()) *v = nullptr;
  if (!hall && !hm && !num) return Error(0, std::string(cifmsg::NoSymmetry));
  ErrorRecord e;
  const SgTable* tab = HomeSgTable(&e);
  if (!tab) return Error(0, fmt::format("{} {}", e.Message, e.File));
  SgQuiet quiet;
  PhaseSymmetry ps;
  SgFound f;
  const CifValue* used = hall ? hall : hm;
  if (hall) {
    if (SgFromHall(hall->Text, ps, &e))
      return Error(hall, fmt::format("{} {} \"{}\"", cifmsg::SymbolOnly, e.Message, hall->Text));
    Vec3 s;
    if (findsmbsgorgshiftno(*tab, ps, f, s) == 0 && s == Vec3{0, 0, 0}) f.Symbol = tab->Entry[f.Entry].Short;
    else f = SgFound{};
  } else if (hm) {
    if (EM50GenSym(*tab, hm->Text, p.Cell, nullptr, ps, &f, &e))
      return Error(hm, fmt::format("{} {}", cifmsg::SymbolOnly, e.Message));
  } else {
    used = num;
    auto n = ToInt(num->Text);
    int entry = -1;
    for (size_t i = 0; n && i < tab->Entry.size() && entry < 0; ++i)
      if (tab->Entry[i].Number == *n && SgKey(tab->Entry[i].ToStd) == "x,y,z")
        entry = static_cast<int>(i);
    if (entry < 0)
      return Error(num, fmt::format("{} \"{}\"", cifmsg::SymbolOnly, num->Text));
    ps = SgEntryOps(*tab, entry);
    f.Entry = entry;
    f.Number = *n;
    f.Symbol = tab->Entry[entry].Short;
  }
  std::vector<std::array<double, 9>> r;
  std::vector<std::array<double, 3>> t;
  for (int k = 0; k < ps.NSymm; ++k)
    for (int c = 0; c < ps.NLattVec; ++c) {
      std::array<double, 9> rr;
      std::array<double, 3> tt;
      for (int i = 0; i < 9; ++i) rr[i] = ps.Op[k].RM[i];
      for (int i = 0; i < 3; ++i) tt[i] = ps.Op[k].S6[i] + ps.VT6[c][i];
      od0do1(tt.data(), 3);
      r.push_back(rr);
      t.push_back(tt);
    }
  if (!ReduceOperators(r, t, p)) return Error(used, std::string(cifmsg::NoSymmCompletion));
  if (!f.Symbol.empty() && f.Symbol.find(' ') == std::string::npos) {
    p.SpGroup = f.Symbol;
    p.SpGroupNumber = f.Number;
  }
  Notes.push_back(fmt::format("Symmetry generated from the group symbol \"{}\".", used->Text));
  return true;
}

bool CifImporter::Run() {
  PhaseBasic p;
  DatBlockBasic db;
  // Cell.
  using Pair = std::array<std::string_view, 2>;
  static constexpr std::array<Pair, 6> kCell = {
      Pair{"_cell_length_a", "_cell.length_a"},     Pair{"_cell_length_b", "_cell.length_b"},
      Pair{"_cell_length_c", "_cell.length_c"},     Pair{"_cell_angle_alpha", "_cell.angle_alpha"},
      Pair{"_cell_angle_beta", "_cell.angle_beta"}, Pair{"_cell_angle_gamma", "_cell.angle_gamma"}};
  for (size_t i = 0; i < 6; ++i) {
    const CifValue* v = FindAny(b_, kCell[i]);
    std::optional<double> x;
    if (!Num(v, kCell[i][0], x, &p.CellSU[i])) return false;
    if (!x || *x <= 0.) return Error(v, std::string(cifmsg::NoCell));
    p.Cell[i] = *x;
  }
  if (!Symmetry(p)) return false;
  // Z.
  std::optional<double> z;
  if (!Num(FindAny(b_, {"_cell_formula_units_Z", "_cell.formula_units_Z"}), "_cell_formula_units_Z",
           z, nullptr))
    return false;
  if (z && *z >= 1.) p.UnitsNumb = static_cast<int>(std::lround(*z));
  // Radiation.
  std::optional<double> lambda;
  if (!Num(FindAny(b_, {"_diffrn_radiation_wavelength", "_diffrn_radiation_wavelength.value"}),
           "_diffrn_radiation_wavelength", lambda, nullptr))
    return false;
  std::string probe;
  if (const CifValue* v = FindAny(b_, {"_diffrn_radiation_probe", "_diffrn_radiation_type",
                                       "_diffrn_radiation.probe", "_diffrn_radiation.type"}))
    probe = ToLower(v->Text);
  if (probe.find("neutron") != std::string::npos)
    db.Radiation = 2;
  else if (probe.find("electron") != std::string::npos)
    db.Radiation = 3;
  if (!lambda) {
    lambda = probe.find("cu") != std::string::npos ? kLambdaCu : kLambdaMo;
    Notes.push_back(fmt::format("No wavelength given: {} A assumed.", *lambda));
  }
  db.Lambda = db.KAlpha1 = db.KAlpha2 = *lambda;
  std::optional<double> temp;
  if (!Num(FindAny(b_, {"_diffrn_ambient_temperature", "_cell_measurement_temperature"}),
           "_diffrn_ambient_temperature", temp, nullptr))
    return false;
  if (temp) db.DatCollTemp = *temp;
  if (const CifValue* v = FindAny(b_, {"_chemical_name_systematic", "_chemical_name_common"});
      v && !v->Missing())
    Basic_.Title = std::string(Trim(v->Text.substr(0, v->Text.find('\n'))));
  if (Basic_.Title.empty()) Basic_.Title = b_.Name;

  // Atoms.
  const CifLoop* al = b_.FindLoop("_atom_site_fract_x");
  if (!al) al = b_.FindLoop("_atom_site.fract_x");
  if (!al) return Error(0, std::string(cifmsg::NoAtoms));
  const int cLabel = ColAny(*al, {"_atom_site_label", "_atom_site.label"});
  const int cType = ColAny(*al, {"_atom_site_type_symbol", "_atom_site.type_symbol"});
  const int cX[3] = {ColAny(*al, {"_atom_site_fract_x", "_atom_site.fract_x"}),
                     ColAny(*al, {"_atom_site_fract_y", "_atom_site.fract_y"}),
                     ColAny(*al, {"_atom_site_fract_z", "_atom_site.fract_z"})};
  const int cOcc = ColAny(*al, {"_atom_site_occupancy", "_atom_site.occupancy"});
  const int cU = ColAny(*al, {"_atom_site_U_iso_or_equiv", "_atom_site.U_iso_or_equiv"});
  const int cB = ColAny(*al, {"_atom_site_B_iso_or_equiv", "_atom_site.B_iso_or_equiv"});
  const int cAdp = ColAny(
      *al, {"_atom_site_adp_type", "_atom_site_thermal_displace_type", "_atom_site.adp_type"});
  if (cLabel < 0 || cX[1] < 0 || cX[2] < 0) return Error(al->Line, std::string(cifmsg::NoAtoms));
  // Anisotropic parameters by label.
  struct AnisoU {
    std::array<double, 6> U{}, Su{};
  };
  std::map<std::string, AnisoU> aniso;
  const CifLoop* an = b_.FindLoop("_atom_site_aniso_label");
  if (!an) an = b_.FindLoop("_atom_site_aniso.label");
  if (an) {
    const int cl = ColAny(*an, {"_atom_site_aniso_label", "_atom_site_aniso.label"});
    static constexpr std::array<const char*, 6> kComp = {"11", "22", "33", "12", "13", "23"};
    std::array<int, 6> cu{}, cb{};
    for (size_t k = 0; k < 6; ++k) {
      cu[k] = ColAny(*an, {fmt::format("_atom_site_aniso_U_{}", kComp[k]),
                           fmt::format("_atom_site_aniso.U_{}", kComp[k])});
      cb[k] = ColAny(*an, {fmt::format("_atom_site_aniso_B_{}", kComp[k]),
                           fmt::format("_atom_site_aniso.B_{}", kComp[k])});
    }
    for (const auto& row : an->Rows) {
      AnisoU a;
      bool ok = true;
      for (size_t k = 0; k < 6; ++k) {
        const bool isB = cu[k] < 0;
        const int c = isB ? cb[k] : cu[k];
        if (c < 0) {
          ok = false;
          break;
        }
        std::optional<double> x;
        if (!Num(&row[static_cast<size_t>(c)], "_atom_site_aniso_U", x, &a.Su[k])) return false;
        if (!x) {
          ok = false;
          break;
        }
        a.U[k] = isB ? *x * kB2U : *x;
        if (isB) a.Su[k] *= kB2U;
      }
      if (ok) aniso[ToLower(row[static_cast<size_t>(cl)].Text)] = a;
    }
  }
  struct Raw {
    std::string Name, Type;
    int Line = 0;
    std::array<double, 3> X{}, XSu{};
    double Occ = 1., OccSu = 0.;
    bool Aniso = false;
    AnisoU A;
    double U = kDefaultUiso, USu = 0.;
  };
  std::vector<Raw> raws;
  for (const auto& row : al->Rows) {
    Raw a;
    const CifValue& lab = row[static_cast<size_t>(cLabel)];
    a.Name = lab.Text;
    a.Line = lab.Line;
    if (a.Name.empty() || a.Name.size() > kNameLen ||
        a.Name.find_first_of(" \t") != std::string::npos)
      return Error(&lab, fmt::format("{} (\"{}\")", cifmsg::BadName, a.Name));
    for (auto& q : raws)
      if (EqIgnoreCase(q.Name, a.Name))
        return Error(&lab, fmt::format("{} (\"{}\")", cifmsg::DupAtom, a.Name));
    a.Type = cType >= 0 && !row[static_cast<size_t>(cType)].Missing()
                 ? row[static_cast<size_t>(cType)].Text
                 : ElementOf(a.Name);
    if (a.Type.empty() || a.Type.size() > kTypeLen)
      return Error(&lab, fmt::format("{} (\"{}\")", cifmsg::BadType, a.Type));
    for (int i = 0; i < 3; ++i) {
      const CifValue& v = row[static_cast<size_t>(cX[i])];
      std::optional<double> x;
      const std::string name = fmt::format("_atom_site_fract_{}", "xyz"[i]);
      if (!Num(&v, name, x, &a.XSu[static_cast<size_t>(i)])) return false;
      if (!x) return Error(&v, fmt::format("{} (\"{}\")", cifmsg::BadNumber, name));
      a.X[static_cast<size_t>(i)] = *x;
    }
    if (cOcc >= 0) {
      std::optional<double> o;
      if (!Num(&row[static_cast<size_t>(cOcc)], "_atom_site_occupancy", o, &a.OccSu)) return false;
      if (o) a.Occ = *o;
    }
    const std::string adpType = cAdp >= 0 ? ToLower(row[static_cast<size_t>(cAdp)].Text) : "";
    auto f = aniso.find(ToLower(a.Name));
    if (f != aniso.end() && adpType != "uiso" && adpType != "biso") {
      a.Aniso = true;
      a.A = f->second;
    } else {
      std::optional<double> u;
      double su = 0.;
      if (cU >= 0) {
        if (!Num(&row[static_cast<size_t>(cU)], "_atom_site_U_iso_or_equiv", u, &su)) return false;
      } else if (cB >= 0) {
        if (!Num(&row[static_cast<size_t>(cB)], "_atom_site_B_iso_or_equiv", u, &su)) return false;
        if (u) *u *= kB2U;
        su *= kB2U;
      }
      if (u) {
        a.U = *u;
        a.USu = su;
      } else {
        Notes.push_back(
            fmt::format("{}: no displacement parameter, Uiso {} assumed.", a.Name, kDefaultUiso));
      }
    }
    raws.push_back(a);
  }
  if (raws.empty()) return Error(al->Line, std::string(cifmsg::NoAtoms));
  for (auto& a : raws)
    if (std::find(p.AtType.begin(), p.AtType.end(), a.Type) == p.AtType.end()) {
      p.AtType.push_back(a.Type);
      p.AtTypeData.emplace_back();
      p.AtList.push_back(a.Type);
    }
  Basic_.Phase = {p};
  Basic_.DatBlock = {db};
  if (SetBasicM50(Basic_)) return Error(0, std::string(cifmsg::NoSymmCompletion));
  PhaseBasic& ph = Basic_.Phase[0];
  const PhaseSymmetry& sy = ph.Symmetry;
  const double nGeneral = static_cast<double>(sy.NSymm) * std::max(1, sy.NLattVec);
  // Composition: _chemical_formula_sum when given, else from the atoms.
  std::map<std::string, double> cellCount;
  for (auto& a : raws) {
    AtomRec at = DefaultAtom();
    at.Name = a.Name;
    at.Type = static_cast<int>(std::find(ph.AtType.begin(), ph.AtType.end(), a.Type) -
                               ph.AtType.begin()) +
              1;
    AtomShape sh = at.Shape;
    sh.AdpOrder = a.Aniso ? 2 : 1;
    ReallocateAtomParams(at, sh);
    const AtomLayoutInfo lay = AtomLayout(at.Shape);
    // Occupancy of M40: the chemical occupancy over the site-symmetry order.
    double x[kMaxNDim] = {a.X[0], a.X[1], a.X[2]};
    const int order =
        std::max(1, SpecPos(x, false, sy, ph.MetTens, nullptr, kSpecPosTolAtom, nullptr));
    const int o = lay.Off[BlkOcc];
    at.Par.Val[o] = a.Occ / order;
    at.Par.Sig[o] = a.OccSu / order;
    at.Par.Key[o] = a.Occ < 1. ? 1 : 0;
    cellCount[a.Type] += a.Occ * nGeneral / order;
    for (int i = 0; i < 3; ++i) {
      const int k = lay.Off[BlkPos] + i;
      at.Par.Val[k] = a.X[static_cast<size_t>(i)];
      at.Par.Sig[k] = a.XSu[static_cast<size_t>(i)];
      at.Par.Key[k] = 1;
    }
    const int adp = lay.Off[BlkAdp];
    if (a.Aniso) {
      for (int k = 0; k < 6; ++k) {
        at.Par.Val[adp + k] = UToBeta(ph, k, a.A.U[static_cast<size_t>(k)]);
        at.Par.Sig[adp + k] = UToBeta(ph, k, a.A.Su[static_cast<size_t>(k)]);
        at.Par.Key[adp + k] = 1;
      }
    } else {
      at.Par.Val[adp] = a.U;
      at.Par.Sig[adp] = a.USu;
      at.Par.Key[adp] = 1;
    }
    Model_.Atom.push_back(std::move(at));
  }
  std::map<std::string, double> sum;
  if (const CifValue* f = FindAny(b_, {"_chemical_formula_sum", "_chemical_formula.sum"});
      f && !f->Missing())
    sum = FormulaSum(f->Text);
  std::map<std::string, bool> used;
  for (size_t i = 0; i < ph.AtType.size(); ++i) {
    const std::string el = ElementOf(ph.AtType[i]);
    auto s = sum.find(el);
    if (s != sum.end() && !used[el]) {
      ph.AtTypeData[i].Formula = s->second;
      used[el] = true;
    } else {
      ph.AtTypeData[i].Formula =
          std::round(cellCount[ph.AtType[i]] / ph.UnitsNumb * 10000.) / 10000.;
    }
  }
  SetFormula(ph);
  Model_.Phase.resize(1);
  DatBlockModel dbm;
  dbm.Scale.resize(1);
  dbm.Scale.Val[0] = 1.;
  dbm.Scale.Key[0] = 1;
  Model_.DatBlock = {dbm};
  return true;
}

// A report of this program carries its own M50 and M40 as text fields
// (_tarn_file_m50, _tarn_file_m40): they give the structure back exactly,
// with the refinement commands of M50, in place of what the items describe.
// False when the block has no such pair or it cannot be read (the items then
// serve, with a note).
bool RestoreEmbeddedFiles(const CifBlock& b, const std::string& fileName, BasicData& basic,
                          AtomModel& model, RefSettings* ref, std::vector<std::string>& notes) {
  const CifValue* m50 = b.Find("_tarn_file_m50");
  const CifValue* m40 = b.Find("_tarn_file_m40");
  if (!m50 || !m40 || m50->Missing() || m40->Missing()) return false;
  // A text field's value starts with the rest of its opening ";" line.
  auto body = [](const std::string& t) { return (t.rfind('\n', 0) == 0 ? t.substr(1) : t) + "\n"; };
  BasicData bd;
  AtomModel am;
  if (ReadM50Text(body(m50->Text), fileName + " (_tarn_file_m50)", bd) || SetBasicM50(bd)) {
    notes.push_back("The embedded structure files cannot be read: the CIF items were used.");
    return false;
  }
  // The M40 reader takes the phases and atom types of the open structure.
  BasicData kept = std::exchange(Struct.Basic, bd);
  if (M40ReadText(body(m40->Text), fileName + " (_tarn_file_m40)", am)) {
    Struct.Basic = std::move(kept);
    notes.push_back("The embedded structure files cannot be read: the CIF items were used.");
    return false;
  }
  if (ref != nullptr) {
    KeyUnit u;
    KeyOpenText(u, fileName, bd.CommandText);
    int error = 0;
    RefReadCommandsUnit(u, *ref, error);
  }
  basic = std::move(bd);
  model = std::move(am);
  notes.push_back("The structure was restored from its embedded M50 and M40.");
  return true;
}

}  // namespace

int ImportCifModel(std::string_view cifText, const std::string& fileName,
                   std::vector<std::string>& messages, ErrorRecord& err, RefSettings* ref) {
  CifFile cif;
  if (CifParse(cifText, fileName, cif, err)) return 1;
  const CifBlock* blk = nullptr;
  for (const auto& b : cif.Blocks)
    if (b.FindLoop("_atom_site_fract_x") || b.FindLoop("_atom_site.fract_x") ||
        b.Find("_tarn_file_m40")) {
      blk = &b;
      break;
    }
  if (!blk) {
    err = ErrorRecord::At(fileName, 0, std::string(cifmsg::NoBlock));
    return 1;
  }
  for (const auto& w : cif.Warnings)
    messages.push_back(fmt::format("{}, line {}: {} (read on)", fileName, w.Line, w.Message));
  // Embedded structure files win over the items, which then need not be
  // complete (a modulated structure's items are not read back).
  if (ref != nullptr) RefDefault(*ref);
  {
    BasicData bd;
    AtomModel am;
    if (RestoreEmbeddedFiles(*blk, fileName, bd, am, ref, messages)) {
      Struct.Basic = std::move(bd);
      Struct.Model = std::move(am);
      SetBasicM40(Struct.Model);
      return 0;
    }
  }
  CifImporter imp(*blk, fileName);
  if (!imp.Run()) {
    err = std::move(imp.Fail);
    err.File = fileName;
    if (err.Line == 0) err.Section = "data_" + blk->Name;
    return 1;
  }
  for (auto& n : imp.Notes) messages.push_back(n);
  Struct.Basic = std::move(imp.Basic_);
  Struct.Model = std::move(imp.Model_);
  SetBasicM40(Struct.Model);
  return 0;
}

}  // namespace tarn
