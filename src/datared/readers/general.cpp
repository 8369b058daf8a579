// General free-format reflection files, with integer or real indices.
#include "datared/readers/general.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "datared/import_msg.hpp"
#include "model/refl_fmt.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {
constexpr std::string_view kNotResolved =
    "expected indices within {} of main reflection + satellite positions (best distance {:.3f})";
}  // namespace

int ReadGeneralText(std::string_view text, const std::string& file, const GeneralColumns& col,
                    bool on_f, ImpData& d, ErrorRecord& err) {
  ImpData out;
  out.File = file;
  out.NDim = col.NDim;
  out.OnF = on_f;
  int need = std::max(col.I, col.Sig);
  for (int q = 0; q < col.NDim; ++q) need = std::max(need, col.H[q]);
  ImpLineWalker w(text, 1);
  std::string_view line;
  const char* val = on_f ? "F" : "I";
  while (w.Next(line)) {
    const std::string_view t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == '!') continue;
    const auto words = SplitWords(t);
    if (static_cast<int>(words.size()) < need)
      return ImpReadError(err, file, w.LineNo(), fmt::format("expected at least {} columns", need));
    ImpRefl r;
    r.Line = w.LineNo();
    for (int q = 0; q < col.NDim; ++q) {
      long long h = 0;
      if (!GetI(words[col.H[q] - 1], h) || std::llabs(h) > kImpMaxIndex)
        return ImpReadError(err, file, w.LineNo(),
                            fmt::format("expected an integer index in column {}", col.H[q]));
      r.H[q] = static_cast<int>(h);
    }
    if (!ImpFreeReal(words[col.I - 1], r.I))
      return ImpReadError(err, file, w.LineNo(),
                          fmt::format("expected {} as a number in column {}", val, col.I));
    if (!ImpFreeReal(words[col.Sig - 1], r.SigI) || !(r.SigI > 0.))
      return ImpReadError(err, file, w.LineNo(),
                          fmt::format("expected sigma({}) > 0 in column {}", val, col.Sig));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty())
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  d = std::move(out);
  return 0;
}

int ReadGeneral(const std::string& file, const GeneralColumns& col, bool on_f, ImpData& d,
                ErrorRecord& err) {
  std::string text;
  if (ImpReadText(file, text, err)) return 1;
  return ReadGeneralText(text, file, col, on_f, d, err);
}

int drreadreftrrealind(const std::vector<double>& tr, const double* hr, const ImpModulation& mod,
                       int* hout, double* resid) {
  double h[3] = {hr[0], hr[1], hr[2]};
  if (tr.size() == 9)
    for (int i = 0; i < 3; ++i)
      h[i] = tr[3 * i] * hr[0] + tr[3 * i + 1] * hr[1] + tr[3 * i + 2] * hr[2];
  const int nq = std::min(static_cast<int>(mod.Q.size()), kReflMaxNDim - 3);
  int mmax[kReflMaxNDim - 3] = {};
  for (int i = 0; i < nq; ++i)
    mmax[i] = i < static_cast<int>(mod.MMax.size()) ? std::max(mod.MMax[i], 0) : 1;
  // Walk the box of satellite indices m_i in [-mmax_i, mmax_i] like an odometer.
  int m[kReflMaxNDim - 3];
  for (int i = 0; i < nq; ++i) m[i] = -mmax[i];
  double best = 1e30;
  int bestsum = 0, bestm[kReflMaxNDim - 3] = {};
  while (true) {
    double dist = 0.;
    for (int j = 0; j < 3; ++j) {
      double v = h[j];
      for (int i = 0; i < nq; ++i) v -= m[i] * mod.Q[i][j];
      dist = std::max(dist, std::abs(v - std::round(v)));
    }
    int sum = 0;
    for (int i = 0; i < nq; ++i) sum += std::abs(m[i]);
    // A tie within rounding noise goes to the lower satellite order.
    if (dist < best - 1e-9 || (std::abs(dist - best) <= 1e-9 && sum < bestsum)) {
      best = dist;
      bestsum = sum;
      std::copy(m, m + nq, bestm);
    }
    int i = 0;
    while (i < nq && m[i] == mmax[i]) {
      m[i] = -mmax[i];
      ++i;
    }
    if (i == nq) break;
    ++m[i];
  }
  if (resid) *resid = best;
  if (best > kRealIndTol) return 1;
  for (int j = 0; j < 3; ++j) {
    double v = h[j];
    for (int i = 0; i < nq; ++i) v -= bestm[i] * mod.Q[i][j];
    const double r = std::round(v);
    if (std::abs(r) > kImpMaxIndex) return 1;
    hout[j] = static_cast<int>(r);
  }
  std::copy(bestm, bestm + nq, hout + 3);
  return 0;
}

int ReadRealIndicesText(std::string_view text, const std::string& file, const GeneralColumns& col,
                        bool on_f, const std::vector<double>& tr, const ImpModulation& mod,
                        ImpData& d, ErrorRecord& err) {
  ImpData out;
  out.File = file;
  out.NDim = 3 + std::min(static_cast<int>(mod.Q.size()), kReflMaxNDim - 3);
  out.OnF = on_f;
  const int need = std::max({col.H[0], col.H[1], col.H[2], col.I, col.Sig});
  const char* val = on_f ? "F" : "I";
  long no = 0;
  for (std::string_view line : ImpLines(text)) {
    ++no;
    const std::string_view t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == '!') continue;
    const auto w = SplitWords(t);
    if (static_cast<int>(w.size()) < need)
      return ImpReadError(err, file, no, fmt::format("expected at least {} columns", need));
    double hr[3];
    for (int q = 0; q < 3; ++q) {
      const auto v = ToReal(w[col.H[q] - 1]);
      if (!v || std::abs(*v) > kImpMaxIndex)
        return ImpReadError(err, file, no, fmt::format("expected an index in column {}", col.H[q]));
      hr[q] = *v;
    }
    ImpRefl r;
    r.Line = no;
    const auto vi = ToReal(w[col.I - 1]), vs = ToReal(w[col.Sig - 1]);
    if (!vi)
      return ImpReadError(err, file, no,
                          fmt::format("expected {} as a number in column {}", val, col.I));
    if (!vs || !(*vs > 0.))
      return ImpReadError(err, file, no,
                          fmt::format("expected sigma({}) > 0 in column {}", val, col.Sig));
    r.I = *vi;
    r.SigI = *vs;
    double dist = 0.;
    if (drreadreftrrealind(tr, hr, mod, r.H, &dist))
      return ImpReadError(err, file, no,
                          fmt::format(fmt::runtime(kNotResolved), kRealIndTol, dist));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty())
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  d = std::move(out);
  return 0;
}

int ImpReadGeneral(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  const ImpOptions& opt = req.Opt;
  const bool on_f = req.Format && req.Format->Code == ImpGeneralF;
  if (!opt.RealIndices) return ReadGeneral(req.File, opt.Columns, on_f, d, err);
  ImpModulation mod;
  for (size_t i = 0; i + 2 < opt.QVec.size(); i += 3)
    mod.Q.push_back({opt.QVec[i], opt.QVec[i + 1], opt.QVec[i + 2]});
  mod.MMax = opt.MMax;
  std::string text;
  if (ImpReadText(req.File, text, err)) return 1;
  return ReadRealIndicesText(text, req.File, opt.Columns, on_f, opt.TrMat, mod, d, err);
}

}  // namespace tarn
