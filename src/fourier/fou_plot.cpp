// The contoured map section and its contour lines.
#include "fourier/fou_plot.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace tarn {

namespace {

// Where the level crosses the edge from value a to value b (0..1 from a).
double Cross(double a, double b, double level) {
  return b != a ? (level - a) / (b - a) : 0.5;
}

}  // namespace

std::vector<std::array<double, 4>> FouContourSegments(const std::vector<float>& v, int n0, int n1,
                                                      double level) {
  std::vector<std::array<double, 4>> out;
  auto at = [&](int i, int j) { return static_cast<double>(v[static_cast<size_t>(j) * n0 + i]); };
  for (int j = 0; j + 1 < n1; ++j)
    for (int i = 0; i + 1 < n0; ++i) {
      // Corners counter-clockwise from (i, j); edge e runs from corner e to e + 1.
      const double c[4] = {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)};
      const double cx[4] = {0, 1, 1, 0}, cy[4] = {0, 0, 1, 1};
      std::array<double, 2> p[4];
      int np = 0;
      for (int e = 0; e < 4; ++e) {
        const double a = c[e], b = c[(e + 1) % 4];
        if ((a >= level) == (b >= level)) continue;
        const double t = Cross(a, b, level);
        const int f = (e + 1) % 4;
        p[np] = {i + cx[e] + t * (cx[f] - cx[e]), j + cy[e] + t * (cy[f] - cy[e])};
        ++np;
      }
      if (np == 2) {
        out.push_back({p[0][0], p[0][1], p[1][0], p[1][1]});
      } else if (np == 4) {
        // Saddle: when the centre lies on the side of corner 0, corners 1
        // and 3 are cut off (edges 0-1 and 2-3), else corners 0 and 2.
        const bool centre = 0.25 * (c[0] + c[1] + c[2] + c[3]) >= level;
        const bool joined = centre == (c[0] >= level);
        if (joined) {
          out.push_back({p[0][0], p[0][1], p[1][0], p[1][1]});
          out.push_back({p[2][0], p[2][1], p[3][0], p[3][1]});
        } else {
          out.push_back({p[0][0], p[0][1], p[3][0], p[3][1]});
          out.push_back({p[1][0], p[1][1], p[2][0], p[2][1]});
        }
      }
    }
  return out;
}

PlotDesc FouSectionPlot(const FouRunResult& run, const Structure& st, int phase,
                        const std::string& name, double maxDist) {
  const FouMap& m = run.Map;
  const FouGrid& g = m.Grid;
  PlotDesc d;
  d.EqualScale = true;
  if (m.Rho.empty() || st.Basic.Phase.empty()) return d;
  phase = std::clamp(phase, 1, static_cast<int>(st.Basic.Phase.size()));
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  const int n0 = g.N[0], n1 = g.N[1];
  const size_t top = static_cast<size_t>(std::max_element(m.Rho.begin(), m.Rho.end()) - m.Rho.begin());
  const long long sec = static_cast<long long>(top) / g.PerSection();
  const std::vector<float> v(m.Rho.begin() + sec * g.PerSection(),
                             m.Rho.begin() + (sec + 1) * g.PerSection());

  // Axes of the section: cell axes c0, c1 (0-based); the section's level on
  // map axis 3 (cell axis c2).
  const int c0 = g.Order[0] - 1, c1 = g.Order[1] - 1, c2 = g.NDim > 2 ? g.Order[2] - 1 : 2;
  const bool real = c0 < 3 && c1 < 3 && c2 < 3;
  const double level = g.NDim > 2 ? g.X(2, static_cast<int>(sec % g.N[2])) : 0.;
  const double deg = std::numbers::pi / 180.;
  const double a0 = real ? ph.Cell[c0] : 1., a1 = real ? ph.Cell[c1] : 1.;
  const double gam = real ? ph.Cell[3 + (3 - c0 - c1)] * deg : 90. * deg;
  auto toX = [&](double f0, double f1) { return f0 * a0 + f1 * a1 * std::cos(gam); };
  auto toY = [&](double f1) { return f1 * a1 * std::sin(gam); };
  // Interplanar spacing of the planes of constant cell coordinate c2.
  double spacing = 1.;
  if (real) {
    const double ca = std::cos(ph.Cell[3] * deg), cb = std::cos(ph.Cell[4] * deg),
                 cg = std::cos(ph.Cell[5] * deg);
    const double vol = ph.Cell[0] * ph.Cell[1] * ph.Cell[2] *
                       std::sqrt(std::max(0., 1. - ca * ca - cb * cb - cg * cg + 2. * ca * cb * cg));
    spacing = vol / (ph.Cell[(c2 + 1) % 3] * ph.Cell[(c2 + 2) % 3] * std::sin(ph.Cell[3 + c2] * deg));
  }
  static const char* const kAxis[6] = {"x", "y", "z", "x4", "x5", "x6"};
  d.Title = fmt::format("{}: {} map, section {} = {:.4f}", name, FouMapTitle(m.MapType), kAxis[c2], level);
  d.XLabel = fmt::format("along {} ({})", kAxis[c0], real ? "A" : "fraction");
  d.YLabel = fmt::format("along {} ({})", kAxis[c1], real ? "A" : "fraction");

  // Contours at multiples of a tenth of the largest |density| of the map.
  const double step = std::max(std::abs(m.Max), std::abs(m.Min)) / 10.;
  PlotSeries pos{"positive", {}, {}, PlotStyle::Lines, "blue"};
  PlotSeries neg{"negative", {}, {}, PlotStyle::Lines, "red"};
  for (int k = -10; k <= 10 && step > 0.; ++k) {
    if (k == 0) continue;
    PlotSeries& s = k > 0 ? pos : neg;
    for (const auto& seg : FouContourSegments(v, n0, n1, k * step))
      for (int e = 0; e < 2; ++e) {
        const double f0 = g.X(0, 0) + seg[2 * e] * g.Dx[0], f1 = g.X(1, 0) + seg[2 * e + 1] * g.Dx[1];
        s.X.push_back(toX(f0, f1));
        s.Y.push_back(toY(f1));
        if (e == 1) s.X.push_back(std::nan("")), s.Y.push_back(0.);
      }
  }
  d.Series = {pos, neg};

  // Marks: every copy of a point under the operators, centring vectors and
  // the neighbouring lattice translations that falls on the section's area
  // within maxDist of its plane.
  const PhaseSymmetry& ps = ph.Symmetry;
  const double lo0 = g.X(0, 0), hi0 = g.X(0, n0 - 1), lo1 = g.X(1, 0), hi1 = g.X(1, n1 - 1);
  auto mark = [&](const std::array<double, 3>& x, const std::string& label, PlotSeries& s, bool named) {
    std::set<std::pair<long, long>> seen;
    const int ns = std::max(ps.NSymm, 1), nc = std::max(ps.NLattVec, 1);
    for (int inv = 0; inv < (ps.NCSymm == 2 ? 2 : 1); ++inv)
      for (int o = 0; o < ns; ++o)
        for (int c = 0; c < nc; ++c) {
          double y[3];
          for (int i = 0; i < 3; ++i) {
            const SymmOp* op = o < ps.NSymm ? &ps.Op[static_cast<size_t>(o)] : nullptr;
            y[i] = op ? op->S6[i] : 0.;
            for (int j = 0; j < 3; ++j) y[i] += (op ? op->RM6[i * ps.NDim + j] : i == j ? 1. : 0.) * x[j];
            if (inv) y[i] = -y[i];
            if (c < ps.NLattVec) y[i] += ps.VT6[static_cast<size_t>(c)][i];
          }
          for (int t0 = -2; t0 <= 2; ++t0)
            for (int t1 = -2; t1 <= 2; ++t1)
              for (int t2 = -2; t2 <= 2; ++t2) {
                const double t[3] = {double(t0), double(t1), double(t2)};
                const double f0 = y[c0 % 3] + t[c0 % 3], f1 = y[c1 % 3] + t[c1 % 3],
                             f2 = y[c2 % 3] + t[c2 % 3];
                if (f0 < lo0 - 1e-6 || f0 > hi0 + 1e-6 || f1 < lo1 - 1e-6 || f1 > hi1 + 1e-6) continue;
                if (std::abs(f2 - level) * spacing > maxDist) continue;
                if (!seen.insert({std::lround(f0 * 1e4), std::lround(f1 * 1e4)}).second) continue;
                s.X.push_back(toX(f0, f1));
                s.Y.push_back(toY(f1));
                if (named) d.Labels.push_back({toX(f0, f1), toY(f1), label});
              }
        }
  };
  if (real) {
    PlotSeries atoms{"atoms", {}, {}, PlotStyle::Points, "black", 1.2};
    for (const auto& a : st.Model.Atom)
      if (a.Phase == phase && a.Par.Val.size() > 3)
        mark({a.Par.Val[1], a.Par.Val[2], a.Par.Val[3]}, a.Name, atoms, true);
    PlotSeries maxima{"maxima", {}, {}, PlotStyle::Points, "dark-green", 1.0};
    PlotSeries minima{"minima", {}, {}, PlotStyle::Points, "orange", 1.0};
    for (const auto& p : run.Peaks.Max) mark(p.X, p.Label, maxima, false);
    for (const auto& p : run.Peaks.Min) mark(p.X, p.Label, minima, false);
    for (PlotSeries* s : {&atoms, &maxima, &minima})
      if (!s->X.empty()) d.Series.push_back(*s);
  }
  return d;
}

}  // namespace tarn
