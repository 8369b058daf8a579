#include "edit/edit_script.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

#include "edit/hydrogens.hpp"
#include "edit/molecules.hpp"
#include "fourier/foupeaks.hpp"
#include "model/atom_edit.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '\'' || c == '.';
}

// Takes maxima (given by index into the list) as atoms named ELEMENT + the
// next free number, or `name` for a single one.
int TakePeaks(AtomEditRun& run, const std::vector<size_t>& idx, std::string_view element,
              std::string_view name, std::string& why) {
  FouPeakLists peaks;
  std::vector<std::string> other;
  int bad = 0;
  if (FouSplitPeaks(run.St.Model.Commands, peaks, other, bad)) {
    why = fmt::format("The stored Fourier maxima cannot be read (record {}).", bad);
    return 1;
  }
  Structure work = run.St;
  std::vector<std::string> listing;
  int next = 1;
  for (size_t k : idx) {
    const FouPeak& p = peaks.Max[k];
    std::string n(name);
    if (n.empty()) {
      while (EM40FindAtom(work.Model, fmt::format("{}{}", element, next)) >= 0) ++next;
      n = fmt::format("{}{}", element, next);
    }
    if (EM40AddAtom(work, run.Phase, n, element, p.X, EM40DefaultUiso, why)) return 1;
    listing.push_back(
        fmt::format("Maximum {} (height {:.2f}) taken as {} {} at {:.4f} {:.4f} {:.4f}", p.Label,
                    p.Height, n, element, p.X[0], p.X[1], p.X[2]));
  }
  std::vector<FouPeak> left;
  for (size_t k = 0; k < peaks.Max.size(); ++k)
    if (std::find(idx.begin(), idx.end(), k) == idx.end()) left.push_back(peaks.Max[k]);
  peaks.Max = std::move(left);
  work.Model.Commands = FouJoinPeaks(other, peaks);
  work.Model.HasCommands = !work.Model.Commands.empty();
  run.St = std::move(work);
  run.PeaksChanged = true;
  run.Listing.insert(run.Listing.end(), listing.begin(), listing.end());
  return 0;
}

std::optional<double> Number(const std::string& w) {
  auto v = ToReal(w);
  if (v && !std::isfinite(*v)) return std::nullopt;
  return v;
}

}  // namespace

// Comment lines of the M40 command text that list atoms ("! PART 1: C1 C2",
// kept by the SHELX import) follow deletions and renames.
void EditCommentLines(AtomEditRun& run, const std::vector<std::string>& deleted,
                      const std::string& from, const std::string& to) {
  for (std::string& l : run.St.Model.Commands) {
    if (Trim(l).substr(0, 1) != "!") continue;
    const auto colon = l.find(':');
    if (colon == std::string::npos) continue;
    std::string out = l.substr(0, colon + 1);
    for (const auto& w : SplitWords(std::string_view(l).substr(colon + 1))) {
      if (std::any_of(deleted.begin(), deleted.end(),
                      [&](const std::string& d) { return EqIgnoreCase(d, w); }))
        continue;
      out += " " + (!from.empty() && EqIgnoreCase(w, from) ? to : w);
    }
    l = out;
  }
}

int EM40EditLine(AtomEditRun& run, std::string_view line, std::string& why) {
  const auto w = SplitWords(line);
  if (w.empty()) return 0;
  const std::string cmd = ToLower(w[0]);
  const std::vector<std::string> args(w.begin() + 1, w.end());
  auto need = [&](size_t lo, size_t hi, const char* form) {
    if (args.size() >= lo && args.size() <= hi) return true;
    why = fmt::format("Expected \"{}\".", form);
    return false;
  };
  Structure& st = run.St;
  if (cmd == "add") {
    if (!need(5, 6, "add NAME ELEMENT x y z [Uiso]")) return 1;
    double v[4] = {0., 0., 0., EM40DefaultUiso};
    for (size_t k = 2; k < args.size(); ++k) {
      auto x = Number(args[k]);
      if (!x) {
        why = fmt::format("\"{}\" is not a number.", args[k]);
        return 1;
      }
      v[k - 2] = *x;
    }
    if (EM40AddAtom(st, run.Phase, args[0], args[1], {v[0], v[1], v[2]}, v[3], why)) return 1;
    run.Listing.push_back(fmt::format("Atom {} {} added.", args[0], args[1]));
    return 0;
  }
  if (cmd == "delete") {
    if (!need(1, 10000, "delete NAME...")) return 1;
    std::string missing;
    const auto sel = EM40SelectAtoms(st.Model, args, missing);
    std::vector<std::string> names;
    for (int i : sel) names.push_back(st.Model.Atom[static_cast<size_t>(i)].Name);
    if (EM40DeleteAtoms(st, args, why)) return 1;
    run.Deleted.insert(run.Deleted.end(), names.begin(), names.end());
    EditCommentLines(run, names, "", "");
    run.Listing.push_back(fmt::format("{} atom(s) deleted.", names.size()));
    return 0;
  }
  if (cmd == "rename") {
    if (!need(2, 2, "rename OLD NEW")) return 1;
    const int i = EM40FindAtom(st.Model, args[0]);
    const std::string old = i >= 0 ? st.Model.Atom[static_cast<size_t>(i)].Name : args[0];
    if (EM40RenameAtom(st, args[0], args[1], why)) return 1;
    run.Renamed.emplace_back(old, args[1]);
    EditCommentLines(run, {}, old, args[1]);
    return 0;
  }
  if (cmd == "element") {
    if (!need(2, 10000, "element NAME... ELEMENT")) return 1;
    std::vector<std::string> list(args.begin(), args.end() - 1);
    return EM40SetElement(st, list, args.back(), why);
  }
  if (cmd == "occupancy" || cmd == "occ") {
    if (!need(2, 10000, "occupancy NAME... VALUE")) return 1;
    auto v = Number(args.back());
    if (!v) {
      why = fmt::format("\"{}\" is not a number.", args.back());
      return 1;
    }
    std::vector<std::string> list(args.begin(), args.end() - 1);
    return EM40SetOccupancy(st, list, *v, why);
  }
  if (cmd == "aniso") return need(1, 10000, "aniso NAME...|*") ? EM40MakeAniso(st, args, why) : 1;
  if (cmd == "iso") return need(1, 10000, "iso NAME...|*") ? EM40MakeIso(st, args, why) : 1;
  if (cmd == "keys") return need(1, 10000, "keys NAME...|*") ? EM40ResetKeys(st, args, why) : 1;
  if (cmd == "sort") {
    if (!need(0, 0, "sort")) return 1;
    EM40SortAtoms(st);
    return 0;
  }
  if (cmd == "peaks") {
    if (!need(2, 2, "peaks N ELEMENT")) return 1;
    auto n = ToInt(args[0]);
    if (!n || *n < 1) {
      why = fmt::format("\"{}\" is not a positive whole number.", args[0]);
      return 1;
    }
    FouPeakLists peaks;
    std::vector<std::string> other;
    int bad = 0;
    if (FouSplitPeaks(st.Model.Commands, peaks, other, bad) == 0 &&
        static_cast<long long>(peaks.Max.size()) < *n) {
      why = fmt::format("Only {} Fourier maxima are stored; run the Fourier synthesis first.",
                        peaks.Max.size());
      return 1;
    }
    std::vector<size_t> idx;
    for (long long k = 0; k < *n; ++k) idx.push_back(static_cast<size_t>(k));
    return TakePeaks(run, idx, args[1], "", why);
  }
  if (cmd == "peak") {
    if (!need(2, 3, "peak LABEL ELEMENT [NAME]")) return 1;
    FouPeakLists peaks;
    std::vector<std::string> other;
    int bad = 0;
    (void)FouSplitPeaks(st.Model.Commands, peaks, other, bad);
    for (size_t k = 0; k < peaks.Max.size(); ++k)
      if (EqIgnoreCase(peaks.Max[k].Label, args[0]))
        return TakePeaks(run, {k}, args[1], args.size() > 2 ? args[2] : "", why);
    why = fmt::format("No stored Fourier maximum is labelled \"{}\".", args[0]);
    return 1;
  }
  if (cmd == "hydrogens") {
    if (!need(1, 10000, "hydrogens [map] *|NAME...")) return 1;
    const bool map = EqIgnoreCase(args[0], "map");
    if (map && !run.Density) {
      why =
          "No difference map: refine first, with a \"fourier\" block asking for a difference "
          "map.";
      return 1;
    }
    std::vector<std::string> list(args.begin() + (map ? 1 : 0), args.end());
    if (list.empty()) {
      why = "Expected: hydrogens [map] *|NAME...";
      return 1;
    }
    HydroResult h;
    if (EM40AddHydrogens(st, list, run.TempK, h, why, map ? run.Density : HydroDensity{})) return 1;
    run.Keep.insert(run.Keep.end(), h.Keep.begin(), h.Keep.end());
    run.DistFix.insert(run.DistFix.end(), h.DistFix.begin(), h.DistFix.end());
    run.Equation.insert(run.Equation.end(), h.Equation.begin(), h.Equation.end());
    run.Listing.push_back(fmt::format("{} hydrogen atom(s) added.", h.Added));
    run.Listing.insert(run.Listing.end(), h.Notes.begin(), h.Notes.end());
    return 0;
  }
  if (cmd == "molecule") {
    if (!need(2, 10000, "molecule NAME ATOM... [ref x y z]")) return 1;
    std::vector<std::string> list(args.begin() + 1, args.end());
    std::optional<std::array<double, 3>> ref;
    if (list.size() >= 4 && EqIgnoreCase(list[list.size() - 4], "ref")) {
      std::array<double, 3> r{};
      for (size_t k = 0; k < 3; ++k) {
        auto v = Number(list[list.size() - 3 + k]);
        if (!v) {
          why = fmt::format("\"{}\" is not a number.", list[list.size() - 3 + k]);
          return 1;
        }
        r[k] = *v;
      }
      ref = r;
      list.resize(list.size() - 4);
    }
    const size_t before = st.Model.Atom.size();
    if (EM40DefineMolecule(st, args[0], list, ref, why)) return 1;
    run.Listing.push_back(
        fmt::format("Molecule {} made of {} atom(s).", args[0], before - st.Model.Atom.size()));
    return 0;
  }
  if (cmd == "position") {
    if (!need(7, 9, "position MOLECULE phi chi psi tx ty tz [ai [NAME]]")) return 1;
    double v[7] = {0., 0., 0., 0., 0., 0., 1.};
    for (size_t k = 1; k < std::min<size_t>(args.size(), 8); ++k) {
      auto x = Number(args[k]);
      if (!x) {
        why = fmt::format("\"{}\" is not a number.", args[k]);
        return 1;
      }
      v[k - 1] = *x;
    }
    return EM40AddMolPosition(st, args[0], args.size() > 8 ? args[8] : "", {v[0], v[1], v[2]},
                              {v[3], v[4], v[5]}, v[6], why);
  }
  if (cmd == "delete-position") {
    return need(1, 10000, "delete-position NAME...") ? EM40DeleteMolPositions(st, args, why) : 1;
  }
  if (cmd == "delete-molecule") {
    if (!need(1, 10000, "delete-molecule NAME...")) return 1;
    Structure work = st;
    for (const auto& n : args)
      if (EM40DeleteMolecule(work, n, why)) return 1;
    st = std::move(work);
    return 0;
  }
  why = fmt::format("Unknown edit \"{}\".", w[0]);
  return 1;
}

bool EM40EditRefineLines(AtomEditRun& run, RefSettings& s) {
  bool changed = false;
  // A line that names a deleted atom goes, even when an atom of that name
  // was added again: it described the old one.
  auto isDeleted = [&](std::string_view tok) {
    return std::any_of(run.Deleted.begin(), run.Deleted.end(),
                       [&](const std::string& d) { return EqIgnoreCase(d, tok); });
  };
  const auto defs = RefKeyDefs();
  for (int k = 0; k < RefNSpecial; ++k) {
    auto& lines = s.EditLines[static_cast<size_t>(k)];
    std::vector<RefCmdLine> kept;
    for (RefCmdLine l : lines) {
      std::string text;
      bool drop = false;
      for (size_t p = 0; p < l.Text.size();) {
        if (!NameChar(l.Text[p])) {
          text += l.Text[p++];
          continue;
        }
        size_t e = p;
        while (e < l.Text.size() && NameChar(l.Text[e])) ++e;
        std::string tok = l.Text.substr(p, e - p);
        // Only whole names stand before a symmetry part or a bracket.
        if (isDeleted(tok)) drop = true;
        for (const auto& [from, to] : run.Renamed)
          if (EqIgnoreCase(tok, from)) tok = to;
        text += tok;
        p = e;
      }
      const std::string kw(defs[static_cast<size_t>(RefFirstSpecial - 1 + k)].Name);
      if (drop) {
        run.Listing.push_back(
            fmt::format("Removed from the refinement commands: {} {}", kw, l.Text));
        changed = true;
        continue;
      }
      if (text != l.Text) changed = true;
      l.Text = text;
      kept.push_back(std::move(l));
    }
    lines = std::move(kept);
  }
  for (const auto& t : run.Keep) s.EditLines[RkKeep - RefFirstSpecial].push_back({t, false});
  for (const auto& t : run.Equation)
    s.EditLines[RkEquation - RefFirstSpecial].push_back({t, false});
  for (const auto& t : run.DistFix) s.EditLines[RkDistFix - RefFirstSpecial].push_back({t, false});
  return changed || !run.Keep.empty() || !run.Equation.empty() || !run.DistFix.empty();
}

}  // namespace tarn
