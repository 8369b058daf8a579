// The powder parameter file M41.
#include "powder/m41.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "model/m40.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace m41msg {
constexpr const char* UnexpectedEnd = "Unexpected end of M41 file.";
constexpr const char* Duplicate = "duplicate occurrence of \"{}\":";
constexpr const char* FirstAccepted = "remember that the first occurrence will be accepted";
constexpr const char* UnknownKey = "Unknown powder keyword.";
constexpr const char* BadValue = "A number expected after the keyword.";
constexpr const char* SkipLimit = "number of skip regions exceeds the limit.";
constexpr const char* BadSection = "A parameter section out of place.";
}  // namespace m41msg

constexpr const char* kSecBckg = "# Background parameters";
constexpr const char* kSecRough = "# Roughness parameters";
constexpr const char* kSecLam = "# Wavelength";
constexpr const char* kSecFund = "# Fundamental parameters";
constexpr const char* kSecAsym = "# Asymmetry parameters";
constexpr const char* kSecTofAbs = "# TOF absorption parameter";
constexpr const char* kSecTof = "# TOF parameters - zero, difc, difb, difa";
constexpr const char* kSecTofE = "# TOF parameters - zerot, difct, difat,zeroe, difce,";
constexpr const char* kSecTofCross = "# TOF parameters - TCross, WCross";
constexpr const char* kSecShift = "# Shift parameters - zero, sycos, sysin";
constexpr const char* kSecCell = "# Cell parameters - a,b,c,alpha,beta,gamma";
constexpr const char* kSecGauss = "# Gaussian parameters - GU,GV,GW,GP";
constexpr const char* kSecLor = "# Lorentzian parameters - LX,LXe,LY,LYe";
constexpr const char* kSecPref = "# Preferred orientation";
constexpr const char* kSecModVec = "# Modulation vector(s)";
constexpr const char* kSecStrain = "# Strain parameters";
constexpr const char* kSecSphHarm = "# Coefficients of spherical harmonics for particle broadening";
constexpr const char* kSecBroadHkl = "# Broadening HKL";

// Defaults of the keywords that have one.
struct Default {
  const char* Key;
  const char* Value;
};
constexpr Default kDefaults[] = {
    {"bckgtype", "1"}, {"bckgnum", "6"},  {"manbckg", "0"}, {"wtlebail", "0"}, {"absor", "0"},
    {"mir", "0"},      {"proffun", "3"},  {"asymm", "0"},   {"partbroad", "0"}, {"strain", "0"},
    {"prefor", "0"},   {"prefsum", "0"},  {"cutoff", "8"},  {"maxsat", "1"},   {"rough", "0"},
    {"useeach", "1"},  {"usehs", "0"},    {"illum", "0"},   {"focusBB", "0"},  {"splitprof", "0"},
};

bool Repeatable(const std::string& k) {
  return EqIgnoreCase(k, "skipfrto") || EqIgnoreCase(k, "skipfrdl") || EqIgnoreCase(k, "broadHKL");
}

const char* TableName(std::string_view w) {
  for (const char* k : kPwdKeywords)
    if (EqIgnoreCase(k, w)) return k;
  return nullptr;
}

void Put(std::string& out, const char* title, const PwdPar* p, size_t n) {
  out += title;
  out += '\n';
  std::vector<double> v(n), s(n);
  std::vector<int> k(n);
  for (size_t i = 0; i < n; ++i) v[i] = p[i].V, k[i] = p[i].Key, s[i] = p[i].Su;
  iost(out, static_cast<int>(n), v.data(), k.data());
  iostSig(out, static_cast<int>(n), s.data());
}

int Get(M40Lines& in, PwdPar* p, size_t n, ErrorRecord& err) {
  if (n == 0) return 0;
  std::vector<double> v(n), s(n);
  std::vector<int> k(n);
  if (in.Remaining() < (n + 5) / 6 * 2) {
    err = ErrorRecord::At(in.FileName(), 0, m41msg::UnexpectedEnd);
    return 1;
  }
  if (iost(in, static_cast<int>(n), v.data(), k.data()) || iostSig(in, static_cast<int>(n), s.data())) {
    err = in.Err;
    return 1;
  }
  for (size_t i = 0; i < n; ++i) p[i] = {v[i], k[i], s[i]};
  return 0;
}

// Number of values of a section whose count may have changed since it was
// written (background, asymmetry): the key digits from column 61 of its value
// lines, which come first and are the only lines of the section with keys.
size_t CountValues(const M40Lines& in0) {
  M40Lines in = in0;
  size_t n = 0;
  while (!in.AtEnd()) {
    const std::string_view l = in.Next();
    if (l.size() < M40KeyColumn || (!l.empty() && l[0] == '#')) break;
    size_t k = 0;
    for (size_t c = M40KeyColumn - 1; c < l.size() && l[c] >= '0' && l[c] <= '9'; ++c) ++k;
    if (k == 0) break;
    n += k;
  }
  return n;
}

int SectionIndex(const PwdM41& m, const char* kind, int n) {
  int c = 0;
  for (size_t i = 0; i < m.Sections.size(); ++i)
    if (m.Sections[i].Kind == kind && ++c == n) return static_cast<int>(i);
  return -1;
}

}  // namespace

const PwdKey* PwdM41::Find(const std::string& key, int phase, int block) const {
  for (int pass = 0; pass < 3; ++pass) {
    int s = pass == 0 ? (block > 0 ? SectionIndex(*this, "datblock", block) : -1)
            : pass == 1 ? (phase > 0 ? SectionIndex(*this, "phase", phase) : -1)
                        : (Sections.empty() ? -1 : 0);
    if (s < 0) continue;
    for (const auto& k : Sections[static_cast<size_t>(s)].Keys)
      if (EqIgnoreCase(k.Key, key)) return &k;
  }
  return nullptr;
}

double PwdM41::Real(const std::string& key, double dflt, int phase, int block) const {
  const PwdKey* k = Find(key, phase, block);
  if (k == nullptr || k->Words.empty()) return dflt;
  auto v = ToReal(k->Words[0]);
  return v ? *v : dflt;
}

int PwdM41::Int(const std::string& key, int dflt, int phase, int block) const {
  return static_cast<int>(std::lround(Real(key, dflt, phase, block)));
}

void PwdM41::Set(const std::string& key, const std::vector<std::string>& words, int phase, int block) {
  if (Sections.empty()) Sections.push_back({});
  const char* kind = block > 0 ? "datblock" : phase > 0 ? "phase" : "";
  int s = block > 0 || phase > 0 ? SectionIndex(*this, kind, block > 0 ? block : phase) : 0;
  while (s < 0) {
    Sections.push_back({kind, fmt::format("{}", block > 0 ? block : phase), {}});
    s = SectionIndex(*this, kind, block > 0 ? block : phase);
  }
  auto& keys = Sections[static_cast<size_t>(s)].Keys;
  if (!Repeatable(key))
    for (auto& k : keys)
      if (EqIgnoreCase(k.Key, key)) {
        k.Words = words;
        return;
      }
  const char* name = TableName(key);
  keys.push_back({name != nullptr ? name : key, words, 0});
}

std::vector<std::vector<double>> PwdM41::All(const std::string& key, int block) const {
  std::vector<std::vector<double>> out;
  for (int pass = 0; pass < 2; ++pass) {
    const int s = pass == 0 ? 0 : (block > 0 ? SectionIndex(*this, "datblock", block) : -1);
    if (s < 0 || Sections.empty()) continue;
    for (const auto& k : Sections[static_cast<size_t>(s)].Keys) {
      if (!EqIgnoreCase(k.Key, key)) continue;
      std::vector<double> v;
      for (const auto& w : k.Words)
        if (auto x = ToReal(w)) v.push_back(*x);
      out.push_back(v);
    }
  }
  return out;
}

void SetBasicM41(PwdM41& m) {
  m = PwdM41{};
  m.Sections.push_back({});
}

int PwdAsymCount(int asymm) {
  switch (asymm) {
    case 1: return 1;
    case 2: return 4;
    case 3: return 2;
    default: return 0;
  }
}

std::string M41Text(const PwdM41& m) {
  std::string out;
  for (const auto& s : m.Sections) {
    if (!s.Kind.empty()) out += s.Kind + " " + s.Name + "\n";
    for (const auto& k : s.Keys) {
      bool dflt = false;
      for (const auto& d : kDefaults)
        dflt = dflt || (EqIgnoreCase(d.Key, k.Key) && k.Words.size() == 1 && ToReal(k.Words[0]) &&
                        *ToReal(k.Words[0]) == *ToReal(d.Value) && s.Kind.empty());
      if (dflt) continue;
      out += k.Key;
      for (const auto& w : k.Words) out += " " + w;
      out += '\n';
    }
  }
  out += "end\n";
  for (const auto& b : m.Blocks) {
    out += "## datblock " + b.Name + "\n";
    Put(out, kSecBckg, b.Bckg.data(), b.Bckg.size());
    Put(out, kSecRough, b.Rough.data(), 2);
    Put(out, kSecLam, b.Lam.data(), 2);
    if (!b.Fund.empty()) Put(out, kSecFund, b.Fund.data(), b.Fund.size());
    if (!b.Asym.empty()) Put(out, kSecAsym, b.Asym.data(), b.Asym.size());
    if (m.Tof && m.Int("usetofab", 0, 0, static_cast<int>(&b - m.Blocks.data()) + 1) > 0) Put(out, kSecTofAbs, &b.TofAbs, 1);
    if (m.Tof && m.Int("tofjason", 0) > 0) {
      Put(out, kSecTofE, b.TofE.data(), 5);
      Put(out, kSecTofCross, b.TofCross.data(), 2);
    } else if (m.Tof) {
      Put(out, kSecTof, b.Tof.data(), 4);
    }
    Put(out, kSecShift, b.Shift.data(), 3);
    for (const auto& p : b.Phase) {
      Put(out, kSecCell, p.Cell.data(), 6);
      if (!p.ModVec.empty()) Put(out, kSecModVec, p.ModVec.data(), p.ModVec.size());
      Put(out, kSecGauss, p.Gauss.data(), 4);
      Put(out, kSecLor, p.Lor.data(), 4);
      if (!p.Strain.empty()) Put(out, kSecStrain, p.Strain.data(), p.Strain.size());
      if (!p.SphHarm.empty()) Put(out, kSecSphHarm, p.SphHarm.data(), p.SphHarm.size());
      if (!p.BroadHkl.empty()) Put(out, kSecBroadHkl, p.BroadHkl.data(), p.BroadHkl.size());
      Put(out, kSecPref, p.Pref.data(), 2);
    }
  }
  return out;
}

int M41Parse(const std::string& text, const std::string& file, PwdM41& out, ErrorRecord& err) {
  PwdM41 m;
  SetBasicM41(m);
  M40Lines in(text, file);
  bool ended = false;
  while (!in.AtEnd()) {
    const std::string_view l = in.Next();
    const auto w = SplitWords(l);
    if (w.empty() || w[0][0] == '#') continue;
    if (EqIgnoreCase(w[0], "end")) {
      ended = true;
      break;
    }
    const char* name = TableName(w[0]);
    if (name == nullptr) {
      err = ErrorRecord::At(file, in.LineNo(), m41msg::UnknownKey, std::string(l));
      return 1;
    }
    if (EqIgnoreCase(name, "phase") || EqIgnoreCase(name, "datblock")) {
      m.Sections.push_back({name, w.size() > 1 ? w[1] : "", {}});
      continue;
    }
    std::vector<std::string> words(w.begin() + 1, w.end());
    for (const auto& x : words)
      if (!ToReal(x) && !EqIgnoreCase(name, "lamfile")) {
        err = ErrorRecord::At(file, in.LineNo(), m41msg::BadValue, std::string(l));
        return 1;
      }
    auto& keys = m.Sections.back().Keys;
    if (Repeatable(name)) {
      int n = 0;
      // skipfrto and skipfrdl regions share one table.
      const bool skipKey = !EqIgnoreCase(name, "broadHKL");
      for (const auto& k : keys) n += skipKey ? Repeatable(k.Key) && !EqIgnoreCase(k.Key, "broadHKL") : EqIgnoreCase(k.Key, name);
      if (n >= kPwdMaxSkip) {
        m.Notes.push_back(m41msg::SkipLimit);
        continue;
      }
    } else {
      const auto dup = std::find_if(keys.begin(), keys.end(),
                                    [&](const PwdKey& k) { return EqIgnoreCase(k.Key, name); });
      if (dup != keys.end()) {
        m.Notes.push_back(fmt::format(fmt::runtime(m41msg::Duplicate), name) + " " + m41msg::FirstAccepted);
        continue;
      }
    }
    keys.push_back({name, std::move(words), in.LineNo()});
  }
  if (!ended) {
    err = ErrorRecord::At(file, 0, m41msg::UnexpectedEnd);
    return 1;
  }
  m.Tof = m.Int("tofkey", 0) > 0;
  // Parameter part.
  PwdBlockPar* b = nullptr;
  while (!in.AtEnd()) {
    const std::string_view l = TrimRight(in.Next());
    if (Trim(l).empty()) continue;
    if (StartsWithIgnoreCase(l, "## datblock")) {
      m.Blocks.push_back({});
      b = &m.Blocks.back();
      b->Name = std::string(Trim(l.substr(11)));
      continue;
    }
    if (b == nullptr || l[0] != '#') {
      err = ErrorRecord::At(file, in.LineNo(), m41msg::BadSection, std::string(l));
      return 1;
    }
    int r = 0;
    if (l == kSecBckg) {
      b->Bckg.resize(CountValues(in));
      r = Get(in, b->Bckg.data(), b->Bckg.size(), err);
    } else if (l == kSecRough) {
      r = Get(in, b->Rough.data(), 2, err);
    } else if (l == kSecLam) {
      r = Get(in, b->Lam.data(), 2, err);
    } else if (l == kSecFund) {
      b->Fund.resize(CountValues(in));
      r = Get(in, b->Fund.data(), b->Fund.size(), err);
    } else if (l == kSecAsym) {
      b->Asym.resize(CountValues(in));
      r = Get(in, b->Asym.data(), b->Asym.size(), err);
    } else if (l == kSecTofAbs) {
      r = Get(in, &b->TofAbs, 1, err);
    } else if (l == kSecTof) {
      r = Get(in, b->Tof.data(), 4, err);
    } else if (l == kSecTofE) {
      r = Get(in, b->TofE.data(), 5, err);
    } else if (l == kSecTofCross) {
      r = Get(in, b->TofCross.data(), 2, err);
    } else if (l == kSecShift) {
      r = Get(in, b->Shift.data(), 3, err);
    } else if (l == kSecCell) {
      b->Phase.push_back({});
      r = Get(in, b->Phase.back().Cell.data(), 6, err);
    } else if (l == kSecGauss || l == kSecLor || l == kSecPref || l == kSecStrain || l == kSecSphHarm ||
               l == kSecBroadHkl || l == kSecModVec) {
      if (b->Phase.empty()) {
        err = ErrorRecord::At(file, in.LineNo(), m41msg::BadSection, std::string(l));
        return 1;
      }
      auto& p = b->Phase.back();
      // Sections whose length follows the phase's keywords: counted from their keys.
      std::vector<PwdPar>* var = l == kSecStrain ? &p.Strain : l == kSecSphHarm ? &p.SphHarm
                                 : l == kSecBroadHkl ? &p.BroadHkl : l == kSecModVec ? &p.ModVec : nullptr;
      if (var != nullptr) {
        var->resize(CountValues(in));
        r = Get(in, var->data(), var->size(), err);
      } else {
        r = l == kSecGauss ? Get(in, p.Gauss.data(), 4, err)
            : l == kSecLor ? Get(in, p.Lor.data(), 4, err)
                           : Get(in, p.Pref.data(), 2, err);
      }
    } else {
      err = ErrorRecord::At(file, in.LineNo(), m41msg::BadSection, std::string(l));
      return 1;
    }
    if (r) {
      if (err.Message.find("end of") != std::string::npos) err.Message = m41msg::UnexpectedEnd;
      return 1;
    }
  }
  out = std::move(m);
  return 0;
}

int iom41(int mode, const std::string& file, PwdM41& m, ErrorRecord& err) {
  if (mode == 1) {
    if (FeWriteFileAtomic(file, M41Text(m)) != 0) {
      err = ErrorRecord::At(file, 0, "The file cannot be written.");
      return 1;
    }
    return 0;
  }
  std::string text;
  if (FeReadFile(file, text) != 0) {
    err = ErrorRecord::At(file, 0, "The file cannot be opened.");
    return 1;
  }
  return M41Parse(text, file, m, err);
}

}  // namespace tarn
