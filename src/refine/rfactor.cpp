// R-factor sums, values and tables of a refinement run (layouts in
// docs/refinement.md, "R factors").
#include "refine/rfactor.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tarn {

namespace {

double Ratio(double num, double den) {
  return den > 0. ? 100. * num / den : kRFacNone;
}
double RatioSqrt(double num, double den) {
  return den > 0. ? 100. * std::sqrt(std::max(num, 0.) / den) : kRFacNone;
}

void AddTo(RFacSum& s, const RFacRefl& r) {
  const double df = r.Fo - r.Fc;
  const double di = r.Io - r.Ic;
  s.AbsDF += std::abs(df);
  s.AbsFo += std::abs(r.Fo);
  s.WDF2 += r.WF * df * df;
  s.WFo2 += r.WF * r.Fo * r.Fo;
  s.AbsDI += std::abs(di);
  s.AbsIo += std::abs(r.Io);
  s.WDI2 += r.WI * di * di;
  s.WIo2 += r.WI * r.Io * r.Io;
  ++s.N;
}

void AddTo(RFacGroup& g, const RFacRefl& r) {
  AddTo(g.All, r);
  if (r.Flag != '*') AddTo(g.Obs, r);
}

void Clear(RFacGroup& g) {
  g.Obs = RFacSum{};
  g.All = RFacSum{};
}

// A value in a field of `width` with two decimals, or the "no value" mark.
std::string Val(double v, int width = 7) {
  if (!(v > 0.)) return fmt::format("{:>{}}", rfacmsg::NoValue.substr(1), width);
  return fmt::format("{:{}.2f}", v, width);
}

// Columns of the zone and partial tables.
std::string ZoneColumns(const RFacGroup& g, bool fsquare, int npar) {
  const RFacVal o = RFacValues(g.Obs, fsquare, npar);
  const RFacVal a = RFacValues(g.All, fsquare, npar);
  const double wo = fsquare ? o.wR2 : o.wR, wa = fsquare ? a.wR2 : a.wR;
  return fmt::format("{}{}{}{}{:8d}{:8d}", Val(o.R, 8), Val(wo, 8), Val(a.R, 8), Val(wa, 8), o.N,
                     a.N);
}
}  // namespace

RFacVal RFacValues(const RFacSum& s, bool fsquare, int npar) {
  RFacVal v;
  v.N = s.N;
  v.R = Ratio(s.AbsDF, s.AbsFo);
  v.wR = RatioSqrt(s.WDF2, s.WFo2);
  v.R2 = Ratio(s.AbsDI, s.AbsIo);
  v.wR2 = RatioSqrt(s.WDI2, s.WIo2);
  const double wd2 = fsquare ? s.WDI2 : s.WDF2;
  // p counts every refined parameter, the scale factors included.
  const int dof = s.N - npar;
  v.Gof = dof < 1 ? kRFacGofNone : std::sqrt(wd2 / dof);
  return v;
}

void RefSetRFacTabs(RFacTabs& t, bool fsquare, int npar, int ndim, bool magnetic,
                    const std::vector<std::string>& datBlockNames,
                    const std::vector<RefHklSel>& partial) {
  t = RFacTabs{};
  t.FSquare = fsquare;
  t.NPar = npar;
  t.NDim = ndim;
  t.Magnetic = magnetic;
  t.DatBlockNames = datBlockNames;
  t.Partial = partial;
  t.Overall.Label = "all reflections";
  if (ndim > 3) {
    t.Sat.resize(kRFacMaxSatOrder + 1);
    t.Sat[0].Label = "main reflections";
    for (int k = 1; k <= kRFacMaxSatOrder; ++k)
      t.Sat[static_cast<size_t>(k)].Label = fmt::format("satellites of order {}", k);
    t.Unsorted.Label = std::string(rfacmsg::UnsortedLabel);
  }
  t.Nuclear.Label = "nuclear reflections";
  t.MagneticGr.Label = "magnetic reflections";
  for (const auto& n : datBlockNames) t.Block.push_back(RFacGroup{n, {}, {}});
  for (const auto& p : partial) {
    std::string c = p.GroupText;
    if (!p.CondText.empty()) c += " : " + p.CondText;
    if (p.HasExcept) c += " except " + p.ExceptText;
    t.PartGr.push_back(RFacGroup{c, {}, {}});
  }
}

void RefSetRFacDomains(RFacTabs& t, int ndomain) {
  t.Domain.clear();
  t.Overlapped = RFacGroup{std::string(rfacmsg::OverlappedLabel), {}, {}};
  if (ndomain < 2) return;
  for (int d = 1; d <= ndomain; ++d)
    t.Domain.push_back(RFacGroup{fmt::format("twin domain {}", d), {}, {}});
}

int RefTwinDomain(const TwinSetup& t, const int* h, bool& overlap) {
  std::vector<TwinPart> parts;
  TwinParts(t, h, parts);
  overlap = parts.size() > 1;
  int d = parts.empty() ? 0 : parts.front().Domain;
  for (const auto& p : parts)
    if (p.Domain != d) return kRFacOverlapped;
  return d;
}

void RefRFacNuluj(RFacTabs& t) {
  Clear(t.Overall);
  for (auto& g : t.Sat) Clear(g);
  Clear(t.Unsorted);
  Clear(t.Nuclear);
  Clear(t.MagneticGr);
  for (auto& g : t.Block) Clear(g);
  for (auto& g : t.PartGr) Clear(g);
  for (auto& g : t.Domain) Clear(g);
  Clear(t.Overlapped);
  t.NRestr = 0;
  t.RestrWD2 = 0.;
  t.NSkip = 0;
  t.NOver = 0;
}

void RFactorSuma(RFacTabs& t, const RFacRefl& r) {
  if (r.Flag == '#') return;
  AddTo(t.Overall, r);
  if (!t.Sat.empty()) {
    if (r.SatOrder >= 0 && r.SatOrder <= kRFacMaxSatOrder)
      AddTo(t.Sat[static_cast<size_t>(r.SatOrder)], r);
    else
      AddTo(t.Unsorted, r);
  }
  if (r.Magnetic == 0) AddTo(t.Nuclear, r);
  if (r.Magnetic == 1) AddTo(t.MagneticGr, r);
  if (r.DatBlock >= 0 && r.DatBlock < static_cast<int>(t.Block.size()))
    AddTo(t.Block[static_cast<size_t>(r.DatBlock)], r);
  for (size_t k = 0; k < t.Partial.size(); ++k)
    if (RefHklSelected(t.Partial[k], r.H, r.NDim)) AddTo(t.PartGr[k], r);
  if (r.Overlap) ++t.NOver;
  if (!t.Domain.empty()) {
    if (r.TwDomain >= 0 && r.TwDomain < static_cast<int>(t.Domain.size()))
      AddTo(t.Domain[static_cast<size_t>(r.TwDomain)], r);
    else if (r.TwDomain == kRFacOverlapped)
      AddTo(t.Overlapped, r);
  }
}

double RefRFacRestrainedGof(const RFacTabs& t) {
  const RFacSum& s = t.Overall.All;
  const int dof = s.N + t.NRestr - t.NPar;
  const double wd2 = (t.FSquare ? s.WDI2 : s.WDF2) + t.RestrWD2;
  return dof < 1 ? kRFacGofNone : std::sqrt(wd2 / dof);
}

RFacVal RefRFacOverall(const RFacTabs& t, bool obs) {
  return RFacValues(obs ? t.Overall.Obs : t.Overall.All, t.FSquare, t.NPar);
}

double RefRFacExpected(const RFacTabs& t) {
  const RFacSum& s = t.Overall.Obs;
  const double wyo2 = t.FSquare ? s.WIo2 : s.WFo2;
  if (wyo2 <= 0. || s.N - t.NPar <= 0) return kRFacNone;
  return 100. * std::sqrt(static_cast<double>(s.N - t.NPar)) / std::sqrt(wyo2);
}

std::string RefMakeRFacString(const RFacGroup& g, bool fsquare, int npar) {
  const RFacVal o = RFacValues(g.Obs, fsquare, npar);
  const RFacVal a = RFacValues(g.All, fsquare, npar);
  const char* w = fsquare ? "wR2" : "wR";
  return fmt::format("R(obs)={} {}(obs)={} R(all)={} {}(all)={}", Val(o.R), w,
                     Val(fsquare ? o.wR2 : o.wR), Val(a.R), w, Val(fsquare ? a.wR2 : a.wR));
}

std::string RFacMachineLine(char kind, int index, const RFacVal& obs, const RFacVal& all,
                            bool fsquare, int nskip) {
  // Fortran i1: a value that does not fit is written as "*".
  const std::string idx = (index >= 0 && index <= 9) ? std::to_string(index) : std::string("*");
  // Fortran f8.4: a value that does not fit is written as eight "*".
  auto f = [](double v) {
    const std::string t = fmt::format("{:8.4f}", v > 0. ? v : 0.);
    return t.size() > 8 ? std::string(8, '*') : t;
  };
  return fmt::format("{}factors{}: {}{}{}{}{:7d}{:7d}{:7d}", kind, idx, f(obs.R),
                     f(fsquare ? obs.wR2 : obs.wR), f(all.R), f(fsquare ? all.wR2 : all.wR), obs.N,
                     all.N, nskip);
}

void RFactorWrite(RFacTabs& t, int cycle, double damp, std::vector<std::string>& out) {
  const bool fs = t.FSquare;
  auto line = [&](std::string_view label, const RFacGroup& g, char kind, int index) {
    if (g.All.N == 0) return;
    out.push_back(fmt::format("{}{}  nobs={} nall={}", label, RefMakeRFacString(g, fs, t.NPar),
                              g.Obs.N, g.All.N));
    out.push_back(RFacMachineLine(kind, index, RFacValues(g.Obs, fs, t.NPar),
                                  RFacValues(g.All, fs, t.NPar), fs, t.NSkip));
  };
  out.push_back(fmt::format("Cycle {}", cycle));
  line(rfacmsg::All, t.Overall, 'R', 0);
  if (!t.Sat.empty()) {
    line(rfacmsg::Main, t.Sat[0], 'M', 0);
    for (int k = 1; k <= kRFacMaxSatOrder; ++k)
      line(fmt::format("{}{} : ", rfacmsg::Satellites, k), t.Sat[static_cast<size_t>(k)], 'M', k);
    line(rfacmsg::Unsorted, t.Unsorted, 'U', 0);
  }
  if (t.Magnetic) {
    line(rfacmsg::Nuclear, t.Nuclear, 'N', 0);
    line(rfacmsg::Magnetic, t.MagneticGr, 'G', 0);
  }
  if (t.Block.size() > 1)
    for (size_t k = 0; k < t.Block.size(); ++k)
      line(fmt::format("{}{} : ", rfacmsg::DatBlock, t.Block[k].Label), t.Block[k], 'B',
           static_cast<int>(k) + 1);
  for (size_t k = 0; k < t.Domain.size(); ++k)
    line(fmt::format("{}{} : ", rfacmsg::Domain, k + 1), t.Domain[k], 'T', static_cast<int>(k) + 1);
  if (!t.Domain.empty()) line(rfacmsg::Overlapped, t.Overlapped, 'T', 0);
  for (size_t k = 0; k < t.PartGr.size(); ++k)
    line(fmt::format("R factors for {} : ", t.PartGr[k].Label), t.PartGr[k], 'P',
         static_cast<int>(k) + 1);
  const RFacVal o = RefRFacOverall(t, true), a = RefRFacOverall(t, false);
  out.push_back(fmt::format("GOF(obs)={:.3f} GOF(all)={:.3f}{}{:.3f} restraints={}", o.Gof, a.Gof,
                            rfacmsg::RestrainedGof, RefRFacRestrainedGof(t), t.NRestr));
  out.push_back(fmt::format("{}{}", rfacmsg::Excluded, t.NSkip));
  RFacCycle c;
  c.Cycle = cycle;
  c.Obs = o;
  c.All = a;
  c.NSkip = t.NSkip;
  c.NOver = t.NOver;
  c.Damp = damp;
  t.History.push_back(c);
}

void PisRfac(const RFacTabs& t, std::vector<std::string>& out) {
  const bool fs = t.FSquare;
  out.push_back("");
  out.push_back(std::string(rfacmsg::Overview));
  // On F**2 the first four columns are R(F) and wR(F), the RB columns R and
  // wR2 on F**2; on F the first four are R and wR on F (the refined quantity).
  const char* h1 = fs ? "   RFobs  RFwobs   RFall  RFwall" : "    Robs   wRobs    Rall   wRall";
  out.push_back(
      fmt::format("Cycle{}    nobs    nall   RBobs  RBwobs   RBall  RBwall   nskip"
                  "   nover    damp  gofobs  gofall av ch/su max ch/su",
                  h1));
  for (const auto& c : t.History)
    out.push_back(fmt::format(
        "{:5d}{}{}{}{}{:8d}{:8d}{}{}{}{}{:8d}{:8d}{:8.3f}{:8.2f}{:8.2f}"
        "{:9.4f}{:10.4f}",
        c.Cycle, Val(c.Obs.R, 8), Val(c.Obs.wR, 8), Val(c.All.R, 8), Val(c.All.wR, 8), c.Obs.N,
        c.All.N, Val(c.Obs.R2, 8), Val(c.Obs.wR2, 8), Val(c.All.R2, 8), Val(c.All.wR2, 8), c.NSkip,
        c.NOver, c.Damp, c.Obs.Gof, c.All.Gof, c.AvChange, c.MaxChange));
  const std::string heads = fmt::format("{:<24}{}", "",
                                        fs ? "    Robs  wR2obs    Rall  wR2all    nobs    nall"
                                           : "    Robs   wRobs    Rall   wRall    nobs    nall");
  out.push_back("");
  out.push_back(std::string(rfacmsg::Zones));
  out.push_back(heads);
  for (const auto& g : t.Sat)
    if (g.All.N > 0) out.push_back(fmt::format("{:<24}{}", g.Label, ZoneColumns(g, fs, t.NPar)));
  if (t.Unsorted.All.N > 0)
    out.push_back(fmt::format("{:<24}{}", t.Unsorted.Label, ZoneColumns(t.Unsorted, fs, t.NPar)));
  if (t.Block.size() > 1)
    for (const auto& g : t.Block)
      out.push_back(fmt::format("{:<24}{}", g.Label.substr(0, 23), ZoneColumns(g, fs, t.NPar)));
  for (const auto& g : t.Domain)
    if (g.All.N > 0) out.push_back(fmt::format("{:<24}{}", g.Label, ZoneColumns(g, fs, t.NPar)));
  if (t.Overlapped.All.N > 0)
    out.push_back(
        fmt::format("{:<24}{}", t.Overlapped.Label, ZoneColumns(t.Overlapped, fs, t.NPar)));
  out.push_back(fmt::format("{:<24}{}", rfacmsg::OverallHead, ZoneColumns(t.Overall, fs, t.NPar)));
  if (!t.PartGr.empty()) {
    out.push_back("");
    out.push_back(std::string(rfacmsg::PartialHead));
    out.push_back(fmt::format("{:<40}{}", rfacmsg::Condition, heads.substr(24)));
    for (const auto& g : t.PartGr)
      out.push_back(fmt::format("{:<40}{}", g.Label.substr(0, 39), ZoneColumns(g, fs, t.NPar)));
  }
}

std::vector<RFacRefl> RefWorstReflections(const std::vector<RFacRefl>& used, bool fsquare,
                                          int count) {
  auto misfit = [fsquare](const RFacRefl& r) {
    const double s = fsquare ? r.SigIo : r.SigFo;
    const double d = fsquare ? r.Io - r.Ic : r.Fo - r.Fc;
    return s > 0. ? std::abs(d) / s : std::abs(d);
  };
  std::vector<RFacRefl> v;
  for (const auto& r : used)
    if (r.Flag != '#') v.push_back(r);
  const size_t n = std::min(v.size(), static_cast<size_t>(std::max(count, 0)));
  std::partial_sort(v.begin(), v.begin() + static_cast<long>(n), v.end(),
                    [&](const RFacRefl& a, const RFacRefl& b) { return misfit(a) > misfit(b); });
  v.resize(n);
  return v;
}

void RefCalcRval(const std::vector<RFacRefl>& list, const std::string& heading, bool fsquare,
                 std::vector<std::string>& out) {
  out.push_back("");
  out.push_back(heading);
  const int nd = list.empty() ? 3 : list.front().NDim;
  std::string h;
  const char* names = "hklmnp";
  for (int k = 0; k < nd; ++k) h += fmt::format("{:>4}", names[k]);
  out.push_back(h + fmt::format("{:>12}{:>12}{:>10}{:>9}  flag", fsquare ? "Io" : "Fo",
                                fsquare ? "Ic" : "Fc", "sigma", "|D|/sig"));
  RFacSum s;
  for (const auto& r : list) {
    std::string l;
    for (int k = 0; k < r.NDim; ++k) l += fmt::format("{:4d}", r.H[k]);
    const double o = fsquare ? r.Io : r.Fo, c = fsquare ? r.Ic : r.Fc;
    const double sg = fsquare ? r.SigIo : r.SigFo;
    l += fmt::format("{:12.2f}{:12.2f}{:10.2f}{:9.2f}  {}", o, c, sg,
                     sg > 0. ? std::abs(o - c) / sg : 0., r.Flag);
    out.push_back(l);
    AddTo(s, r);
  }
  const RFacVal v = RFacValues(s, fsquare, 0);
  out.push_back(fmt::format("R of the listed reflections: R={} R2={}", Val(v.R), Val(v.R2)));
}

}  // namespace tarn
