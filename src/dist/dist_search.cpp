#include "dist/dist_search.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include <Eigen/Dense>

#include "dist/dist_cov.hpp"
#include "model/scatdata.hpp"
#include "symmetry/symm.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kSameSite = 1e-4;  // fractional tolerance of coinciding positions
constexpr double kZeroDist = 1e-4;  // A: an atom at its own place

Vec3 Apply(const DistOp& o, const Vec3& x) {
  Vec3 y = o.T;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) y[i] += o.R[i * 3 + j] * x[j];
  return y;
}

bool SameModLattice(const Vec3& a, const Vec3& b) {
  for (int i = 0; i < 3; ++i) {
    const double d = a[i] - b[i];
    if (std::fabs(d - std::round(d)) > kSameSite) return false;
  }
  return true;
}

void SetTypeInfo(DistAtom& a, const PhaseBasic& p) {
  if (a.Type >= 1 && a.Type <= static_cast<int>(p.AtType.size()))
    a.TypeName = p.AtType[static_cast<size_t>(a.Type - 1)];
  if (auto n = ScatParseName(a.TypeName)) {
    a.Element = n->Element;
    a.Charge = n->Charge;
  }
}

}  // namespace

int DistMakePhase(const Structure& s, int phase, DistPhase& ph) {
  ph = DistPhase{};
  if (phase < 1 || phase > static_cast<int>(s.Basic.Phase.size())) {
    ReportError("The structure has no basic data for the distance calculation.");
    return 1;
  }
  const PhaseBasic& p = s.Basic.Phase[static_cast<size_t>(phase - 1)];
  if (std::any_of(p.Cell, p.Cell + 3, [](double x) { return !(x > 0.); })) {
    ReportError("The cell parameters are not defined.");
    return 1;
  }
  ph.Phase = phase;
  ph.NDimI = p.NDim - 3;
  ph.Cell = DistMakeCell(p.Cell, p.CellSU);
  ph.GInv = FromEigen(ToEigen(ph.Cell.G).inverse());

  // The complete operator list: operators times centring vectors.
  const PhaseSymmetry& sy = p.Symmetry;
  const int nc = std::max(1, sy.NLattVec), ns = std::max(1, sy.NSymm);
  for (int c = 0; c < nc; ++c)
    for (int i = 0; i < ns; ++i) {
      DistOp o;
      o.Op = i;
      o.Centr = c;
      if (i < static_cast<int>(sy.Op.size())) {
        const SymmOp& so = sy.Op[static_cast<size_t>(i)];
        o.R = MatBlock3(so.RM6.data(), sy.NDim);
        for (int k = 0; k < 3; ++k) o.T[k] = so.S6[k];
      } else {
        o.R = {1, 0, 0, 0, 1, 0, 0, 0, 1};
      }
      if (c < static_cast<int>(sy.VT6.size()))
        for (int k = 0; k < 3; ++k) o.T[k] += sy.VT6[static_cast<size_t>(c)][k];
      Vec3 raw = o.T;
      od0do1(o.T.data(), 3);
      for (int k = 0; k < 3; ++k) o.Shift[k] = std::round(o.T[k] - raw[k]);
      Vec6 s6{};
      for (int k = 0; k < 3; ++k) s6[k] = o.T[k];
      Mat6 rm{};
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) rm[a * 3 + b] = o.R[a * 3 + b];
      auto txt = CodeSymm(rm.data(), s6.data(), 3);
      for (size_t k = 0; k < txt.size(); ++k) o.Text += (k ? "," : "") + txt[k];
      ph.Ops.push_back(std::move(o));
    }

  // Composite parts with their W matrices.
  const int nd = sy.NDim, d = nd - 3;
  if (p.NComp > 1 && d > 0 && p.WMatrix.size() >= static_cast<size_t>(p.NComp)) {
    for (int k = 0; k < p.NComp; ++k) {
      const auto& wv = p.WMatrix[static_cast<size_t>(k)];
      if (static_cast<int>(wv.size()) != nd * nd) {
        ReportError("The W matrix of composite part " + std::to_string(k + 1) +
                    " does not fit the dimension of the phase.");
        return 1;
      }
      Eigen::MatrixXd w(nd, nd), sig = Eigen::MatrixXd::Zero(d, 3);
      for (int i = 0; i < nd; ++i)
        for (int j = 0; j < nd; ++j) w(i, j) = wv[static_cast<size_t>(i * nd + j)];
      if (std::abs(w.determinant()) < 1e-6) {
        ReportError("The W matrix of composite part " + std::to_string(k + 1) + " is singular.");
        return 1;
      }
      for (int i = 0; i < d && i < static_cast<int>(p.Qi.size()); ++i)
        for (int j = 0; j < 3; ++j) sig(i, j) = p.Qi[static_cast<size_t>(i)][j];
      const Eigen::MatrixXd wi = w.inverse();
      const Eigen::Matrix3d a = w.topLeftCorner(3, 3) + w.topRightCorner(3, d) * sig;
      const Eigen::Matrix3d ai = a.inverse();
      const Eigen::MatrixXd qp = (w.bottomLeftCorner(d, 3) + w.bottomRightCorner(d, d) * sig) * ai;
      const Eigen::MatrixXd lam = w.bottomRightCorner(d, d) - qp * w.topRightCorner(3, d);
      const Eigen::MatrixXd pl = wi.topRightCorner(3, d) * lam;
      Eigen::Matrix3d gi;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) gi(i, j) = ph.GInv[static_cast<size_t>(3 * i + j)];
      const Eigen::Matrix3d gip = a * gi * a.transpose();
      DistPart part;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          part.A[3 * i + j] = a(i, j);
          part.AInv[3 * i + j] = ai(i, j);
          part.GInv[3 * i + j] = gip(i, j);
        }
      for (int i = 0; i < d; ++i) {
        for (int j = 0; j < 3; ++j) {
          part.Q[static_cast<size_t>(i)][j] = qp(i, j);
          part.PL[static_cast<size_t>(j * d + i)] = pl(j, i);
        }
        for (int j = 0; j < d; ++j) part.Lambda[static_cast<size_t>(i * d + j)] = lam(i, j);
      }
      for (const DistOp& o : ph.Ops) {
        Eigen::MatrixXd r = Eigen::MatrixXd::Identity(nd, nd);
        Eigen::VectorXd t = Eigen::VectorXd::Zero(nd);
        if (o.Op < static_cast<int>(sy.Op.size())) {
          const SymmOp& so = sy.Op[static_cast<size_t>(o.Op)];
          for (int i = 0; i < nd; ++i) {
            t(i) = so.S6[static_cast<size_t>(i)];
            for (int j = 0; j < nd; ++j) r(i, j) = so.RM6[static_cast<size_t>(i * nd + j)];
          }
        }
        if (o.Centr < static_cast<int>(sy.VT6.size()))
          for (int i = 0; i < nd; ++i) t(i) += sy.VT6[static_cast<size_t>(o.Centr)][static_cast<size_t>(i)];
        const Eigen::MatrixXd rp = w * r * wi;
        const Eigen::VectorXd tp = w * t;
        std::array<double, 36> rr{};
        std::array<double, 6> tt{};
        for (int i = 0; i < nd; ++i) {
          tt[static_cast<size_t>(i)] = tp(i);
          for (int j = 0; j < nd; ++j) rr[static_cast<size_t>(i * nd + j)] = rp(i, j);
        }
        part.R.push_back(rr);
        part.S.push_back(tt);
      }
      ph.Parts.push_back(std::move(part));
    }
  }

  // Split positions: each "atsplit" record of M40 names the atoms of one.
  std::vector<std::vector<std::string>> split;
  if (phase <= static_cast<int>(s.Model.Phase.size()))
    for (const auto& o : s.Model.Phase[static_cast<size_t>(phase - 1)].Opt)
      if (o.Index >= 0 &&
          std::string_view(M40OptionKeys[static_cast<size_t>(o.Index)]) == "atsplit")
        split.push_back(o.Words);

  for (size_t i = 0; i < s.Model.Atom.size(); ++i) {
    const AtomRec& r = s.Model.Atom[i];
    if (r.Phase != phase) continue;
    const AtomLayoutInfo lay = AtomLayout(r.Shape);
    DistAtom a;
    a.Index = static_cast<int>(i);
    a.Name = r.Name;
    a.Type = r.Type;
    a.Part = r.Part;
    SetTypeInfo(a, p);
    auto val = [&](int off) {
      return off < r.Par.size() ? r.Par.Val[static_cast<size_t>(off)] : 0.;
    };
    auto sig = [&](int off) {
      return off < r.Par.size() ? r.Par.Sig[static_cast<size_t>(off)] : 0.;
    };
    a.Ai = val(lay.Off[BlkOcc]);
    for (int k = 0; k < 3; ++k) {
      a.X[k] = val(lay.Off[BlkPos] + k);
      a.XSu[k] = sig(lay.Off[BlkPos] + k);
    }
    a.Aniso = r.Shape.AdpOrder >= 2 && lay.Len[BlkAdp] >= 6;
    if (a.Aniso) {
      for (int k = 0; k < 6; ++k) {
        a.Beta[k] = val(lay.Off[BlkAdp] + k);
        a.BetaSu[k] = sig(lay.Off[BlkAdp] + k);
      }
    } else if (lay.Len[BlkAdp] >= 1) {  // Uiso is the block's first value
      a.UIso = val(lay.Off[BlkAdp]);
      a.UIsoSu = sig(lay.Off[BlkAdp]);
    }
    a.SiteOrder = 0;
    for (const auto& o : ph.Ops) a.SiteOrder += SameModLattice(Apply(o, a.X), a.X);
    a.SiteOrder = std::max(1, a.SiteOrder);
    a.Occ = a.Ai * a.SiteOrder;
    for (size_t g = 0; g < split.size(); ++g)
      for (const auto& w : split[g])
        if (EqIgnoreCase(w, a.Name)) a.Split = static_cast<int>(g) + 1;
    ph.Atoms.push_back(std::move(a));
  }
  ph.FromModel.assign(s.Model.Atom.size(), -1);
  for (size_t i = 0; i < ph.Atoms.size(); ++i)
    ph.FromModel[static_cast<size_t>(ph.Atoms[i].Index)] = static_cast<int>(i);
  const size_t nAtoms = ph.Atoms.size();
  DistAddMolecules(s, ph);
  for (size_t i = nAtoms; i < ph.Atoms.size(); ++i) {
    DistAtom& a = ph.Atoms[i];
    SetTypeInfo(a, p);
    a.SiteOrder = 0;
    for (const auto& o : ph.Ops) a.SiteOrder += SameModLattice(Apply(o, a.X), a.X);
    a.SiteOrder = std::max(1, a.SiteOrder);
    a.Occ = a.Ai * a.SiteOrder;
  }
  if (s.Basic.RoundMethod) ph.RoundRule = *s.Basic.RoundMethod;
  return 0;
}

int DistGradKey(const DistPhase& ph, int i) {
  const int idx = ph.Atoms[static_cast<size_t>(i)].Index;
  return idx >= 0 ? idx : -1 - i;
}

namespace {

// Adds derivative d by the own coordinates of gradient key `key` to out,
// passing those of objects and atoms of molecules on to what they follow.
void ExpandInto(const DistPhase& ph, int key, const Vec3& d, DistGrad& out) {
  static const Mat3 kI{1, 0, 0, 0, 1, 0, 0, 0, 1};
  if (key >= 0) {
    out.Add(key, kI, d);
    return;
  }
  // d is the derivative by the object's own position, a weighted sum of its
  // constituents' images R x (or, for an atom of a molecule, a function of
  // parameter triples with Jacobians R): each gets W R^T d.
  for (const auto& c : ph.Atoms[static_cast<size_t>(-1 - key)].Of) {
    Vec3 w{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) w[i] += c.R[3 * j + i] * d[j] * c.W;
    ExpandInto(ph, c.Key >= 0 ? c.Key : DistGradKey(ph, c.At), w, out);
  }
}

}  // namespace

DistGrad DistExpandGrad(const DistPhase& ph, const DistGrad& g) {
  DistGrad out;
  out.Cell = g.Cell;
  for (const auto& [key, d] : g.Atom) ExpandInto(ph, key, d, out);
  return out;
}

const DistPart* DistPartOf(const DistPhase& ph, int atom) {
  if (ph.Parts.empty()) return nullptr;
  const int k = std::clamp(ph.Atoms[static_cast<size_t>(atom)].Part, 1,
                           static_cast<int>(ph.Parts.size()));
  return &ph.Parts[static_cast<size_t>(k - 1)];
}

Mat3 DistPartR(const DistPhase& ph, int atom, int op) {
  const DistPart* pt = DistPartOf(ph, atom);
  if (!pt) return ph.Ops[static_cast<size_t>(op)].R;
  // AInv times the physical block of the operator in the part's basis.
  const int nd = 3 + ph.NDimI;
  const auto& r = pt->R[static_cast<size_t>(op)];
  Mat3 out{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) out[3 * i + j] += pt->AInv[3 * i + k] * r[static_cast<size_t>(k * nd + j)];
  return out;
}

void DistPushNeighbour(const DistPhase& ph, const DistPoint& pa, int b, int io,
                       const std::array<int, 3>& n, const Vec3& x, size_t first,
                       std::vector<DistNeighbour>& out) {
  for (size_t k = first; k < out.size(); ++k) {
    const Vec3 e = DistDiff(out[k].X, x);
    if (std::fabs(e[0]) < kSameSite && std::fabs(e[1]) < kSameSite && std::fabs(e[2]) < kSameSite)
      return;
  }
  DistNeighbour nb;
  nb.Atom = b;
  nb.Op = io;
  nb.N = n;
  nb.X = x;
  DistValue v = DistDistance(ph.Cell, pa, DistPointOf(ph, nb));
  nb.D = v.Value;
  nb.Grad = std::move(v.Grad);
  nb.DSu = DistSu(ph, nb.Grad);
  out.push_back(std::move(nb));
}

DistPoint DistPointOf(const DistPhase& ph, const DistNeighbour& n) {
  DistPoint p;
  p.Atom = DistGradKey(ph, n.Atom);
  p.R = DistPartR(ph, n.Atom, n.Op);
  p.X = n.X;
  return p;
}

DistPoint DistPointOf(const DistPhase& ph, int atom) {
  DistPoint p;
  p.Atom = DistGradKey(ph, atom);
  p.X = ph.Atoms[static_cast<size_t>(atom)].X;
  if (const DistPart* pt = DistPartOf(ph, atom)) {
    // At the reference section T0: x_ref = AInv x + PL t0.
    p.R = pt->AInv;
    const int d = ph.NDimI;
    Vec3 x{};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) x[i] += pt->AInv[3 * i + j] * p.X[j];
      for (int j = 0; j < d; ++j) x[i] += pt->PL[static_cast<size_t>(i * d + j)] * ph.T0[static_cast<size_t>(j)];
    }
    p.X = x;
  }
  return p;
}

std::vector<DistNeighbour> DistAround(const DistPhase& ph, int a, double dmin, double dmaxAll,
                                      const std::function<double(int)>& dmax,
                                      const std::function<bool(int)>& accept) {
  std::vector<DistNeighbour> out;
  const DistAtom& A = ph.Atoms[static_cast<size_t>(a)];
  const DistPoint pa = DistPointOf(ph, a);
  // Reach of a distance along each axis in fractions: d * |a*_i|.
  Vec3 reach{};
  for (int i = 0; i < 3; ++i) reach[i] = dmaxAll * std::sqrt(std::max(0., ph.GInv[i * 4]));
  const double d2All = dmaxAll * dmaxAll;
  const Mat3& g = ph.Cell.G;
  for (int b = 0; b < static_cast<int>(ph.Atoms.size()); ++b) {
    if (!accept(b)) continue;
    const double dm = dmax(b);
    if (!(dm > 0.) || dm < dmin) continue;
    const size_t first = out.size();
    const DistAtom& B = ph.Atoms[static_cast<size_t>(b)];
    for (int io = 0; io < static_cast<int>(ph.Ops.size()); ++io) {
      const Vec3 y = Apply(ph.Ops[static_cast<size_t>(io)], B.X);
      Vec3 d0 = DistDiff(y, A.X);
      std::array<int, 3> lo{}, hi{};
      for (int i = 0; i < 3; ++i) {
        lo[i] = static_cast<int>(std::ceil(-reach[i] - d0[i]));
        hi[i] = static_cast<int>(std::floor(reach[i] - d0[i]));
      }
      for (int n0 = lo[0]; n0 <= hi[0]; ++n0)
        for (int n1 = lo[1]; n1 <= hi[1]; ++n1)
          for (int n2 = lo[2]; n2 <= hi[2]; ++n2) {
            const Vec3 d{d0[0] + n0, d0[1] + n1, d0[2] + n2};
            const double d2 = DistDot(g, d, d);
            if (d2 > d2All || d2 > dm * dm || d2 < dmin * dmin) continue;
            if (b == a && d2 < kZeroDist * kZeroDist) continue;
            DistPushNeighbour(ph, pa, b, io, {n0, n1, n2}, {y[0] + n0, y[1] + n1, y[2] + n2}, first,
                              out);
          }
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const DistNeighbour& x, const DistNeighbour& y) { return x.D < y.D; });
  return out;
}

std::string DistSymmCode(const DistNeighbour& n) {
  if (n.Op == 0 && n.N == std::array<int, 3>{0, 0, 0}) return ".";
  if (std::all_of(n.N.begin(), n.N.end(), [](int v) { return v >= -4 && v <= 4; }))
    return fmt::format("{}_{}{}{}", n.Op + 1, 5 + n.N[0], 5 + n.N[1], 5 + n.N[2]);
  return fmt::format("{}_{}_{}_{}", n.Op + 1, n.N[0], n.N[1], n.N[2]);
}

std::string DistNameWithSymm(const DistPhase& ph, const DistNeighbour& n) {
  const std::string& name = ph.Atoms[static_cast<size_t>(n.Atom)].Name;
  if (n.Op == 0 && n.N == std::array<int, 3>{0, 0, 0}) return name;
  const DistOp& o = ph.Ops[static_cast<size_t>(n.Op)];
  std::string s = fmt::format("{}#s{}", name, o.Op + 1);
  if (o.Centr > 0) s += fmt::format("c{}", o.Centr + 1);
  std::array<int, 3> t{};
  const bool part = DistPartOf(ph, n.Atom) != nullptr;  // parts keep whole translations
  for (int k = 0; k < 3; ++k) t[k] = n.N[k] + (part ? 0 : static_cast<int>(o.Shift[k]));
  if (t != std::array<int, 3>{0, 0, 0}) s += fmt::format("t{},{},{}", t[0], t[1], t[2]);
  return s;
}

bool DistParseAtom(const DistPhase& ph, std::string_view text, DistNeighbour& out) {
  const size_t h = text.find('#');
  const std::string_view name = text.substr(0, h);
  out = DistNeighbour{};
  out.Atom = -1;
  for (size_t i = 0; i < ph.Atoms.size(); ++i)
    if (EqIgnoreCase(ph.Atoms[i].Name, name)) out.Atom = static_cast<int>(i);
  if (out.Atom < 0) return false;
  const Vec3& x = ph.Atoms[static_cast<size_t>(out.Atom)].X;
  out.X = DistPointOf(ph, out.Atom).X;
  if (h == std::string_view::npos) return true;
  // "#s<op>[c<centring>][t<n1>,<n2>,<n3>]"
  std::string_view s = text.substr(h + 1);
  int op = 1, centr = 1;
  std::array<int, 3> t{};
  auto number = [&](int& v) {
    size_t k = 0;
    while (k < s.size() &&
           (std::isdigit(static_cast<unsigned char>(s[k])) || (k == 0 && s[k] == '-')))
      ++k;
    auto r = ToInt(s.substr(0, k));
    if (!r) return false;
    v = static_cast<int>(*r);
    s.remove_prefix(k);
    return true;
  };
  if (s.empty() || (s[0] != 's' && s[0] != 'S')) return false;
  s.remove_prefix(1);
  if (!number(op)) return false;
  if (!s.empty() && (s[0] == 'c' || s[0] == 'C')) {
    s.remove_prefix(1);
    if (!number(centr)) return false;
  }
  if (!s.empty() && (s[0] == 't' || s[0] == 'T')) {
    s.remove_prefix(1);
    for (int k = 0; k < 3; ++k) {
      if (k > 0) {
        if (s.empty() || s[0] != ',') return false;
        s.remove_prefix(1);
      }
      if (!number(t[static_cast<size_t>(k)])) return false;
    }
  }
  if (!s.empty()) return false;
  for (size_t i = 0; i < ph.Ops.size(); ++i) {
    const DistOp& o = ph.Ops[i];
    if (o.Op + 1 != op || o.Centr + 1 != centr) continue;
    out.Op = static_cast<int>(i);
    if (const DistPart* pt = DistPartOf(ph, out.Atom)) {
      // The operator in the part's basis, the translation in its lattice.
      out.N = t;
      const int nd = 3 + ph.NDimI, d = ph.NDimI;
      const auto& r = pt->R[i];
      Vec3 y{};
      for (int k = 0; k < 3; ++k) {
        y[k] = pt->S[i][static_cast<size_t>(k)] + t[static_cast<size_t>(k)];
        for (int j = 0; j < 3; ++j) y[k] += r[static_cast<size_t>(k * nd + j)] * x[j];
      }
      for (int k = 0; k < 3; ++k) {
        out.X[k] = 0.;
        for (int j = 0; j < 3; ++j) out.X[k] += pt->AInv[3 * k + j] * y[j];
        for (int j = 0; j < d; ++j) out.X[k] += pt->PL[static_cast<size_t>(k * d + j)] * ph.T0[static_cast<size_t>(j)];
      }
      return true;
    }
    for (int k = 0; k < 3; ++k) out.N[k] = t[k] - static_cast<int>(o.Shift[k]);
    out.X = Apply(o, x);
    for (int k = 0; k < 3; ++k) out.X[k] += out.N[k];
    return true;
  }
  return false;
}

double DistSu(const DistPhase& ph, const DistGrad& grad) {
  const bool objects = std::any_of(grad.Atom.begin(), grad.Atom.end(),
                                   [](const auto& e) { return e.first < 0; });
  const DistGrad expanded = objects ? DistExpandGrad(ph, grad) : DistGrad{};
  const DistGrad& g = objects ? expanded : grad;
  if (ph.Cov) return DistSuCov(ph, g, *ph.Cov);
  double s = 0.;
  for (const auto& [atom, d] : g.Atom) {
    // Gradients are kept by model index, or by parameter triple of a molecule.
    const Vec3& su =
        atom >= DistExtraKey
            ? ph.Extra[static_cast<size_t>(atom - DistExtraKey)].Su
            : ph.Atoms[static_cast<size_t>(ph.FromModel[static_cast<size_t>(atom)])].XSu;
    for (int k = 0; k < 3; ++k) s += (d[k] * su[k]) * (d[k] * su[k]);
  }
  for (int k = 0; k < 6; ++k) s += (g.Cell[k] * ph.Cell.Su[k]) * (g.Cell[k] * ph.Cell.Su[k]);
  return std::sqrt(s);
}

}  // namespace tarn
