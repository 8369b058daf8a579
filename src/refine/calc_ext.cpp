// Extinction (Becker-Coppens and SHELX-type), twin domains with their
// coinciding reflections, and magnetic scattering of neutrons.
#include "refine/calc_ext.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "model/scatdata.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

constexpr double kElectronRadius = 2.8179403262e-5;  // classical electron radius r_e, Angstrom
constexpr double kFm2ToA2 = 1.0e-10;                 // fm^2 -> Angstrom^2
constexpr double kUmToA = 1.0e4;                     // micrometre -> Angstrom
constexpr double kTolSin2Th = 1.0e-8;                // smaller sin(2 theta): no extinction
constexpr double kTolDenom = 1.0e-12;   // smallest accepted 1 + k x + ... of the factor
constexpr double kTolShelx = 1.0e-6;    // smallest accepted 1 + x e
constexpr double kTolTwinDet = 1.0e-6;  // |det T| below this: singular twin matrix
constexpr double kTolMoment = 1.0e-10;  // moment modulus below this has no direction

const char* const kExtMsg[] = {
    "Anisotropic extinction cannot be performed.",
    "Twin matrix of domain {} is singular.",
    "Number of twin fractions does not agree with the number of twin domains.",
};
static_assert(std::size(kExtMsg) == static_cast<size_t>(ExtMsg::Count));

using M3 = Eigen::Matrix3d;
using V3 = Eigen::Vector3d;

M3 ToM3(const std::array<double, 9>& a) {
  M3 m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m(i, j) = a[3 * i + j];
  return m;
}
std::array<double, 9> FromM3(const M3& m) {
  std::array<double, 9> a{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[3 * i + j] = m(i, j);
  return a;
}

// Secondary (and primary) factor [1 + k x + A x^2 / (1 + B x)]^-1/2 and its x-derivative
// (Becker & Coppens 1974, eq. 46 form).
struct YCoef {
  double k = 2., A = 0., B = 0.;
};
double YFun(double x, const YCoef& c, double& dydx) {
  double den = 1. + c.B * x;
  double d = 1. + c.k * x + c.A * x * x / den;
  if (d < kTolDenom) {
    dydx = 0.;
    return 1. / std::sqrt(kTolDenom);
  }
  double y = 1. / std::sqrt(d);
  dydx = -0.5 * y / d * (c.k + c.A * (2. * x + c.B * x * x) / (den * den));
  return y;
}

YCoef TypeIICoef(double c) {
  return {2., 0.20 + 0.45 * c, 0.22 - 0.12 * (0.5 - c) * (0.5 - c)};
}
YCoef SecondaryCoef(int kind, int distr, double c, double sinTh, const ExtAbsTables* abs) {
  YCoef y;
  if (kind == 2)
    y = TypeIICoef(c);
  else if (distr == 2)
    y = {2., 0.025 + 0.285 * c, c >= 0. ? 0.15 - 0.2 * (0.75 - c) * (0.75 - c) : -0.45 * c};
  else
    y = {2.12, 0.58 + 0.48 * c + 0.24 * c * c, 0.02 - 0.025 * c};
  if (abs) {
    // Linear interpolation in the tables at sin(theta), steps of 0.1.
    double t = std::clamp(10. * sinTh, 0., 10.);
    int i = std::min(static_cast<int>(t), 9);
    double f = t - i;
    y.A = abs->A[i] + f * (abs->A[i + 1] - abs->A[i]);
    y.B = abs->B[i] + f * (abs->B[i + 1] - abs->B[i]);
  }
  return y;
}

// x_p and x_s (weight 1) with derivatives with respect to r (micrometres) and g.
struct XVal {
  double xp = 0., xs = 0.;
  double dxp_dr = 0., dxs_dr = 0., dxs_dg = 0.;
};
struct Geo {
  double q = 0.;  // kinematic reflectivity per unit path, 1/Angstrom
  double s = 0.;  // sin(2 theta) / lambda, 1/Angstrom
  double c = 0.;  // cos(2 theta)
  bool ok = false;
};
Geo MakeGeo(const ExtInput& in) {
  Geo g;
  double st = std::clamp(in.SinTh, 0., 1.);
  double s2 = 2. * st * std::sqrt(1. - st * st);
  g.c = 1. - 2. * st * st;
  if (s2 < kTolSin2Th || in.Lambda <= 0. || in.Volume <= 0.) return g;
  double amp2 = in.RadType == 2   ? kFm2ToA2 * in.Fc2
                : in.RadType == 3 ? in.Fc2
                                  : kElectronRadius * kElectronRadius * in.Fc2;
  g.q = amp2 / (in.Volume * in.Volume) * in.Lambda * in.Lambda * in.Lambda / s2;
  g.s = s2 / in.Lambda;
  g.ok = true;
  return g;
}

XVal XValues(int kind, int distr, double r, double g, const Geo& geo, double tBar) {
  XVal x;
  double rA = kUmToA * r;
  double t = tBar > 0. ? kUmToA * tBar : 1.5 * rA;  // mean path, Angstrom
  double dt = tBar > 0. ? 0. : 1.5 * kUmToA;        // dT/dr
  double q23 = 2. / 3. * geo.q;
  if (kind == 1) {
    x.xs = q23 * g * t;
    x.dxs_dg = q23 * t;
    x.dxs_dr = q23 * g * dt;
    return x;
  }
  if (kind == 2) {
    x.xs = q23 * rA * geo.s * t;
    x.dxs_dr = q23 * geo.s * (kUmToA * t + rA * dt);
    return x;
  }
  // General type: effective radius r* of the particle broadened by the mosaic spread.
  double rs, drs_dr, drs_dg;
  if (g <= 0.) {
    rs = 0.;
    drs_dr = 0.;
    drs_dg = geo.s > 0. ? 1. / geo.s : 0.;
  } else {
    double u = rA * geo.s / g;
    if (distr == 2) {
      rs = rA / (1. + u);
      drs_dr = 1. / ((1. + u) * (1. + u));
      drs_dg = rA * u / g / ((1. + u) * (1. + u));
    } else {
      double w = std::pow(1. + u * u, -1.5);
      rs = rA / std::sqrt(1. + u * u);
      drs_dr = w;
      drs_dg = rA * u * u / g * w;
    }
  }
  x.xs = q23 * rs * geo.s * t;
  x.dxs_dr = q23 * geo.s * (drs_dr * kUmToA * t + rs * dt);
  x.dxs_dg = q23 * geo.s * t * drs_dg;
  x.xp = geo.q * geo.s * rA * rA;
  x.dxp_dr = 2. * geo.q * geo.s * rA * kUmToA;
  return x;
}

// y over the polarisation components and dy/dr, dy/dg.
double YIso(int kind, int distr, double r, double g, const ExtInput& in, const Geo& geo,
            double& dyr, double& dyg) {
  dyr = dyg = 0.;
  if (!geo.ok) return 1.;
  XVal xv = XValues(kind, distr, r, g, geo, in.TBar);
  YCoef cs = SecondaryCoef(kind, distr, geo.c, in.SinTh, in.Abs);
  YCoef cp = TypeIICoef(geo.c);
  double pw[2] = {in.RadType == 1 ? in.PolK : 1., geo.c * geo.c};
  int ncomp = in.RadType == 1 ? 2 : 1;
  double sumP = 0., y = 0.;
  for (int j = 0; j < ncomp; ++j) {
    double p = pw[j];
    double yp = 1., dyp = 0.;  // dyp = dy_p/dx_p
    if (kind == 3) yp = YFun(p * xv.xp, cp, dyp);
    double xs0 = p * xv.xs;
    double dys;
    double ys = YFun(xs0 * yp, cs, dys);
    // d(x_s y_p)/dtheta = p dxs yp + xs0 dyp p dxp
    double dxsr = p * xv.dxs_dr * yp + xs0 * dyp * p * xv.dxp_dr;
    double dxsg = p * xv.dxs_dg * yp;
    dyr += p * (dyp * p * xv.dxp_dr * ys + yp * dys * dxsr);
    dyg += p * (yp * dys * dxsg);
    y += p * yp * ys;
    sumP += p;
  }
  if (sumP <= 0.) {
    dyr = dyg = 0.;
    return 1.;
  }
  dyr /= sumP;
  dyg /= sumP;
  return y / sumP;
}

// e.T.e for a symmetric tensor in the order 11 22 33 12 13 23, and its gradient.
double TensorAlong(const double* t, const V3& e, double* grad) {
  double v[6] = {e(0) * e(0),      e(1) * e(1),      e(2) * e(2),
                 2. * e(0) * e(1), 2. * e(0) * e(2), 2. * e(1) * e(2)};
  double s = 0.;
  for (int i = 0; i < 6; ++i) {
    s += t[i] * v[i];
    grad[i] = v[i];
  }
  return s;
}

}  // namespace

const char* ExtMsgText(ExtMsg id) {
  return kExtMsg[static_cast<int>(id)];
}

void ExtXValues(int kind, int distr, double r, double g, const ExtInput& in, double& xp,
                double& xs) {
  Geo geo = MakeGeo(in);
  XVal x = geo.ok ? XValues(kind, distr, r, g, geo, in.TBar) : XVal{};
  xp = x.xp;
  xs = x.xs;
}

double ShelxExt(double x, double fcOverK, double lambda, double sin2Th, int radType, double* dfdx) {
  // e = c (Fc/k)^2 lambda^3 / sin(2 theta); factor on the intensity (1 + x e)^-1/2, the square
  // of the factor (1 + x e)^-1/4 on Fc.
  double c = radType == 3 ? 1. : 0.001;
  double e = std::abs(sin2Th) > kTolSin2Th
                 ? c * fcOverK * fcOverK * lambda * lambda * lambda / std::abs(sin2Th)
                 : 0.;
  double d = 1. + x * e;
  if (d < kTolShelx) {
    if (dfdx) *dfdx = 0.;
    return 1. / std::sqrt(kTolShelx);
  }
  double f = 1. / std::sqrt(d);
  if (dfdx) *dfdx = -0.5 * e * f / d;
  return f;
}

double ExtFactor(const DatBlockModel& m, const ExtInput& in, double* dy, int& problem) {
  problem = 0;
  int n = ExtParCount(m.ExtType);
  if (dy) std::fill(dy, dy + n, 0.);
  if (m.Ext.size() < n) return 1.;
  if (m.ExtType == ExtShelx) {
    double st = std::clamp(in.SinTh, 0., 1.);
    double s2 = 2. * st * std::sqrt(1. - st * st);
    return ShelxExt(m.Ext.Val[0], std::sqrt(std::max(in.Fc2, 0.)), in.Lambda, s2, in.RadType, dy);
  }
  if (m.ExtType != ExtIso && m.ExtType != ExtAniso) return 1.;
  Geo geo = MakeGeo(in);
  int kind = std::clamp(m.ExtKind, 1, 3);
  double dyr, dyg;
  if (m.ExtType == ExtIso) {
    double y = YIso(kind, m.ExtDistr, m.Ext.Val[0], m.Ext.Val[1], in, geo, dyr, dyg);
    if (dy) {
      dy[0] = dyr;
      dy[1] = dyg;
    }
    return y;
  }
  // Anisotropic: radius and mosaic parameter along the diffraction vector.
  V3 e(in.HCart[0], in.HCart[1], in.HCart[2]);
  double len = e.norm();
  if (!geo.ok || len <= 0.) return 1.;
  e /= len;
  double gw[6], gz[6];
  double sw = TensorAlong(&m.Ext.Val[0], e, gw);
  double sz = TensorAlong(&m.Ext.Val[6], e, gz);
  bool needR = kind != 1 || in.TBar <= 0.;
  bool needG = kind != 2;
  if ((needR && sw <= 0.) || (needG && sz <= 0.)) {
    problem = 1;
    return 1.;
  }
  double r = needR ? 1. / std::sqrt(sw) : 0.;
  double g = needG ? 1. / std::sqrt(sz) : 0.;
  double y = YIso(kind, m.ExtDistr, r, g, in, geo, dyr, dyg);
  if (dy) {
    // r = s^-1/2: dr/ds = -r^3 / 2.
    for (int i = 0; i < 6; ++i) {
      dy[i] = needR ? dyr * (-0.5 * r * r * r) * gw[i] : 0.;
      dy[6 + i] = needG ? dyg * (-0.5 * g * g * g) * gz[i] : 0.;
    }
  }
  return y;
}

// ---------------------------------------------------------------- twinning
void TwinUpdateFractions(TwinSetup& t, const DatBlockModel& m) {
  t.Frac.assign(t.NDomain, 0.);
  double sum = 0.;
  for (int i = 1; i < t.NDomain && i < m.Twin.size(); ++i) {
    t.Frac[i] = m.Twin.Val[i];
    sum += t.Frac[i];
  }
  t.Frac[0] = 1. - sum;
}

int SetTw(TwinSetup& t, const BasicData& b, const DatBlockModel& m, int phase, int datBlock,
          double twDiff, int mMaxTw, double overDiff, int overlap, std::string& msg) {
  t = TwinSetup{};
  msg.clear();
  int nd = std::max<int>(1, static_cast<int>(b.Twin.size()));
  if (nd > 1 && m.Twin.size() != nd) {
    msg = ExtMsgText(ExtMsg::TwinCount);
    return 1;
  }
  t.NDomain = nd;
  for (int i = 0; i < nd; ++i) {
    M3 mt = M3::Identity();
    if (!b.Twin.empty()) {
      const auto& v = b.Twin[i];
      if (v.size() < 9) {
        msg = fmt::format(fmt::runtime(kExtMsg[static_cast<int>(ExtMsg::TwinSingular)]), i + 1);
        return 1;
      }
      for (int k = 0; k < 9; ++k) mt(k / 3, k % 3) = v[k];
    }
    if (std::abs(mt.determinant()) < kTolTwinDet) {
      msg = fmt::format(fmt::runtime(kExtMsg[static_cast<int>(ExtMsg::TwinSingular)]), i + 1);
      return 1;
    }
    t.Mat.push_back(FromM3(mt));
    t.MatI.push_back(FromM3(mt.inverse()));
  }
  TwinUpdateFractions(t, m);
  if (phase >= 0 && phase < static_cast<int>(b.Phase.size())) {
    const PhaseBasic& ph = b.Phase[phase];
    t.NDim = ph.NDim;
    std::copy(std::begin(ph.MetTensI), std::end(ph.MetTensI), t.MetI.begin());
    for (int j = 0; j < ph.NDim - 3 && j < static_cast<int>(ph.Qi.size()); ++j)
      t.Q.push_back(ph.Qi[j]);
    t.NDim = 3 + static_cast<int>(t.Q.size());
  }
  if (datBlock >= 0 && datBlock < static_cast<int>(b.DatBlock.size()))
    t.Lambda = b.DatBlock[datBlock].Lambda;
  t.TwDiff = twDiff;
  t.MMaxTw = std::max(0, mMaxTw);
  t.OverDiff = overDiff > 0. ? overDiff : twDiff;
  t.Overlap = overlap;
  return 0;
}

namespace {

// Angle (degrees) between the diffracted beams of two reciprocal vectors
// separated by dq (reference r.l.u.): 2 asin(lambda |dq| / 2).
double TwinAngle(const TwinSetup& t, const V3& dq) {
  M3 g = ToM3(t.MetI);
  double d = std::sqrt(std::max(0., dq.dot(g * dq)));
  if (t.Lambda <= 0.) return d > 1.e-9 ? 180. : 0.;
  return 2. * std::asin(std::min(1., 0.5 * t.Lambda * d)) / kDeg;
}

}  // namespace

void TwinParts(const TwinSetup& t, const int* h, std::vector<TwinPart>& out) {
  out.clear();
  int nq = static_cast<int>(t.Q.size());
  TwinPart self;
  self.Domain = 0;
  for (int k = 0; k < t.NDim; ++k) self.H[k] = h[k];
  out.push_back(self);
  // Position of the observed reflection in the reference reciprocal cell.
  V3 pos(h[0], h[1], h[2]);
  for (int j = 0; j < nq; ++j) pos += h[3 + j] * V3(t.Q[j][0], t.Q[j][1], t.Q[j][2]);
  bool obsSat = false;
  for (int j = 0; j < nq; ++j) obsSat |= h[3 + j] != 0;
  int span = nq > 0 ? 2 * t.MMaxTw + 1 : 1;
  int ncand = 1;
  for (int j = 0; j < nq; ++j) ncand *= span;
  for (int d = 0; d < t.NDomain; ++d) {
    M3 mt = ToM3(t.Mat[d]);
    V3 pd = ToM3(t.MatI[d]) * pos;  // the position in the setting of domain d
    for (int ic = 0; ic < ncand; ++ic) {
      std::array<int, 3> n{};
      V3 sat = V3::Zero();
      bool isSat = false;
      for (int j = 0, c = ic; j < nq; ++j, c /= span) {
        n[j] = c % span - t.MMaxTw;
        sat += n[j] * V3(t.Q[j][0], t.Q[j][1], t.Q[j][2]);
        isSat |= n[j] != 0;
      }
      V3 k = pd - sat;
      V3 kr(std::round(k(0)), std::round(k(1)), std::round(k(2)));
      TwinPart p;
      p.Domain = d;
      for (int i = 0; i < 3; ++i) p.H[i] = static_cast<int>(kr(i));
      for (int j = 0; j < nq; ++j) p.H[3 + j] = n[j];
      if (p.H == self.H && d == 0) continue;
      double ang = TwinAngle(t, mt * (kr + sat) - pos);
      // Reflections of the other domains coincide within the twin window; overlaps that
      // involve a satellite (of any domain) within the overlap window count with `overlap` set.
      bool take =
          (d > 0 && ang < t.TwDiff) || (t.Overlap != 0 && (isSat || obsSat) && ang < t.OverDiff);
      if (!take) continue;
      if (std::find_if(out.begin(), out.end(), [&](const TwinPart& o) {
            return o.Domain == p.Domain && o.H == p.H;
          }) == out.end())
        out.push_back(p);
    }
  }
}

double TwinSum(const TwinSetup& t, const std::vector<TwinPart>& parts,
               const std::vector<double>& intensity, double* dFrac) {
  double s = 0.;
  if (dFrac) std::fill(dFrac, dFrac + t.NDomain, 0.);
  std::vector<double> perDomain(t.NDomain, 0.);
  for (size_t k = 0; k < parts.size() && k < intensity.size(); ++k) {
    int d = parts[k].Domain;
    s += t.Frac[d] * intensity[k];
    perDomain[d] += intensity[k];
  }
  // Frac[0] = 1 - sum of the others: dI/dFrac_j = I_j - I_0.
  if (dFrac)
    for (int j = 1; j < t.NDomain; ++j) dFrac[j] = perDomain[j] - perDomain[0];
  return s;
}

// ---------------------------------------------------------------- magnetic
int MagPrepare(MagSetup& s, const PhaseBasic& ph) {
  s = MagSetup{};
  const double* c = ph.Cell;
  double ca = std::cos(c[3] * kDeg), cb = std::cos(c[4] * kDeg), cg = std::cos(c[5] * kDeg);
  double sg = std::sin(c[5] * kDeg);
  double v2 = 1. - ca * ca - cb * cb - cg * cg + 2. * ca * cb * cg;
  if (c[0] <= 0. || c[1] <= 0. || c[2] <= 0. || v2 <= 0. || sg == 0.) return 1;
  // Orthogonalisation: x along a, y in the ab plane, z along c*.
  M3 o;
  o << c[0], c[1] * cg, c[2] * cb,  //
      0., c[1] * sg, c[2] * (ca - cb * cg) / sg, 0., 0., c[2] * std::sqrt(v2) / sg;
  M3 oi = o.inverse();
  M3 ax = o;
  for (int j = 0; j < 3; ++j) ax.col(j) /= c[j];
  s.Orth = FromM3(o);
  s.AxCart = FromM3(ax);
  s.AxCartI = FromM3(ax.inverse());
  s.RecCart = FromM3(oi);
  s.Magnetic = ph.Magnetic;
  const PhaseSymmetry& sy = ph.Symmetry;
  for (int i = 0; i < sy.NSymm && i < sy.MaxSymm(); ++i)
    s.RMagCart.push_back(FromM3(o * ToM3(sy.Op[i].RMag) * oi));
  return 0;
}

std::array<double, 3> MagMomentCart(const MagSetup& s, const double* val, int repr, double* d) {
  std::array<double, 3> m{};
  if (repr == MagSpher) {
    double mod = val[0], ph = val[1] * kDeg, th = val[2] * kDeg;
    double st = std::sin(th), ct = std::cos(th), sp = std::sin(ph), cp = std::cos(ph);
    m = {mod * st * cp, mod * st * sp, mod * ct};
    if (d) {
      double j[9] = {st * cp,
                     -mod * st * sp * kDeg,
                     mod * ct * cp * kDeg,  //
                     st * sp,
                     mod * st * cp * kDeg,
                     mod * ct * sp * kDeg,  //
                     ct,
                     0.,
                     -mod * st * kDeg};
      std::copy(j, j + 9, d);
    }
    return m;
  }
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) m[i] += s.AxCart[3 * i + k] * val[k];
  if (d) std::copy(s.AxCart.begin(), s.AxCart.end(), d);
  return m;
}

void SetMag(AtomModel& m, const MagSetup& s, int phase, int from, int to) {
  if (from == to) return;
  M3 ax = ToM3(s.AxCart), axi = ToM3(s.AxCartI);
  for (AtomRec& at : m.Atom) {
    if (at.Phase != phase + 1 || at.Shape.MagPar <= 0) continue;
    AtomLayoutInfo lay = AtomLayout(at.Shape);
    if (lay.Len[BlkMag] < 3) continue;
    double* v = &at.Par.Val[lay.Off[BlkMag]];
    double* sig = &at.Par.Sig[lay.Off[BlkMag]];
    double jac[9];
    V3 out;
    M3 j;
    if (to == MagSpher) {
      V3 mc = ax * V3(v[0], v[1], v[2]);
      double mod = mc.norm();
      double th = mod > kTolMoment ? std::acos(std::clamp(mc(2) / mod, -1., 1.)) : 0.;
      double ph = mod > kTolMoment ? std::atan2(mc(1), mc(0)) : 0.;
      out = V3(mod, ph / kDeg, th / kDeg);
      // s.u. through the inverse Jacobian of the spherical -> axes map.
      MagMomentCart(s, out.data(), MagSpher, jac);
      M3 js;
      for (int k = 0; k < 9; ++k) js(k / 3, k % 3) = jac[k];
      M3 jsi = M3::Zero();
      if (std::abs(js.determinant()) > kTolMoment) jsi = js.inverse();
      j = jsi * ax;
    } else {
      MagMomentCart(s, v, MagSpher, jac);
      M3 js;
      for (int k = 0; k < 9; ++k) js(k / 3, k % 3) = jac[k];
      j = axi * js;
      out = axi * V3(MagMomentCart(s, v, MagSpher, nullptr).data());
    }
    V3 su;
    for (int i = 0; i < 3; ++i) {
      double q = 0.;
      for (int k = 0; k < 3; ++k) q += j(i, k) * j(i, k) * sig[k] * sig[k];
      su(i) = std::sqrt(q);
    }
    for (int i = 0; i < 3; ++i) {
      v[i] = out(i);
      sig[i] = su(i);
    }
  }
}

double MagFormFactor(const AtMagBasic& t, double s, double gFactor) {
  auto jn = [&](const std::vector<double>& c, int n) {
    if (c.size() < 7) return 0.;
    MagneticJ j;
    std::copy(c.begin(), c.begin() + 7, j.c.begin());
    return MagneticFormFactor(j, n, s);
  };
  double f = jn(t.J0, 0);
  if (gFactor != 0.) f += (1. - 2. / gFactor) * jn(t.J2, 2);
  return f;
}

void MagAddOp(const MagSetup& s, int op, const std::array<double, 3>& mCart, std::complex<double> w,
              std::array<std::complex<double>, 3>& fm) {
  const auto& r = s.RMagCart[op];
  for (int i = 0; i < 3; ++i)
    fm[i] += w * (r[3 * i] * mCart[0] + r[3 * i + 1] * mCart[1] + r[3 * i + 2] * mCart[2]);
}

double MagPerpIntensity(const std::array<std::complex<double>, 3>& fm,
                        const std::array<double, 3>& hCart, double* dRe, double* dIm) {
  V3 e(hCart[0], hCart[1], hCart[2]);
  double len = e.norm();
  if (len > 0.) e /= len;
  // Projector on the plane perpendicular to e (Halpern & Johnson interaction vector).
  M3 p = M3::Identity() - e * e.transpose();
  V3 a(fm[0].real(), fm[1].real(), fm[2].real());
  V3 b(fm[0].imag(), fm[1].imag(), fm[2].imag());
  V3 pa = p * a, pb = p * b;
  if (dRe)
    for (int i = 0; i < 3; ++i) dRe[i] = 2. * pa(i);
  if (dIm)
    for (int i = 0; i < 3; ++i) dIm[i] = 2. * pb(i);
  return pa.dot(a) + pb.dot(b);
}

}  // namespace tarn
