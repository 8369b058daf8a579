// Writing the report: gathers the refinement figures, the geometry and the
// structure factors, merges the user's items of an earlier fln.cif and
// writes fln.cif and fln.fcf.
#include <fmt/format.h>

#include <cctype>
#include <filesystem>
#include <memory>

#include "cif/cif_keys.hpp"
#include "cif/cif_report.hpp"
#include "dist/dist_tables.hpp"
#include "model/covariance.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "refine/refcommands.hpp"
#include "util/files.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace fs = std::filesystem;

bool Older(const std::string& a, const std::string& b) {
  std::error_code e1, e2;
  const auto ta = fs::last_write_time(a, e1), tb = fs::last_write_time(b, e2);
  return e1 || (!e2 && ta < tb);
}

// The geometry of the report: bonds of the full coordination with their
// angles, and the descriptors of the "dist" block. The distance tool's
// listing is made again first when it is missing or older than M40.
[[nodiscard]] int Geometry(const Structure& s, DistResults& r) {
  if (Older(Sess.fln + ".dis", Sess.fln + ".m40")) {
    DistResults listing;
    if (Dist(s, listing)) return 1;
  }
  const int kp = Sess.KPhase;
  if (kp < 1 || kp > static_cast<int>(s.Basic.Phase.size())) return 1;
  DistCommands c;
  (void)DistReadCommands(s.Basic.CommandText, c,
                         s.Basic.Phase[static_cast<size_t>(kp - 1)].NDim - 3);
  c.Angles = 1;
  c.FullCoor = 1;
  // The report lists atoms of the model only: no peaks, centres or lone pairs.
  c.Include = 0;
  c.Center.clear();
  c.LonePair.clear();
  DistTables tables;
  ErrorRecord err;
  if (DistLoadTables(Sess.HomeDir + "dist/", tables, err)) return 1;
  std::shared_ptr<const CovMatrix> cov;
  if (c.Covar != 0) {
    auto m = std::make_shared<CovMatrix>();
    if (LoadCovariance(Sess.fln, *m, err) == CovState::Used) cov = std::move(m);
  }
  return DistRun(s, c, tables, r, cov);
}

// A data-block name: the structure's name with characters outside the
// printable set replaced.
std::string DataName(const std::string& fln) {
  std::string dir, name;
  FeSplitPath(fln, dir, name);
  for (char& c : name)
    if (!std::isgraph(static_cast<unsigned char>(c))) c = '_';
  return name.empty() ? "tarn" : name;
}

// True when the CIF was written by this program's report: a block names the
// program in _audit_creation_method.
bool OwnReport(const CifFile& f, const CifDict& dict) {
  const std::string& item = dict.Name(CkAuditMethod);
  for (const auto& b : f.Blocks)
    if (const CifValue* v = item.empty() ? nullptr : b.Find(item))
      if (v->Text.rfind(Sess.ProgramName + " ", 0) == 0) return true;
  return false;
}

// A name beside path that no file has yet: path.orig, path.orig2, ...
std::string BackupName(const std::string& path) {
  std::string name = path + ".orig";
  for (int k = 2; FeFileExists(name); ++k) name = path + ".orig" + std::to_string(k);
  return name;
}

}  // namespace

int CIFUpdate(const Structure& s, const CifOptions& opt) {
  CifRunResult out;
  return CIFUpdate(s, opt, out);
}

int CIFUpdate(const Structure& s, const CifOptions& opt, CifRunResult& out) {
  out = CifRunResult{};
  // Warnings of the parts that cannot be made are told and kept as problems.
  auto warn = [&out](const std::string& head, const std::vector<std::string>& lines) {
    out.Problems.push_back(head);
    ReportWarning(head, lines);
  };
  if (Sess.fln.empty()) {
    ReportError("No structure is open.");
    return 1;
  }
  CifDict dict;
  if (CifLoadDict(Sess.HomeDir, dict)) return 1;
  (void)ScatEnsureLoaded();  // a failure has been reported; the tables' items stay unknown

  CifSources src;
  src.DataName = DataName(Sess.fln);
  src.DiffDensity = opt.DiffDensity;
  {
    // The options of the refinement as its command reader takes them.
    RefSettings ref;
    int error = 0;
    RefReadCommands(ref, error);
    const RefWeightOpt w = RefWeightOptFromSettings(ref.Run);
    src.SigLevel = w.SigLevel;
    src.Weighting = CifWeightingText(w);
    src.NConstraints = static_cast<int>(ref.Equation.size() + ref.Restric.size() + ref.Keep.size());
    // An atom of an item may carry a symmetry part after "#".
    auto atom = [](const std::string& a) { return ToUpper(a.substr(0, a.find('#'))); };
    for (const auto& r : ref.Restraint) {
      const bool adp =
          r.Kind == RestrRigu || r.Kind == RestrDelu || r.Kind == RestrSimu || r.Kind == RestrIsor;
      if (r.Kind == RestrMagm) continue;
      for (const auto& item : r.Items)
        for (const auto& a : item) (adp ? src.AdpRestrained : src.PosnRestrained).insert(atom(a));
    }
    for (const auto& e : ref.Equation) {
      if (!EqIgnoreCase(e.Dep.Par, "ai")) continue;
      src.OccConstrained.insert(atom(e.Dep.Owner));
      for (const auto& t : e.Terms)
        if (EqIgnoreCase(t.Par, "ai")) src.OccConstrained.insert(atom(t.Owner));
    }
    for (const auto& r : ref.Restric)
      if (r.Occ == OccIdentical || r.Occ == OccComplementary || r.Occ == OccKeepSum)
        for (const auto& m : r.Members) src.OccConstrained.insert(atom(m));
  }
  std::string text;
  if (FeFileExists(Sess.fln + ".ref") && FeReadFile(Sess.fln + ".ref", text) == 0) {
    src.Summary = CIFItemFromSummary(text);
    if (!src.Summary->Found)
      warn("The refinement listing holds no R factors.",
           {Sess.fln + ".ref: the refinement items stay unknown."});
  } else {
    warn("The refinement listing does not exist.",
         {Sess.fln + ".ref: the refinement items stay unknown."});
  }

  DistResults geom;
  if (Geometry(s, geom) == 0)
    src.Dist = &geom;
  else
    warn("The geometry could not be calculated.",
         {"The atoms and the geometry are left out of the report."});

  const bool powder = !s.Basic.DatBlock.empty() && s.Basic.DatBlock[0].Powder.value_or(0) == 1;
  std::string fcf;
  PwdPrf prf;
  if (powder) {
    ErrorRecord err;
    if (!FeFileExists(Sess.fln + ".prf"))
      warn("A listing of the powder profile could not be",
           {"created as *.prf file does not exist."});
    else if (PwdPrfNacti(Sess.fln + ".prf", prf, err))
      warn(err.Message, err.Lines());
    else
      src.Profile = &prf;
  } else if (!FeFileExists(Sess.fln + ".m80") || FeReadFile(Sess.fln + ".m80", text)) {
    warn("The reflection cif could not be created",
         {"as the F(obs)/F(calc) resp. I(obs)/I(calc)", "file does not exist."});
  } else {
    CifReflStats stats;
    ErrorRecord err;
    if (CifFcfText(s, dict, src.DataName, text, Sess.fln + ".m80", opt.FcfCode, src.SigLevel, fcf,
                   stats, err)) {
      warn("The reflection cif could not be created", err.Lines());
      fcf.clear();
    } else {
      src.Refl = stats;
      std::string dir;
      FeSplitPath(Sess.fln + ".fcf", dir, src.FcfName);
    }
  }
  CIFIncludeTarnFiles(Sess.fln, opt.Embedded, src);

  CifDoc doc = CIFMakeTemplate(s, dict, src);
  if (!doc.MissingKeys.empty()) {
    std::string keys;
    for (int k : doc.MissingKeys) keys += (keys.empty() ? "" : ", ") + std::to_string(k);
    ReportError(fmt::format("The CIF dictionary {} has no data names for the keys {}.",
                            CifDictPath(Sess.HomeDir), keys),
                {"Their items are left out."});
  }
  // An existing fln.cif is updated only when it is an earlier report of the
  // program. Any other CIF of that name (typically the one the structure was
  // imported from) is never overwritten: it is copied to a free backup name
  // first and the report is made without its items.
  const std::string cifName = Sess.fln + ".cif";
  std::string backup;
  if (FeFileExists(cifName) && FeIsReadOnly(cifName)) {
    ReportError("The file " + cifName + " is read-only.", {"The report has not been written."});
    return 1;
  }
  if (FeFileExists(cifName)) {
    CifFile earlier;
    ErrorRecord err;
    const bool readable = FeReadFile(cifName, text) == 0;
    const bool parsed = readable && CifParse(text, cifName, earlier, err) == 0;
    if (opt.KeepUserItems && !parsed) {
      std::vector<std::string> lines = err.TextLines();
      if (!lines.empty() && lines[0] == MsgCifSyntax) lines.erase(lines.begin());  // the heading
      lines.push_back("The file has not been rewritten, so that its items are not lost.");
      ReportError(std::string(MsgCifSyntax), lines);
      return 1;
    }
    if (!parsed || !OwnReport(earlier, dict)) {
      backup = BackupName(cifName);
      if (FeCopyFile(cifName, backup)) {
        ReportError("The file " + cifName + " could not be kept as " + backup + ".",
                    {"The report has not been written."});
        return 1;
      }
    } else if (opt.KeepUserItems) {
      CifKeepUserItems(doc, earlier);
    }
  }
  for (const auto& name : opt.UserFiles) {
    ErrorRecord err;
    if (!FeFileExists(name) || FeReadFile(name, text)) {
      ReportError("The file " + name + " could not be read.", {"The report has not been written."});
      return 1;
    }
    if (CIFUpdateFromUserFile(doc, text, name, err)) {
      std::vector<std::string> lines = err.TextLines();
      if (!lines.empty() && lines[0] == MsgCifSyntax) lines.erase(lines.begin());  // the heading
      lines.push_back("The report has not been written.");
      ReportError(std::string(MsgCifSyntax), lines);
      return 1;
    }
  }
  if (FeWriteFileAtomic(cifName, CifDocText(doc))) {
    ReportError("The file " + cifName + " could not be written.");
    return 1;
  }
  if (!fcf.empty() && FeWriteFileAtomic(Sess.fln + ".fcf", fcf)) {
    ReportError("The file " + Sess.fln + ".fcf could not be written.");
    return 1;
  }
  out.Files.push_back(cifName);
  if (!fcf.empty()) out.Files.push_back(Sess.fln + ".fcf");
  if (!backup.empty()) {
    ReportWarning("The file " + cifName + " was not written by the report.",
                  {"It has been kept as " + backup + "."});
    out.Files.push_back(backup);
  }
  if (!doc.MissingKeys.empty()) out.Problems.push_back("data names missing in the dictionary");
  return 0;
}

}  // namespace tarn
