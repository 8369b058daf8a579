// Standard uncertainties of refined and dependent parameters, and the
// electroneutrality condition on valence populations.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "refine/constr_internal.hpp"

namespace tarn {

namespace {

// Weight of the electroneutrality restraint relative to the largest diagonal
// element of the normal matrix: one cycle removes 99.9 % of the misfit.
constexpr double kPopvRestrainWeight = 1000.;

// Element (i, j) of a packed symmetric matrix stored as its lower triangle by rows.
double Packed(const double* a, int i, int j) {
  if (j > i) std::swap(i, j);
  return a[static_cast<size_t>(i) * (static_cast<size_t>(i) + 1) / 2 + static_cast<size_t>(j)];
}

}  // namespace

// ---------------------------------------------------------------- s.u.
void RefSetSu(RefParams& p, const double* cov) {
  for (int k = 0; k < p.NRef; ++k)
    p.Sig[static_cast<size_t>(p.Refined[static_cast<size_t>(k)])] =
        std::sqrt(std::max(0., Packed(cov, k, k)));
  // var(dep) = c^T C c over the refined parameters of the expanded equation
  // (repeated terms summed first); fixed independent values carry no variance.
  std::vector<int> m;
  std::vector<double> c;
  for (const RefEq& x : p.Exp) {
    m.clear();
    c.clear();
    for (size_t i = 0; i < x.Ind.size(); ++i) {
      const int k = p.Map[static_cast<size_t>(x.Ind[i])];
      if (k < 0) continue;
      const auto it = std::find(m.begin(), m.end(), k);
      if (it != m.end()) {
        c[static_cast<size_t>(it - m.begin())] += x.Coef[i];
      } else {
        m.push_back(k);
        c.push_back(x.Coef[i]);
      }
    }
    double v = 0.;
    for (size_t a = 0; a < m.size(); ++a)
      for (size_t b = 0; b < m.size(); ++b) v += c[a] * c[b] * Packed(cov, m[a], m[b]);
    p.Sig[static_cast<size_t>(x.Dep)] = std::sqrt(std::max(0., v));
  }
}

// ---------------------------------------------------------------- electroneutrality
void RefPopv(RefParams& p, const std::vector<int>& pars, const std::vector<double>& weight,
             double sum, int mode, bool renorm) {
  p.Popv = pars;
  p.PopvWeight = weight;
  p.PopvWeight.resize(p.Popv.size(), 1.);
  p.PopvSum = sum;
  p.PopvMode = p.Popv.empty() ? PopvOff : mode;
  p.PopvRenorm = renorm && !p.Popv.empty();
  if (p.PopvMode == PopvOff) return;
  RefListLine(p, fmt::format("{} {}", constrmsg::PopvFixed, RefEqNumber(sum)), false);
  if (p.PopvMode == PopvEquation)
    refpopvprologequation(p);
  else
    refpopvprologrestrain(p);
}

void refpopvprologequation(RefParams& p) {
  // The last population that is refined and not yet dependent follows the
  // others: P_last = (S - sum_k w_k P_k) / w_last.
  int last = -1;
  for (size_t k = 0; k < p.Popv.size(); ++k) {
    const int i = p.Popv[k];
    const int key = p.Key[static_cast<size_t>(i)];
    if (key != 0 && key != -2 && !IsDependent(p, i) && p.PopvWeight[k] != 0.)
      last = static_cast<int>(k);
  }
  if (last < 0) return;
  const double wl = p.PopvWeight[static_cast<size_t>(last)];
  std::vector<int> ind;
  std::vector<double> coef;
  for (size_t k = 0; k < p.Popv.size(); ++k) {
    if (static_cast<int>(k) == last) continue;
    ind.push_back(p.Popv[k]);
    coef.push_back(-p.PopvWeight[k] / wl);
  }
  AddEq(p, EqRestric, p.Popv[static_cast<size_t>(last)], p.PopvSum / wl, ind, coef);
}

void refpopvprologrestrain(RefParams& p) {
  p.PopvMode = PopvRestrain;
}

void refpopvsuma(const RefParams& p, double* am, double* ps) {
  if (p.PopvMode != PopvRestrain) return;
  // g: derivative of the weighted sum by the refined parameters (dependent
  // populations through their equations).
  std::vector<double> g(static_cast<size_t>(p.NRef), 0.);
  double now = 0.;
  for (size_t k = 0; k < p.Popv.size(); ++k) {
    const int i = p.Popv[k];
    const double w = p.PopvWeight[k];
    now += w * p.Val[static_cast<size_t>(i)];
    if (p.Map[static_cast<size_t>(i)] >= 0)
      g[static_cast<size_t>(p.Map[static_cast<size_t>(i)])] += w;
    const int x = p.DepOf[static_cast<size_t>(i)];
    if (x < 0) continue;
    const RefEq& e = p.Exp[static_cast<size_t>(x)];
    for (size_t t = 0; t < e.Ind.size(); ++t) {
      const int m = p.Map[static_cast<size_t>(e.Ind[t])];
      if (m >= 0) g[static_cast<size_t>(m)] += w * e.Coef[t];
    }
  }
  double gg = 0., dmax = 0.;
  for (double v : g) gg += v * v;
  if (gg <= 0.) return;
  for (int i = 0; i < p.NRef; ++i)
    dmax = std::max(dmax, am[static_cast<size_t>(i) * (i + 1) / 2 + static_cast<size_t>(i)]);
  const double lambda = kPopvRestrainWeight * (dmax > 0. ? dmax : 1.) / gg;
  const double miss = p.PopvSum - now;
  for (int i = 0; i < p.NRef; ++i) {
    const double gi = g[static_cast<size_t>(i)];
    if (gi == 0.) continue;
    ps[i] += lambda * gi * miss;
    double* row = am + static_cast<size_t>(i) * (i + 1) / 2;
    for (int j = 0; j <= i; ++j) row[j] += lambda * gi * g[static_cast<size_t>(j)];
  }
}

void refpopvrenorm(RefParams& p) {
  if (!p.PopvRenorm) return;
  double now = 0.;
  for (size_t k = 0; k < p.Popv.size(); ++k)
    now += p.PopvWeight[k] * p.Val[static_cast<size_t>(p.Popv[k])];
  if (now == 0.) return;
  const double f = p.PopvSum / now;
  for (int i : p.Popv) p.Val[static_cast<size_t>(i)] *= f;
}

}  // namespace tarn
