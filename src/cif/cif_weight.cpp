// The weighting scheme of the refinement as CIF text, from the options the
// refinement runs with (refine_weight.hpp gives the formulas).
#include <fmt/format.h>

#include "cif/cif_report.hpp"

namespace tarn {

CifWeighting CifWeightingText(const RefWeightOpt& o) {
  CifWeighting w;
  const char* q = o.FSquare ? "Fo^2^" : "Fo";  // the refined quantity
  if (o.Weight == 1) {
    w.Scheme = "unit";
    w.Details = "w=1";
  } else if (o.Weight == 2) {
    // Cruickshank: w(F) = 1/(2 Fmin + Fo + 2 Fo^2/Fmax); w(I) = w(F)/(4 Fo^2).
    w.Scheme = "calc";
    const std::string d = fmt::format("{:.2f}+Fo+2Fo^2^/{:.2f}", 2. * o.YoMin, o.YoMax);
    w.Details = o.FSquare ? "w=1/[4Fo^2^(" + d + ")]" : "w=1/(" + d + ")";
  } else {
    // sigma(I)^2 + (2uP)^2 + b k P, or sigma(F)^2 + (uF')^2 + b sqrt(k) F'.
    const bool wilson = (o.WilsonMod && !o.Simul) || o.ShelxW;
    const std::string p = o.FSquare ? (wilson ? "P" : "Fo^2^") : (wilson ? "P^1/2^" : "Fo");
    std::string terms;
    if (o.StUnstab)
      terms = fmt::format("+(u{})^2^", p);
    else if (o.Unstab > 0.)
      terms = fmt::format("+({:.4f}{})^2^", (o.FSquare ? 2. : 1.) * o.Unstab, p);
    if (o.ShelxW && o.Unstab2 > 0.) terms += fmt::format("+{:.4f}{}", o.Unstab2, p);
    w.Scheme = terms.empty() ? "sigma" : "calc";
    w.Details = fmt::format("w=1/[\\s^2^({}){}]", q, terms);
    if (wilson && !terms.empty()) w.Details += " where P=(Fo^2^+2Fc^2^)/3";
    if (o.StUnstab && !terms.empty()) w.Details += ", u from the reflection statistics";
  }
  if (o.WtSnthl) w.Details += ", times exp[-(sin\\q/\\l)^2^]";
  return w;
}

}  // namespace tarn
