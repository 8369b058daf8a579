#include "app/summary.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "app/toolkit.hpp"
#include "dist/dist.hpp"
#include "util/round_esd.hpp"

namespace tarn {

namespace {

TarnResults results;

// A fraction with four decimals, "n/a" when unknown.
std::string Frac(double v) {
  return v >= 0. ? fmt::format("{:.4f}", v) : std::string("n/a");
}

// An R value of the refinement (percent) as a fraction.
std::string RFrac(double pct) {
  return pct >= 0. ? fmt::format("{:.4f}", pct / 100.) : std::string("n/a");
}

bool IsHydrogen(const DistAtom& a) {
  return a.Element == "H" || a.Element == "D";
}

}  // namespace

TarnResults& TarnToolResults() {
  return results;
}

void TarnClearResults() {
  results = TarnResults{};
}

std::vector<std::string> TarnMergeLines(const std::vector<EM9MergeSummary>& m) {
  std::vector<std::string> out;
  for (size_t k = 0; k < m.size(); ++k) {
    const EM9MergeSummary& s = m[k];
    const std::string head = m.size() > 1 ? fmt::format("Merge of data block {}: ", k + 1)
                                          : std::string("Merge: ");
    out.push_back(fmt::format("{}{} reflections read, {} rejected ({} systematically absent)", head,
                              s.NRead, s.NRejected, s.NExtinct));
    out.push_back(fmt::format("  {} unique, {} observed; Rint {} (obs/all {}/{}), Rexp {}/{}",
                              s.NUnique, s.NObs, Frac(s.RintMulti), Frac(s.RintObs),
                              Frac(s.RintAll), Frac(s.RexpObs), Frac(s.RexpAll)));
    if (s.SinThLMax > 0.)
      out.push_back(fmt::format("  completeness {} to sin(th)/lambda {:.3f} (d = {:.3f} A)",
                                s.Completeness >= 0. ? fmt::format("{:.3f}", s.Completeness)
                                                     : std::string("n/a"),
                                s.SinThLMax, 0.5 / s.SinThLMax));
    if (!s.Conditions.empty()) {
      std::string ops;
      for (const auto& c : s.Conditions) ops += (ops.empty() ? "" : "; ") + c;
      out.push_back("  reflection conditions from: " + ops);
    }
  }
  return out;
}

std::vector<std::string> TarnRefineLines(const RefRunSummary& r) {
  std::vector<std::string> out;
  // The single-crystal line only when single-crystal data were refined.
  if (r.NPowder == 0 || r.NSingle > 0)
    out.push_back(fmt::format(
        "Refinement: {} cycles, R(obs) {} for {} reflections, wR2(all) {} for {}, GooF {:.3f}",
        r.CyclesDone, RFrac(r.Obs.R), r.Obs.N, RFrac(r.All.wR2), r.All.N, r.Obs.Gof));
  if (r.NPowder > 0)
    out.push_back(fmt::format("Rietveld refinement: {} cycles, {} pattern(s), {}", r.CyclesDone,
                              r.NPowder, r.Summary));
  out.push_back(fmt::format("  {} parameters, {} restraints, max shift/s.u. {:.3f}", r.NPar,
                            r.NRestraints, r.MaxChange));
  if (!r.Blocked.empty())
    out.push_back(fmt::format("  {} parameters blocked (singular)", r.Blocked.size()));
  for (const auto& s : r.Serious) out.push_back("  serious: " + s);
  if (r.Changes.empty()) return out;
  // The parameters that moved most, in units of their s.u.
  std::vector<const RefChange*> ch;
  for (const auto& c : r.Changes) ch.push_back(&c);
  auto weight = [](const RefChange* c) {
    const double d = std::fabs(c->Value - c->Start);
    return c->Su > 0. ? d / c->Su : d;
  };
  std::stable_sort(ch.begin(), ch.end(),
                   [&](const RefChange* a, const RefChange* b) { return weight(a) > weight(b); });
  const size_t n = std::min<size_t>(ch.size(), TarnSummaryChanges);
  out.push_back(fmt::format("  {:<16}{:>14}{:>18}{:>10}   ({} of {} parameters)", "parameter",
                            "start", "final", "shift/su", n, ch.size()));
  for (size_t k = 0; k < n; ++k) {
    const RefChange& c = *ch[k];
    const std::string fin = c.Su > 0. ? RoundESD(c.Value, c.Su) : fmt::format("{:.6f}", c.Value);
    out.push_back(fmt::format("  {:<16}{:>14.6f}{:>18}{:>10.2f}", c.Label, c.Start, fin,
                              c.Su > 0. ? (c.Value - c.Start) / c.Su : 0.));
  }
  return out;
}

TarnFourierResult TarnFourierOf(const FouRunResult& run) {
  TarnFourierResult f;
  f.MapTitle = FouMapTitle(run.Map.MapType, run.Set.RefStr);
  f.Max = run.Map.Max;
  f.Min = run.Map.Min;
  f.Rms = run.Map.Rms;
  f.NRefl = run.NRefl;
  f.Maxima = run.Peaks.Max;
  f.Minima = run.Peaks.Min;
  return f;
}

std::vector<std::string> TarnFourierLines(const TarnFourierResult& f) {
  std::vector<std::string> out;
  out.push_back(fmt::format("Fourier: {} map, max {:.3f}, min {:.3f}, rms {:.3f} e/A^3",
                            f.MapTitle.empty() ? std::string("the") : f.MapTitle, f.Max, f.Min,
                            f.Rms));
  if (f.Maxima.empty()) return out;
  out.push_back(fmt::format("  {} maxima, {} minima; the strongest:", f.Maxima.size(),
                            f.Minima.size()));
  for (size_t k = 0; k < f.Maxima.size() && k < TarnSummaryPeaks; ++k) {
    const FouPeak& p = f.Maxima[k];
    out.push_back(fmt::format("  {:<6} {:8.3f}  at {:7.4f} {:7.4f} {:7.4f}{}", p.Label, p.Height,
                              p.X[0], p.X[1], p.X[2],
                              p.Dist >= 0. ? fmt::format("  {:.3f} A from {}", p.Dist, p.Atom)
                                           : std::string()));
  }
  return out;
}

TarnDistResult TarnDistOf(const DistResults& r) {
  TarnDistResult d;
  const DistPhase& ph = r.Phase;
  for (const auto& c : r.Coord) {
    const DistAtom& a = ph.Atoms[static_cast<size_t>(c.Central)];
    for (const auto& n : c.Neigh) {
      // Each pair once: the neighbour listed under the atom of the lower index.
      if (n.Atom < c.Central) continue;
      ++d.NDistances;
      const DistAtom& b = ph.Atoms[static_cast<size_t>(n.Atom)];
      if (IsHydrogen(a) || IsHydrogen(b)) continue;
      d.Shortest.push_back({a.Name, DistNameWithSymm(ph, n), n.D, n.DSu});
    }
  }
  std::stable_sort(d.Shortest.begin(), d.Shortest.end(),
                   [](const TarnContact& x, const TarnContact& y) { return x.D < y.D; });
  if (d.Shortest.size() > static_cast<size_t>(TarnSummaryContacts))
    d.Shortest.resize(TarnSummaryContacts);
  for (const auto& h : r.Hirshfeld)
    d.Flagged.push_back(fmt::format("{}-{} rigid-bond test: delta {}",
                                    ph.Atoms[static_cast<size_t>(h.A)].Name,
                                    DistNameWithSymm(ph, h.B), RoundESD(h.Delta, h.Su)));
  return d;
}

std::vector<std::string> TarnDistLines(const TarnDistResult& d) {
  std::vector<std::string> out;
  out.push_back(fmt::format("Distances: {} bonds, {} flagged", d.NDistances, d.Flagged.size()));
  if (!d.Shortest.empty()) {
    std::string s;
    for (const auto& c : d.Shortest)
      s += fmt::format("{}{}-{} {}", s.empty() ? "" : ", ", c.Atom1, c.Atom2,
                       c.Su > 0. ? RoundESD(c.D, c.Su) : fmt::format("{:.3f}", c.D));
    out.push_back("  shortest: " + s);
  }
  for (size_t k = 0; k < d.Flagged.size() && k < TarnSummaryContacts; ++k)
    out.push_back("  flagged: " + d.Flagged[k]);
  if (d.Flagged.size() > static_cast<size_t>(TarnSummaryContacts))
    out.push_back(fmt::format("  ... {} more in the listing",
                              d.Flagged.size() - static_cast<size_t>(TarnSummaryContacts)));
  return out;
}

std::vector<std::string> TarnCifLines(const CifRunResult& c) {
  std::vector<std::string> out;
  std::string files;
  for (const auto& f : c.Files) files += (files.empty() ? "" : ", ") + f;
  out.push_back("CIF written: " + (files.empty() ? std::string("none") : files));
  if (c.Problems.empty())
    out.push_back("  complete: every part of the report was made");
  else
    for (const auto& p : c.Problems) out.push_back("  incomplete: " + p);
  return out;
}

void TarnShowSummary(const std::vector<std::string>& lines) {
  for (const auto& l : lines) Fe().ListingLine(l);
}

}  // namespace tarn
