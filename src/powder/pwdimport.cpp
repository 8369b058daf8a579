// Readers of powder patterns and instrument-parameter files.
#include "powder/pwdimport.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "util/cif_syntax.hpp"
#include "util/numbers.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace pmsg {
constexpr const char* NoFile = "The file cannot be opened.";
constexpr const char* NoBank = "The file has no bank {}.";
constexpr const char* BadBank = "A \"BANK\" record with the number of points, records, binning and its coefficients expected.";
constexpr const char* BadNumber = "A number expected.";
constexpr const char* ShortBank = "The bank ends before its {} points.";
constexpr const char* BadColumns = "Two or three numbers expected: position, intensity, s.u.";
constexpr const char* NoPoints = "The file holds no points.";
constexpr const char* NotAscending = "The positions do not increase.";
constexpr const char* BadDatHead = "Start, step and end of the pattern expected.";
constexpr const char* NoCifLoop = "A powder loop (_pd_meas_intensity_total, _pd_meas_counts_total or _pd_proc_intensity_total) expected.";
constexpr const char* UnknownLabel = "The format label \"{}\" is unknown.";
constexpr const char* BadInstrument = "Neither a GSAS instrument file (\"INS\" records) nor a GSAS-II one (\"key:value\" lines).";
constexpr const char* BadIns = "The values of the record cannot be read.";
}  // namespace pmsg

int ReadLines(const std::string& file, std::vector<std::string>& lines, ErrorRecord& err) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    err = ErrorRecord::At(file, 0, pmsg::NoFile);
    return 1;
  }
  std::string l;
  while (std::getline(in, l)) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  return 0;
}

// Numbers of a line, or none when a word is not a number.
bool Numbers(std::string_view line, std::vector<double>& v) {
  v.clear();
  for (const auto& w : SplitWords(line)) {
    auto x = ToReal(w);
    if (!x) return false;
    v.push_back(*x);
  }
  return true;
}

// A fixed field (blank: 0) of a data line; false when it is not a number.
bool Field(std::string_view line, size_t col, size_t w, double& v) {
  if (col >= line.size()) {
    v = 0.;
    return true;
  }
  const std::string_view f = Trim(line.substr(col, w));
  if (f.empty()) {
    v = 0.;
    return true;
  }
  auto x = ToReal(f);
  if (!x) return false;
  v = *x;
  return true;
}

int Fail(ErrorRecord& err, const std::string& file, int line, std::string msg, std::string what = {}) {
  err = ErrorRecord::At(file, line, std::move(msg), std::move(what));
  return 1;
}

int CheckPattern(const std::string& file, PwdPattern& p, ErrorRecord& err) {
  if (p.X.empty()) return Fail(err, file, 0, pmsg::NoPoints);
  for (size_t i = 1; i < p.X.size(); ++i)
    if (p.X[i] <= p.X[i - 1]) return Fail(err, file, 0, pmsg::NotAscending);
  for (size_t i = 0; i < p.Y.size(); ++i)
    if (p.Sig[i] <= 0.) p.Sig[i] = std::sqrt(std::max(std::abs(p.Y[i]), 1.));
  return 0;
}

// GSAS standard file. BANK record: "BANK n nchan nrec bintyp bcoef1..4 type";
// CONST/CONS binning: bcoef1 first position, bcoef2 step (centidegrees, or us).
int ReadGsas(const std::string& file, const std::vector<std::string>& lines, int bank,
             PwdPattern& out, ErrorRecord& err) {
  PwdPattern p;
  if (!lines.empty()) p.Title = std::string(Trim(lines[0]));
  const int want = bank > 0 ? bank : -1;
  size_t at = lines.size();
  for (size_t k = 1; k < lines.size(); ++k) {
    const auto w = SplitWords(lines[k]);
    if (w.size() >= 2 && EqIgnoreCase(w[0], "BANK")) {
      auto n = ToInt(w[1]);
      if (!n) return Fail(err, file, static_cast<int>(k + 1), pmsg::BadBank, lines[k]);
      if (want < 0 || *n == want) {
        at = k;
        break;
      }
    }
  }
  if (at == lines.size()) return Fail(err, file, 0, fmt::format(fmt::runtime(pmsg::NoBank), bank > 0 ? bank : 1));
  const int bl = static_cast<int>(at + 1);
  const auto w = SplitWords(lines[at]);
  if (w.size() < 5) return Fail(err, file, bl, pmsg::BadBank, lines[at]);
  auto nchan = ToInt(w[2]);
  auto nrec = ToInt(w[3]);
  if (!nchan || !nrec || *nchan <= 0) return Fail(err, file, bl, pmsg::BadBank, lines[at]);
  const std::string bintyp = ToUpper(w[4]);
  std::vector<double> bc;
  std::string type = "STD";
  for (size_t i = 5; i < w.size(); ++i) {
    auto x = ToReal(w[i]);
    if (x)
      bc.push_back(*x);
    else
      type = ToUpper(w[i]);
  }
  const bool cons = bintyp == "CONST" || bintyp == "CONS";
  p.Tof = !cons;  // TIME_MAP, RALF, SLOG binnings are time of flight
  if ((type == "STD" || type == "ESD") && (!cons || bc.size() < 2))
    return Fail(err, file, bl, pmsg::BadBank, lines[at]);
  const double start = bc.size() > 0 ? bc[0] : 0., step = bc.size() > 1 ? bc[1] : 0.;
  const double unit = p.Tof ? 1. : 0.01;  // centidegrees to degrees
  const size_t n = static_cast<size_t>(*nchan);
  size_t k = at + 1;
  auto more = [&]() {
    return k < lines.size() && !StartsWithIgnoreCase(Trim(lines[k]), "BANK");
  };
  while (p.X.size() < n && more()) {
    const std::string_view l = lines[k];
    const int ln = static_cast<int>(k + 1);
    ++k;
    if (Trim(l).empty()) continue;
    if (type == "STD" || type == "ESD") {
      const int per = type == "STD" ? 10 : 5;
      for (int f = 0; f < per && p.X.size() < n; ++f) {
        double a, b;
        if (type == "STD") {
          // NCTR(i2) I(i6): sigma**2 = I / NCTR (blank NCTR: 1).
          if (!Field(l, 8 * f, 2, a) || !Field(l, 8 * f + 2, 6, b))
            return Fail(err, file, ln, pmsg::BadNumber, std::string(l));
          const double nc = a > 0. ? a : 1.;
          p.Y.push_back(b);
          p.Sig.push_back(std::sqrt(std::max(b, 1.) / nc));
        } else {
          if (!Field(l, 16 * f, 8, a) || !Field(l, 16 * f + 8, 8, b))
            return Fail(err, file, ln, pmsg::BadNumber, std::string(l));
          p.Y.push_back(a);
          p.Sig.push_back(b);
        }
        p.X.push_back((start + step * static_cast<double>(p.X.size())) * unit);
      }
    } else if (type == "ALT") {
      // Four points a record: position (1/32 centidegree or 1/32 us) f8, I f7, sigma f5.
      for (int f = 0; f < 4 && p.X.size() < n; ++f) {
        double x, y, e;
        if (!Field(l, 20 * f, 8, x) || !Field(l, 20 * f + 8, 7, y) || !Field(l, 20 * f + 15, 5, e))
          return Fail(err, file, ln, pmsg::BadNumber, std::string(l));
        if (Trim(l.substr(std::min(l.size(), size_t(20 * f)))).empty()) break;
        p.X.push_back(x / 32. * unit);
        p.Y.push_back(y);
        p.Sig.push_back(e);
      }
    } else {  // FXY, FXYE: free-format columns, positions in centidegrees or us
      std::vector<double> v;
      if (!Numbers(l, v) || v.size() < (type == "FXYE" ? 3u : 2u))
        return Fail(err, file, ln, pmsg::BadColumns, std::string(l));
      p.X.push_back(v[0] * unit);
      p.Y.push_back(v[1]);
      p.Sig.push_back(type == "FXYE" ? v[2] : 0.);
    }
  }
  if (p.X.size() < n)
    return Fail(err, file, static_cast<int>(k), fmt::format(fmt::runtime(pmsg::ShortBank), n));
  if (CheckPattern(file, p, err)) return 1;
  out = std::move(p);
  return 0;
}

bool Comment(std::string_view l) {
  const auto t = Trim(l);
  return t.empty() || t[0] == '#' || t[0] == '!' || t[0] == ';';
}

int ReadColumns(const std::string& file, const std::vector<std::string>& lines, size_t from,
                PwdPattern& p, ErrorRecord& err) {
  std::vector<double> v;
  for (size_t k = from; k < lines.size(); ++k) {
    if (Comment(lines[k])) continue;
    if (!Numbers(lines[k], v) || v.size() < 2 || v.size() > 3)
      return Fail(err, file, static_cast<int>(k + 1), pmsg::BadColumns, lines[k]);
    p.X.push_back(v[0]);
    p.Y.push_back(v[1]);
    p.Sig.push_back(v.size() > 2 ? v[2] : 0.);
  }
  return CheckPattern(file, p, err);
}

int ReadXY(const std::string& file, const std::vector<std::string>& lines, PwdPattern& out,
           ErrorRecord& err) {
  PwdPattern p;
  if (ReadColumns(file, lines, 0, p, err)) return 1;
  out = std::move(p);
  return 0;
}

// FullProf: "XYDATA" files (INSTRM 10) with up to five header lines, or the
// INSTRM 0 form: a line "start step end", then the intensities in free format.
int ReadFullProf(const std::string& file, const std::vector<std::string>& lines, PwdPattern& out,
                 ErrorRecord& err) {
  PwdPattern p;
  size_t k = 0;
  while (k < lines.size() && Comment(lines[k])) ++k;
  if (k < lines.size() && StartsWithIgnoreCase(Trim(lines[k]), "XYDATA")) {
    p.Title = std::string(Trim(lines[k]));
    ++k;
    std::vector<double> v;
    // Header lines: keyword lines (INTER, TEMP, ...) and text up to the first columns.
    for (int h = 0; h < 5 && k < lines.size(); ++h) {
      if (Numbers(lines[k], v) && v.size() >= 2 && v.size() <= 3) break;
      ++k;
    }
    if (ReadColumns(file, lines, k, p, err)) return 1;
    out = std::move(p);
    return 0;
  }
  std::vector<double> v;
  if (k >= lines.size()) return Fail(err, file, 0, pmsg::NoPoints);
  const auto w = SplitWords(lines[k]);
  for (size_t i = 0; i < w.size() && i < 3; ++i)
    if (auto x = ToReal(w[i])) v.push_back(*x);
  if (v.size() < 3 || v[1] <= 0. || v[2] <= v[0])
    return Fail(err, file, static_cast<int>(k + 1), pmsg::BadDatHead, lines[k]);
  p.Title = lines[k].size() > 30 ? std::string(Trim(lines[k].substr(30))) : "";
  const size_t n = static_cast<size_t>(std::lround((v[2] - v[0]) / v[1])) + 1;
  for (++k; k < lines.size() && p.Y.size() < n; ++k) {
    std::vector<double> y;
    if (Comment(lines[k])) continue;
    if (!Numbers(lines[k], y)) return Fail(err, file, static_cast<int>(k + 1), pmsg::BadNumber, lines[k]);
    for (double yy : y)
      if (p.Y.size() < n) {
        p.X.push_back(v[0] + v[1] * static_cast<double>(p.Y.size()));
        p.Y.push_back(yy);
        p.Sig.push_back(0.);
      }
  }
  if (p.Y.size() < n) return Fail(err, file, static_cast<int>(k), fmt::format(fmt::runtime(pmsg::ShortBank), n));
  if (CheckPattern(file, p, err)) return 1;
  out = std::move(p);
  return 0;
}

// Powder CIF: the first block with a loop of intensities; positions from a
// column (_pd_meas_2theta_scan, _pd_proc_2theta_corrected,
// _pd_meas_time_of_flight) or from _pd_meas_2theta_range_min/_max/_inc.
int ReadCifPowder(const std::string& file, const std::vector<std::string>& lines, PwdPattern& out,
                  ErrorRecord& err) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  CifFile cf;
  if (CifParse(text, file, cf, err)) return 1;
  const char* ynames[] = {"_pd_meas_intensity_total", "_pd_meas_counts_total",
                          "_pd_proc_intensity_total"};
  const char* xnames[] = {"_pd_meas_2theta_scan", "_pd_proc_2theta_corrected",
                          "_pd_meas_time_of_flight", "_pd_meas_2theta_corrected"};
  for (const auto& b : cf.Blocks) {
    for (const char* yn : ynames) {
      const CifLoop* lp = b.FindLoop(yn);
      if (lp == nullptr) continue;
      PwdPattern p;
      p.Title = b.Name;
      const int yc = lp->Column(yn);
      int xc = -1;
      for (const char* xn : xnames)
        if (xc < 0 && (xc = lp->Column(xn)) >= 0) p.Tof = std::string(xn).find("flight") != std::string::npos;
      double x0 = 0., dx = 0.;
      if (xc < 0) {
        const CifValue* mn = b.Find("_pd_meas_2theta_range_min");
        const CifValue* inc = b.Find("_pd_meas_2theta_range_inc");
        if (mn == nullptr || inc == nullptr || !CifNumber(mn->Text, x0) || !CifNumber(inc->Text, dx))
          return Fail(err, file, lp->Line, pmsg::NoCifLoop);
      }
      for (const auto& row : lp->Rows) {
        double y, sy = 0., x = x0 + dx * static_cast<double>(p.X.size());
        if (!CifNumber(row[static_cast<size_t>(yc)].Text, y, sy) ||
            (xc >= 0 && !CifNumber(row[static_cast<size_t>(xc)].Text, x)))
          return Fail(err, file, row[static_cast<size_t>(yc)].Line, pmsg::BadNumber,
                      row[static_cast<size_t>(yc)].Text);
        p.X.push_back(x);
        p.Y.push_back(y);
        p.Sig.push_back(sy);
      }
      if (CheckPattern(file, p, err)) return 1;
      out = std::move(p);
      return 0;
    }
  }
  return Fail(err, file, 0, pmsg::NoCifLoop);
}

// GSAS instrument file: "INS  n ICONS", "INS  nPRCF1", "INS  nPRCF1k" records.
int ReadPrm(const std::string& file, const std::vector<std::string>& lines, int bank,
            PwdInstrument& out, ErrorRecord& err) {
  PwdInstrument ins = out;
  const std::string b = std::to_string(bank > 0 ? bank : 1);
  std::vector<double> prcf;
  int ptype = 0, nterm = 0;
  for (size_t k = 0; k < lines.size(); ++k) {
    const std::string& l = lines[k];
    if (!StartsWithIgnoreCase(l, "INS") || l.size() < 12) continue;
    const std::string key = ToUpper(std::string(Trim(l.substr(3, 9))));
    const std::string_view rest = l.size() > 12 ? std::string_view(l).substr(12) : "";
    std::vector<double> v;
    auto num = [&]() {
      v.clear();
      for (const auto& w : SplitWords(rest)) {
        auto x = ToReal(w);
        if (!x) break;
        v.push_back(*x);
      }
      return !v.empty();
    };
    const int ln = static_cast<int>(k + 1);
    if (key == "HTYPE") {
      const std::string t = ToUpper(std::string(Trim(rest)));
      ins.Tof = t.size() >= 3 && t[2] == 'T';
      ins.Radiation = t.size() >= 2 && t[1] == 'N' ? 2 : 1;
    } else if (key == b + " ICONS") {
      if (!num()) return Fail(err, file, ln, pmsg::BadIns, l);
      if (ins.Tof) {
        ins.Difc = v[0];
        ins.Difa = v.size() > 1 ? v[1] : 0.;
        ins.TofZero = v.size() > 2 ? v[2] : 0.;
      } else {
        ins.Lam1 = v[0];
        ins.Lam2 = v.size() > 1 ? v[1] : 0.;
        ins.Zero = v.size() > 2 ? v[2] / 100. : 0.;  // centidegrees
        ins.Pola = v.size() > 4 ? v[4] : ins.Pola;
        ins.KRatio = v.size() > 6 ? v[6] : 0.5;
        if (ins.Lam2 <= 0.) ins.KRatio = 0.;
      }
    } else if (key == b + "BNKPAR") {
      if (num() && v.size() > 1) ins.Tth = v[1];
    } else if (key == b + "PRCF1") {
      if (!num() || v.size() < 2) return Fail(err, file, ln, pmsg::BadIns, l);
      ptype = static_cast<int>(v[0]);
      nterm = static_cast<int>(v[1]);
    } else if (key.rfind(b + "PRCF1", 0) == 0 && key.size() > b.size() + 5) {
      if (!num()) return Fail(err, file, ln, pmsg::BadIns, l);
      prcf.insert(prcf.end(), v.begin(), v.end());
    }
  }
  auto t = [&](size_t i) { return i < prcf.size() && static_cast<int>(i) < nterm ? prcf[i] : 0.; };
  if (!ins.Tof && ptype > 0) {
    ins.GU = t(0), ins.GV = t(1), ins.GW = t(2);
    if (ptype == 1) {  // Gaussian: U V W asym
      ins.ProfFun = 1, ins.GP = 0., ins.LX = 0., ins.LY = 0.;
    } else if (ptype == 2) {  // U V W X Y trns asym shft GP
      ins.LX = t(3), ins.LY = t(4), ins.GP = t(8);
    } else {  // 3, 4: U V W P X Y S/L H/L
      ins.GP = t(3), ins.LX = t(4), ins.LY = t(5), ins.SL = t(6), ins.HL = t(7);
    }
  } else if (ins.Tof && ptype > 0) {  // alpha, beta0, beta1, sig0, sig1, sig2
    ins.Alpha = t(0), ins.Beta0 = t(1), ins.Beta1 = t(2), ins.Sig0 = t(3), ins.Sig1 = t(4), ins.Sig2 = t(5);
    ins.LX = ins.LY = 0.;  // a Gaussian-convolved back-to-back exponential: no Lorentzian part
  }
  ins.Source = file;
  out = ins;
  return 0;
}

// GSAS-II instrument file: "key:value" lines ("Type:PXC", "Lam1:", "Lam2:",
// "I(L2)/I(L1):", "Zero:", "Polariz.:", "U:", "V:", "W:", "X:", "Y:", "SH/L:",
// "Lam:", "difC:", "difA:", "alpha:", "beta-0:", ...).
int ReadInstprm(const std::string& file, const std::vector<std::string>& lines, PwdInstrument& out,
                ErrorRecord& err) {
  PwdInstrument ins = out;
  bool single = false;
  for (size_t k = 0; k < lines.size(); ++k) {
    const std::string& l = lines[k];
    if (Comment(l)) continue;
    const size_t c = l.find(':');
    if (c == std::string::npos) continue;
    const std::string key(Trim(std::string_view(l).substr(0, c)));
    const std::string val(Trim(std::string_view(l).substr(c + 1)));
    if (EqIgnoreCase(key, "Type")) {
      ins.Tof = val.size() >= 3 && (val[2] == 'T' || val[2] == 't');
      ins.Radiation = val.size() >= 2 && (val[1] == 'N' || val[1] == 'n') ? 2 : 1;
      if (ins.Tof) ins.LX = ins.LY = 0.;  // X, Y are the gamma terms of d and d**2, when given
      continue;
    }
    auto x = ToReal(val);
    if (!x) {
      if (EqIgnoreCase(key, "Bank") || EqIgnoreCase(key, "Source")) continue;
      return Fail(err, file, static_cast<int>(k + 1), pmsg::BadNumber, l);
    }
    const double v = *x;
    if (key == "Lam") ins.Lam1 = v, single = true;
    else if (key == "Lam1") ins.Lam1 = v;
    else if (key == "Lam2") ins.Lam2 = v;
    else if (key == "I(L2)/I(L1)") ins.KRatio = v;
    else if (key == "Zero") (ins.Tof ? ins.TofZero : ins.Zero) = v;
    else if (key == "Polariz.") ins.Pola = v;
    else if (key == "U") ins.GU = v;
    else if (key == "V") ins.GV = v;
    else if (key == "W") ins.GW = v;
    else if (key == "X") ins.LX = v;
    else if (key == "Y") ins.LY = v;
    else if (key == "SH/L") ins.SL = ins.HL = 0.5 * v;
    else if (key == "difC") ins.Difc = v;
    else if (key == "difA") ins.Difa = v;
    else if (key == "2-theta") ins.Tth = v;
    else if (key == "alpha") ins.Alpha = v;
    else if (key == "beta-0") ins.Beta0 = v;
    else if (key == "beta-1") ins.Beta1 = v;
    else if (key == "sig-0") ins.Sig0 = v;
    else if (key == "sig-1") ins.Sig1 = v;
    else if (key == "sig-2") ins.Sig2 = v;
  }
  if (single) ins.Lam2 = 0., ins.KRatio = 0.;
  ins.Source = file;
  out = ins;
  return 0;
}

}  // namespace

int PwdReadPattern(const std::string& file, const std::string& label, int bank, PwdPattern& out,
                   ErrorRecord& err) {
  int f = -1;
  for (size_t i = 0; i < kPwdFormatLabels.size(); ++i)
    if (EqIgnoreCase(label, kPwdFormatLabels[i])) f = static_cast<int>(i);
  if (f < 0) return Fail(err, "", 0, fmt::format(fmt::runtime(pmsg::UnknownLabel), label));
  std::vector<std::string> lines;
  if (ReadLines(file, lines, err)) return 1;
  switch (f) {
    case 0:
      return ReadGsas(file, lines, bank, out, err);
    case 1:
      return ReadXY(file, lines, out, err);
    case 2:
      return ReadFullProf(file, lines, out, err);
    default:
      return ReadCifPowder(file, lines, out, err);
  }
}

int PwdReadInstrument(const std::string& file, int bank, PwdInstrument& out, ErrorRecord& err) {
  PwdInstrument ins;
  if (EqIgnoreCase(Trim(file), "none")) {
    ins.Source = "none";
    out = ins;
    return 0;
  }
  std::vector<std::string> lines;
  if (ReadLines(file, lines, err)) return 1;
  bool prm = false, instprm = false;
  for (const auto& l : lines) {
    prm = prm || (StartsWithIgnoreCase(l, "INS ") && l.size() > 12);
    instprm = instprm || (!Comment(l) && l.find(':') != std::string::npos &&
                          (StartsWithIgnoreCase(Trim(l), "Type:") || StartsWithIgnoreCase(Trim(l), "Lam")));
  }
  if (prm || instprm) {
    if (prm ? ReadPrm(file, lines, bank, ins, err) : ReadInstprm(file, lines, ins, err)) return 1;
    out = ins;
    return 0;
  }
  return Fail(err, file, 0, pmsg::BadInstrument);
}

double PwdMonAngleFromPola(double pola) {
  const double p = pola > 0. && pola <= 1. ? std::max(pola, 0.5) : 0.5;
  return std::acos(std::sqrt((1. - p) / p)) / kDeg;
}

double PwdPolaFromMonAngle(double monangle) {
  const double c = std::cos(monangle * kDeg);
  return 1. / (1. + c * c);
}

std::string PwdInstprmText(const PwdInstrument& ins, int bank) {
  const char rad = ins.Radiation == 2 ? 'N' : 'X';
  std::string t = "#instrument parameter file; do not add/delete items!\n";
  auto put = [&](const char* key, double v) { t += fmt::format("{}:{}\n", key, v); };
  t += fmt::format("Type:P{}{}\n", rad, ins.Tof ? 'T' : 'C');
  t += fmt::format("Bank:{}.0\n", bank);
  if (ins.Tof) {
    put("fltPath", 0.);
    put("2-theta", ins.Tth);
    put("difC", ins.Difc);
    put("difA", ins.Difa);
    put("difB", 0.);
    put("Zero", ins.TofZero);
    put("alpha", ins.Alpha);
    put("beta-0", ins.Beta0);
    put("beta-1", ins.Beta1);
    put("beta-q", 0.);
    put("sig-0", ins.Sig0);
    put("sig-1", ins.Sig1);
    put("sig-2", ins.Sig2);
    put("sig-q", 0.);
  } else {
    if (ins.Lam2 > 0.) {
      put("Lam1", ins.Lam1);
      put("Lam2", ins.Lam2);
      put("I(L2)/I(L1)", ins.KRatio);
    } else {
      put("Lam", ins.Lam1);
    }
    put("Zero", ins.Zero);
    if (ins.Radiation != 2) put("Polariz.", ins.Pola);
    put("Azimuth", 0.);
    put("U", ins.GU);
    put("V", ins.GV);
    put("W", ins.GW);
    // The divergence asymmetry as one ratio (S + H) / L.
    put("SH/L", ins.SL + ins.HL);
  }
  put("X", ins.LX);
  put("Y", ins.LY);
  put("Z", 0.);
  return t;
}

}  // namespace tarn
