// Header records of M95 and M90: keyword tables with defaults, reading,
// writing, and the routines that set and complete block headers.
#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>

#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "model/m95m90_msg.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

int ReflError(const std::string& file, int line, std::string message, std::string_view what) {
  ErrorRecord& e = Struct.Refl.LastError;
  e = ErrorRecord::At(file, std::max(line, 0), std::move(message), std::string(what));
  if (line == 0) e.Section = "line 0";
  ReportError("Reflection file", {e.Text()});
  return 1;
}

void ReflNote(const std::string& file, int line, std::string message) {
  Struct.Refl.Notes.push_back(ErrorRecord::At(file, line, std::move(message)).Text());
}

namespace {

// Values per line of a written list ("run", "scfrlist", ...).
constexpr int kListPerLine = 10;
// Width of the keyword field of a written header record.
constexpr int kKeyField = 12;

enum class HKind {
  Int,        // one integer
  Real,       // one real
  Text,       // rest of the line
  Ints,       // exactly N integers
  Reals,      // exactly N reals
  RealGroup,  // N reals per record, appended, at most Max values in all
  IntList,    // any number of integers per record, appended, at most Max
  RealList,   // any number of reals per record, appended, at most Max
};

template <class B>
struct HKey {
  std::string_view Name;
  HKind Kind;
  int N = 1;
  int Max = 0;
  bool Always = false;  // written also at the default value
  int B::*I = nullptr;
  double B::*R = nullptr;
  std::string B::*T = nullptr;
  std::vector<int> B::*VI = nullptr;
  std::vector<double> B::*VR = nullptr;
  int Lo = INT_MIN, Hi = INT_MAX;  // accepted range of an Int
};

template <class B>
HKey<B> KI(std::string_view n, int B::*m, bool always = false) {
  HKey<B> k{n, HKind::Int};
  k.I = m;
  k.Always = always;
  return k;
}
template <class B>
HKey<B> KR(std::string_view n, double B::*m) {
  HKey<B> k{n, HKind::Real};
  k.R = m;
  return k;
}
template <class B>
HKey<B> KT(std::string_view n, std::string B::*m) {
  HKey<B> k{n, HKind::Text};
  k.T = m;
  return k;
}
template <class B>
HKey<B> KIs(std::string_view n, std::vector<int> B::*m, int cnt) {
  HKey<B> k{n, HKind::Ints, cnt};
  k.VI = m;
  return k;
}
template <class B>
HKey<B> KRs(std::string_view n, std::vector<double> B::*m, int cnt) {
  HKey<B> k{n, HKind::Reals, cnt};
  k.VR = m;
  return k;
}
template <class B>
HKey<B> KG(std::string_view n, std::vector<double> B::*m, int cnt, int max) {
  HKey<B> k{n, HKind::RealGroup, cnt, max};
  k.VR = m;
  return k;
}
template <class B>
HKey<B> KIL(std::string_view n, std::vector<int> B::*m, int max) {
  HKey<B> k{n, HKind::IntList, 0, max};
  k.VI = m;
  return k;
}
template <class B>
HKey<B> KRL(std::string_view n, std::vector<double> B::*m, int max) {
  HKey<B> k{n, HKind::RealList, 0, max};
  k.VR = m;
  return k;
}

// Time-of-flight constants, shared by both tables in keyword order.
template <class B>
void AddTof(std::vector<HKey<B>>& t) {
  t.push_back(KR<B>("toftth", &B::TofTth));
  t.push_back(KI<B>("tofjason", &B::TofJason));
  t.push_back(KR<B>("tofdifc", &B::TofDifc));
  t.push_back(KR<B>("tofdifb", &B::TofDifb));
  t.push_back(KR<B>("tofdifa", &B::TofDifa));
  t.push_back(KR<B>("tofzero", &B::TofZero));
  t.push_back(KR<B>("tofct", &B::TofCt));
  t.push_back(KR<B>("tofat", &B::TofAt));
  t.push_back(KR<B>("tofzerot", &B::TofZeroT));
  t.push_back(KR<B>("tofce", &B::TofCe));
  t.push_back(KR<B>("tofzeroe", &B::TofZeroE));
  t.push_back(KR<B>("tofwcross", &B::TofWCross));
  t.push_back(KR<B>("toftcross", &B::TofTCross));
  t.push_back(KR<B>("tofsigq", &B::TofSigQ));
  t.push_back(KR<B>("tofsig2", &B::TofSig2));
  t.push_back(KR<B>("tofsig1", &B::TofSig1));
  t.push_back(KR<B>("tofsig0", &B::TofSig0));
  t.push_back(KR<B>("tofgam2", &B::TofGam2));
  t.push_back(KR<B>("tofgam1", &B::TofGam1));
  t.push_back(KR<B>("tofgam0", &B::TofGam0));
  t.push_back(KR<B>("tofalfa0", &B::TofAlfa0));
  t.push_back(KR<B>("tofalfa1", &B::TofAlfa1));
  t.push_back(KR<B>("tofbeta0", &B::TofBeta0));
  t.push_back(KR<B>("tofbeta1", &B::TofBeta1));
  t.push_back(KR<B>("tofbetaq", &B::TofBetaQ));
  t.push_back(KR<B>("tofalfa0t", &B::TofAlfa0T));
  t.push_back(KR<B>("tofalfa1t", &B::TofAlfa1T));
  t.push_back(KR<B>("tofbeta0t", &B::TofBeta0T));
  t.push_back(KR<B>("tofbeta1t", &B::TofBeta1T));
  t.push_back(KR<B>("tofalfa0e", &B::TofAlfa0E));
  t.push_back(KR<B>("tofalfa1e", &B::TofAlfa1E));
  t.push_back(KR<B>("tofbeta0e", &B::TofBeta0E));
  t.push_back(KR<B>("tofbeta1e", &B::TofBeta1E));
}

// M95 header keywords in writing order ("refblock" and "end" are handled apart).
const std::vector<HKey<M95Block>>& M95Table() {
  using B = M95Block;
  static const std::vector<HKey<B>> t = [] {
    std::vector<HKey<B>> t;
    t.push_back(KT<B>("sourcefile", &B::SourceFile));
    t.push_back(KI<B>("difcode", &B::DifCode));
    t.push_back(KI<B>("corrlp", &B::CorrLp));
    t.push_back(KI<B>("corrabs", &B::CorrAbs));
    t.push_back(KI<B>("nref", &B::NRef, true));
    auto nd = KI<B>("ndim95", &B::NDim95, true);
    nd.Lo = 3;
    nd.Hi = kReflMaxNDim;
    t.push_back(nd);
    t.push_back(KR<B>("lambda", &B::Lambda));
    t.push_back(KI<B>("radtype", &B::RadType));
    t.push_back(KR<B>("datcolltemp", &B::DatCollTemp));
    t.push_back(KRs<B>("cell", &B::Cell, 6));
    t.push_back(KG<B>("qvec", &B::QVec, 3, 3 * (kReflMaxNDim - 3)));
    t.push_back(KR<B>("mi", &B::Mi));
    t.push_back(KR<B>("radius", &B::Radius));
    t.push_back(KG<B>("face", &B::Face, 4, 4 * 1000));
    t.push_back(KRs<B>("ormat", &B::OrMat, 9));
    t.push_back(KRL<B>("trmat", &B::TrMat, kReflMaxNDim * kReflMaxNDim));
    t.push_back(KIL<B>("mmax", &B::MMax, kReflMaxNDim - 3));
    t.push_back(KI<B>("diffsat", &B::DiffSat));
    t.push_back(KIs<B>("gauss", &B::Gauss, 3));
    t.push_back(KRs<B>("commcell", &B::CommCell, 6));
    t.push_back(KG<B>("commqvec", &B::CommQVec, 3, 3 * (kReflMaxNDim - 3)));
    t.push_back(KRs<B>("trcell", &B::TrCell, 6));
    t.push_back(KT<B>("filedate", &B::FileDate));
    t.push_back(KT<B>("filetime", &B::FileTime));
    t.push_back(KT<B>("format", &B::Format));
    t.push_back(KI<B>("twread", &B::TwRead));
    t.push_back(KR<B>("monangle", &B::MonAngle));
    t.push_back(KI<B>("polarization", &B::Polarization));
    t.push_back(KR<B>("perfmono", &B::PerfMono));
    t.push_back(KI<B>("nalpha", &B::NAlpha));
    t.push_back(KR<B>("kalpha1", &B::KAlpha1));
    t.push_back(KR<B>("kalpha2", &B::KAlpha2));
    t.push_back(KR<B>("kalphar", &B::KAlphaR));
    AddTof(t);
    t.push_back(KI<B>("nlines", &B::NLines));
    t.push_back(KR<B>("scmax", &B::ScMax));
    t.push_back(KI<B>("correspond", &B::Correspond));
    t.push_back(KR<B>("scale", &B::Scale));
    t.push_back(KR<B>("edoffset", &B::EdOffset));
    t.push_back(KR<B>("edslope", &B::EdSlope));
    t.push_back(KR<B>("edtth", &B::EdTth));
    t.push_back(KI<B>("pwdmethod", &B::PwdMethod));
    t.push_back(KI<B>("hklf5", &B::Hklf5));
    t.push_back(KT<B>("incspectfile", &B::IncSpectFile));
    t.push_back(KT<B>("insparfile", &B::InsParFile));
    t.push_back(KRs<B>("cellesd", &B::CellEsd, 6));
    t.push_back(KRs<B>("commcellesd", &B::CommCellEsd, 6));
    t.push_back(KI<B>("imponlysat", &B::ImpOnlySat));
    t.push_back(KR<B>("alphagmono", &B::AlphaGMono));
    t.push_back(KR<B>("betagmono", &B::BetaGMono));
    t.push_back(KIL<B>("run", &B::RunFrames, kMaxRuns));
    t.push_back(KI<B>("framegr", &B::FrameGr));
    t.push_back(KR<B>("cutminave", &B::CutMinAve));
    t.push_back(KR<B>("cutmaxave", &B::CutMaxAve));
    t.push_back(KI<B>("nrefmaxave", &B::NRefMaxAve));
    t.push_back(KI<B>("spheven", &B::SphEven));
    t.push_back(KI<B>("sphodd", &B::SphOdd));
    t.push_back(KRL<B>("scfrlist", &B::ScFrList, 1000000));
    t.push_back(KRL<B>("sphlist", &B::SphList, 100000));
    t.push_back(KT<B>("pgave", &B::PgAve));
    t.push_back(KR<B>("flimcullave", &B::FLimCullAve));
    t.push_back(KI<B>("xddircos", &B::XdDirCos));
    t.push_back(KI<B>("useexpcorr", &B::UseExpCorr));
    t.push_back(KR<B>("magfield", &B::MagField));
    t.push_back(KI<B>("magpol", &B::MagPol));
    t.push_back(KR<B>("magpolplus", &B::MagPolPlus));
    t.push_back(KR<B>("magpolminus", &B::MagPolMinus));
    t.push_back(KI<B>("scfrmethod", &B::ScFrMethod));
    t.push_back(KR<B>("delmi", &B::DelMi));
    return t;
  }();
  return t;
}

// M90 header keywords in writing order ("datblock" and "end" apart).
const std::vector<HKey<M90Block>>& M90Table() {
  using B = M90Block;
  static const std::vector<HKey<B>> t = [] {
    std::vector<HKey<B>> t;
    t.push_back(KR<B>("lambda", &B::Lambda));
    t.push_back(KI<B>("radtype", &B::RadType));
    t.push_back(KI<B>("lpfactor", &B::LpFactor));
    t.push_back(KI<B>("nalpha", &B::NAlpha));
    t.push_back(KR<B>("monangle", &B::MonAngle));
    t.push_back(KR<B>("kalpha1", &B::KAlpha1));
    t.push_back(KR<B>("kalpha2", &B::KAlpha2));
    t.push_back(KR<B>("kalphar", &B::KAlphaR));
    t.push_back(KR<B>("datcolltemp", &B::DatCollTemp));
    t.push_back(KI<B>("dattype", &B::DatType));
    t.push_back(KI<B>("nref", &B::NRef, true));
    t.push_back(KR<B>("flimprint", &B::FLimPrint));
    t.push_back(KR<B>("flimcull", &B::FLimCull));
    t.push_back(KI<B>("indslowest", &B::IndSlowest));
    t.push_back(KI<B>("indfastest", &B::IndFastest));
    t.push_back(KI<B>("dataave", &B::DataAve));
    t.push_back(KI<B>("addcentrsymm", &B::AddCentrSymm));
    t.push_back(KI<B>("sigimethod", &B::SigIMethod));
    t.push_back(KI<B>("multave", &B::MultAve));
    t.push_back(KR<B>("obslim", &B::ObsLim));
    t.push_back(KR<B>("scalelim", &B::ScaleLim));
    t.push_back(KI<B>("diffscales", &B::DiffScales));
    t.push_back(KIL<B>("scnoscheme", &B::ScNoScheme, 10000));
    t.push_back(KI<B>("norefitems", &B::NoRefItems));
    t.push_back(KR<B>("perfmono", &B::PerfMono));
    AddTof(t);
    t.push_back(KR<B>("edoffset", &B::EdOffset));
    t.push_back(KR<B>("edslope", &B::EdSlope));
    t.push_back(KR<B>("edtth", &B::EdTth));
    t.push_back(KI<B>("pwdmethod", &B::PwdMethod));
    t.push_back(KI<B>("hklf5", &B::Hklf5));
    t.push_back(KI<B>("useincspect", &B::UseIncSpect));
    auto ef = KI<B>("eformat91", &B::EFormat91);
    ef.Lo = 0;
    ef.Hi = 1;
    t.push_back(ef);
    t.push_back(KR<B>("alphagmono", &B::AlphaGMono));
    t.push_back(KR<B>("betagmono", &B::BetaGMono));
    t.push_back(KI<B>("avesigwt", &B::AveSigWt));
    t.push_back(KI<B>("xddircos", &B::XdDirCos));
    t.push_back(KR<B>("magfield", &B::MagField));
    t.push_back(KI<B>("magpol", &B::MagPol));
    t.push_back(KR<B>("magpolplus", &B::MagPolPlus));
    t.push_back(KR<B>("magpolminus", &B::MagPolMinus));
    t.push_back(KR<B>("sctom90", &B::ScToM90));
    t.push_back(KR<B>("instab", &B::InstabU));
    return t;
  }();
  return t;
}

bool ParseInt(std::string_view w, int lo, int hi, int& v) {
  auto x = ToInt(w);
  if (!x || *x < lo || *x > hi) return false;
  v = static_cast<int>(*x);
  return true;
}

bool ParseReal(std::string_view w, double& v) {
  auto x = ToReal(w);
  if (!x) return false;
  v = *x;
  return true;
}

// Applies one header record to b. Returns false when a value does not convert
// (b unchanged); sets too_many when values beyond the kept count were dropped.
template <class B>
bool ApplyRecord(const HKey<B>& k, std::string_view rest, const std::vector<std::string>& words,
                 B& b, bool& too_many) {
  too_many = false;
  switch (k.Kind) {
    case HKind::Int: {
      int v;
      if (words.size() != 1 || !ParseInt(words[0], k.Lo, k.Hi, v)) return false;
      b.*k.I = v;
      return true;
    }
    case HKind::Real: {
      double v;
      if (words.size() != 1 || !ParseReal(words[0], v)) return false;
      b.*k.R = v;
      return true;
    }
    case HKind::Text:
      b.*k.T = std::string(rest);
      return true;
    case HKind::Ints: {
      if (words.size() != static_cast<size_t>(k.N)) return false;
      std::vector<int> v(k.N);
      for (int i = 0; i < k.N; ++i)
        if (!ParseInt(words[i], INT_MIN, INT_MAX, v[i])) return false;
      b.*k.VI = std::move(v);
      return true;
    }
    case HKind::Reals: {
      if (words.size() != static_cast<size_t>(k.N)) return false;
      std::vector<double> v(k.N);
      for (int i = 0; i < k.N; ++i)
        if (!ParseReal(words[i], v[i])) return false;
      b.*k.VR = std::move(v);
      return true;
    }
    case HKind::RealGroup: {
      if (words.size() != static_cast<size_t>(k.N)) return false;
      std::vector<double> v(k.N);
      for (int i = 0; i < k.N; ++i)
        if (!ParseReal(words[i], v[i])) return false;
      auto& dst = b.*k.VR;
      if (dst.size() + v.size() > static_cast<size_t>(k.Max)) {
        too_many = true;
        return true;
      }
      dst.insert(dst.end(), v.begin(), v.end());
      return true;
    }
    case HKind::IntList: {
      if (words.empty()) return false;
      std::vector<int> v(words.size());
      for (size_t i = 0; i < words.size(); ++i)
        if (!ParseInt(words[i], INT_MIN, INT_MAX, v[i])) return false;
      auto& dst = b.*k.VI;
      for (int x : v) {
        if (dst.size() >= static_cast<size_t>(k.Max)) {
          too_many = true;
          break;
        }
        dst.push_back(x);
      }
      return true;
    }
    case HKind::RealList: {
      if (words.empty()) return false;
      std::vector<double> v(words.size());
      for (size_t i = 0; i < words.size(); ++i)
        if (!ParseReal(words[i], v[i])) return false;
      auto& dst = b.*k.VR;
      for (double x : v) {
        if (dst.size() >= static_cast<size_t>(k.Max)) {
          too_many = true;
          break;
        }
        dst.push_back(x);
      }
      return true;
    }
  }
  return false;
}

// First blank-separated word of a line and the trimmed rest after it.
void SplitFirst(std::string_view line, std::string_view& first, std::string_view& rest) {
  line = Trim(line);
  size_t i = 0;
  while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  first = line.substr(0, i);
  rest = Trim(line.substr(i));
}

// Reads the header up to "end" into blocks. block_key opens a new block.
template <class B>
int ReadHeader(ReflIn& in, const std::vector<HKey<B>>& table, std::string_view block_key,
               std::vector<B>& blocks) {
  std::string_view line;
  while (in.NextLine(line)) {
    std::string_view first, rest;
    SplitFirst(line, first, rest);
    if (first.empty()) continue;
    if (EqIgnoreCase(first, "end")) return 0;
    if (EqIgnoreCase(first, "data"))
      return ReflError(in.Path(), in.LineNo(),
                       fmt::format(fmt::runtime(ReflMsgText[MsgDataInHeader]), line), line);
    if (EqIgnoreCase(first, block_key)) {
      blocks.emplace_back();
      blocks.back().Name = std::string(rest);
      continue;
    }
    const HKey<B>* key = nullptr;
    for (const auto& k : table)
      if (EqIgnoreCase(first, k.Name)) {
        key = &k;
        break;
      }
    if (!key) {
      ReflNote(in.Path(), in.LineNo(),
               fmt::format(fmt::runtime(ReflMsgText[NoteUnknownKey]), line));
      continue;
    }
    if (blocks.empty()) blocks.emplace_back();
    bool too_many = false;
    if (!ApplyRecord(*key, rest, SplitWords(rest), blocks.back(), too_many))
      ReflNote(in.Path(), in.LineNo(),
               fmt::format(fmt::runtime(ReflMsgText[NoteBadValue]), key->Name, line));
    else if (too_many)
      ReflNote(in.Path(), in.LineNo(),
               fmt::format(fmt::runtime(ReflMsgText[NoteTooMany]), key->Name));
  }
  return ReflError(in.Path(), in.LineNo(), std::string(ReflMsgText[MsgNoHeaderEnd]));
}

// Shortest text that reads back to the same double.
std::string RealText(double v) {
  return fmt::format("{}", v);
}

void PutKey(std::string& out, std::string_view key, std::string_view values) {
  fmt::format_to(std::back_inserter(out), "{:<{}} {}\n", key, kKeyField, values);
}

template <class B>
int AppendBlockHeader(std::string& out, const std::vector<HKey<B>>& table, const B& b,
                      const std::string& file) {
  static const B dflt{};
  for (const auto& k : table) {
    switch (k.Kind) {
      case HKind::Int:
        if (k.Always || b.*k.I != dflt.*k.I) PutKey(out, k.Name, fmt::format("{}", b.*k.I));
        break;
      case HKind::Real:
        // Compare bit patterns through ==, except that -0 and 0 are both "0".
        if (k.Always || b.*k.R != dflt.*k.R || std::signbit(b.*k.R) != std::signbit(dflt.*k.R))
          PutKey(out, k.Name, RealText(b.*k.R));
        break;
      case HKind::Text: {
        const std::string& s = b.*k.T;
        if (s.find_first_of("\r\n") != std::string::npos)
          return ReflError(file, kNoLine,
                           fmt::format(fmt::runtime(ReflMsgText[MsgBadText]), k.Name));
        if (!Trim(s).empty()) PutKey(out, k.Name, Trim(s));
        break;
      }
      case HKind::Ints: {
        const auto& v = b.*k.VI;
        if (v != dflt.*k.VI && v.size() == static_cast<size_t>(k.N))
          PutKey(out, k.Name, fmt::format("{}", fmt::join(v, " ")));
        break;
      }
      case HKind::Reals: {
        const auto& v = b.*k.VR;
        if (v.size() != static_cast<size_t>(k.N)) break;
        bool same = true;
        for (size_t i = 0; i < v.size(); ++i)
          if (v[i] != (dflt.*k.VR)[i] || std::signbit(v[i]) != std::signbit((dflt.*k.VR)[i]))
            same = false;
        if (same) break;
        std::string s;
        for (size_t i = 0; i < v.size(); ++i) s += (i ? " " : "") + RealText(v[i]);
        PutKey(out, k.Name, s);
        break;
      }
      case HKind::RealGroup: {
        const auto& v = b.*k.VR;
        const size_t n = std::min(v.size(), static_cast<size_t>(k.Max));
        for (size_t i = 0; i + k.N <= n; i += k.N) {
          std::string s;
          for (int j = 0; j < k.N; ++j) s += (j ? " " : "") + RealText(v[i + j]);
          PutKey(out, k.Name, s);
        }
        break;
      }
      case HKind::IntList:
      case HKind::RealList: {
        const size_t total = k.Kind == HKind::IntList ? (b.*k.VI).size() : (b.*k.VR).size();
        const size_t n = std::min(total, static_cast<size_t>(k.Max));
        for (size_t i = 0; i < n; i += kListPerLine) {
          std::string s;
          for (size_t j = i; j < std::min(n, i + kListPerLine); ++j) {
            if (j > i) s += ' ';
            s +=
                k.Kind == HKind::IntList ? fmt::format("{}", (b.*k.VI)[j]) : RealText((b.*k.VR)[j]);
          }
          PutKey(out, k.Name, s);
        }
        break;
      }
    }
  }
  return 0;
}

template <class B>
int HeaderText(const std::vector<HKey<B>>& table, std::string_view block_key,
               const std::vector<B>& blocks, const std::string& file, std::string& out) {
  out.clear();
  for (const auto& b : blocks) {
    if (b.Name.find_first_of("\r\n") != std::string::npos)
      return ReflError(file, kNoLine,
                       fmt::format(fmt::runtime(ReflMsgText[MsgBadText]), block_key));
    std::string_view name = Trim(b.Name);
    if (name.empty())
      out += fmt::format("{}\n", block_key);
    else
      PutKey(out, block_key, name);
    if (AppendBlockHeader(out, table, b, file)) return 1;
  }
  out += "end\n";
  return 0;
}

// Largest superspace dimension of the phases (3 without basic data).
int BasicNDim() {
  int n = 3;
  for (const auto& p : Struct.Basic.Phase) n = std::max(n, p.NDim);
  return std::min(n, kReflMaxNDim);
}

// Writes header text and then the reflection part of the existing file (from
// its first "data" line) through a temporary file.
int RewriteHeader(const std::string& file, const std::string& header) {
  ReflOut out;
  if (out.Open(file)) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotWrite]));
  out.Put(header);
  ReflIn in;
  if (in.Open(file) == 0) {
    std::string_view line;
    bool in_data = false;
    while (in.NextLine(line)) {
      if (!in_data) {
        std::string_view first, rest;
        SplitFirst(line, first, rest);
        in_data = EqIgnoreCase(first, "data");
      }
      if (in_data) {
        out.Put(line);
        out.Put("\n");
      }
    }
  }
  if (out.Commit()) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotWrite]));
  return 0;
}

}  // namespace

std::string M95HeaderText(const std::vector<M95Block>& blocks) {
  std::string s;
  if (HeaderText(M95Table(), "refblock", blocks, "M95", s)) return {};
  return s;
}

std::string M90HeaderText(const std::vector<M90Block>& blocks) {
  std::string s;
  if (HeaderText(M90Table(), "datblock", blocks, "M90", s)) return {};
  return s;
}

int ReadM95Header(ReflIn& in, std::vector<M95Block>& blocks) {
  return ReadHeader(in, M95Table(), "refblock", blocks);
}

int ReadM90Header(ReflIn& in, std::vector<M90Block>& blocks) {
  if (ReadHeader(in, M90Table(), "datblock", blocks)) return 1;
  for (auto& b : blocks) b.NDim = BasicNDim();
  return 0;
}

int M95HeaderTextChecked(const std::vector<M95Block>& blocks, const std::string& file,
                         std::string& out) {
  return HeaderText(M95Table(), "refblock", blocks, file, out);
}

int M90HeaderTextChecked(const std::vector<M90Block>& blocks, const std::string& file,
                         std::string& out) {
  return HeaderText(M90Table(), "datblock", blocks, file, out);
}

namespace {

// iom95 and iom90 over the block list of their file kind.
template <class B, class ReadHeader, class HeaderText, class SetBasic>
int IoHeader(int mode, const std::string& file, std::vector<B>& mem, ReadHeader readHeader,
             HeaderText headerText, SetBasic setBasic) {
  Struct.Refl.Notes.clear();
  if (mode == kIoWrite) {
    std::string h;
    if (headerText(mem, file, h)) return 1;
    return RewriteHeader(file, h);
  }
  ReflIn in;
  std::vector<B> blocks;
  if (in.Open(file)) {
    if (std::filesystem::exists(file))
      return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotOpen]));
    blocks.emplace_back();
    setBasic(blocks.back());
  } else if (readHeader(in, blocks)) {
    return 1;
  }
  mem.swap(blocks);
  return 0;
}

}  // namespace

int iom95(int mode, const std::string& file) {
  return IoHeader(mode, file, Struct.Refl.M95, ReadM95Header, M95HeaderTextChecked, SetBasicM95);
}

int iom90(int mode, const std::string& file) {
  return IoHeader(mode, file, Struct.Refl.M90, ReadM90Header, M90HeaderTextChecked, SetBasicM90);
}

void SetBasicM95(M95Block& b) {
  b = M95Block{};
}

void SetBasicM90(M90Block& b) {
  b = M90Block{};
  b.NDim = BasicNDim();
}

void CompleteM95(M95Block& b, int kdatblock) {
  const DatBlockBasic* db = nullptr;
  if (kdatblock >= 1 && kdatblock <= static_cast<int>(Struct.Basic.DatBlock.size()))
    db = &Struct.Basic.DatBlock[kdatblock - 1];
  if (b.Lambda == kUnsetReal && db && db->Lambda > 0.) b.Lambda = db->Lambda;
  if (b.RadType <= 0) b.RadType = db ? db->Radiation : 1;
  if (b.KAlpha1 == kUnsetReal && b.Lambda != kUnsetReal) b.KAlpha1 = b.Lambda;
  if (b.KAlpha2 == kUnsetReal && b.Lambda != kUnsetReal) b.KAlpha2 = b.Lambda;
  const int kp = Sess.KPhase;
  if (b.Cell.size() == 6 && b.Cell[0] == kUnsetReal && kp >= 1 &&
      kp <= static_cast<int>(Struct.Basic.Phase.size()))
    b.Cell.assign(Struct.Basic.Phase[kp - 1].Cell, Struct.Basic.Phase[kp - 1].Cell + 6);
  // Modulation vectors of the current phase, when the block gives none.
  if (b.QVec.empty() && kp >= 1 && kp <= static_cast<int>(Struct.Basic.Phase.size()))
    for (const auto& q : Struct.Basic.Phase[kp - 1].Qi)
      b.QVec.insert(b.QVec.end(), q.begin(), q.end());
}

void CompleteM90(M90Block& b, int kdatblock) {
  b.NDim = BasicNDim();
  if (kdatblock >= 1 && kdatblock <= static_cast<int>(Struct.Basic.DatBlock.size())) {
    const auto& db = Struct.Basic.DatBlock[kdatblock - 1];
    if (b.Lambda == kUnsetReal && db.Lambda > 0.) b.Lambda = db.Lambda;
    if (Trim(b.Name).empty()) b.Name = db.Name;
  }
  if (b.KAlpha1 == kUnsetReal && b.Lambda != kUnsetReal) b.KAlpha1 = b.Lambda;
  if (b.KAlpha2 == kUnsetReal && b.Lambda != kUnsetReal) b.KAlpha2 = b.Lambda;
}

void SetBasicM90FromM95(M90Block& b90, const M95Block& b95) {
  SetBasicM90(b90);
  b90.NDim = b95.NDim95;
  b90.Lambda = b95.Lambda;
  if (b95.RadType > 0) b90.RadType = b95.RadType;
  if (b95.Polarization > 0) b90.LpFactor = b95.Polarization;
  b90.NAlpha = b95.NAlpha;
  b90.MonAngle = b95.MonAngle;
  b90.KAlpha1 = b95.KAlpha1;
  b90.KAlpha2 = b95.KAlpha2;
  b90.KAlphaR = b95.KAlphaR;
  b90.DatCollTemp = b95.DatCollTemp;
  b90.PerfMono = b95.PerfMono;
  b90.DatType = b95.PwdMethod > 0 ? 2 : 1;
  b90.PwdMethod = b95.PwdMethod;
  b90.Hklf5 = b95.Hklf5;
  b90.UseIncSpect = b95.IncSpectFile.empty() ? 0 : 1;
  b90.AlphaGMono = b95.AlphaGMono;
  b90.BetaGMono = b95.BetaGMono;
  b90.XdDirCos = b95.XdDirCos;
  b90.MagField = b95.MagField;
  b90.MagPol = b95.MagPol;
  b90.MagPolPlus = b95.MagPolPlus;
  b90.MagPolMinus = b95.MagPolMinus;
  b90.EdOffset = b95.EdOffset;
  b90.EdSlope = b95.EdSlope;
  b90.EdTth = b95.EdTth;
  b90.TofTth = b95.TofTth;
  b90.TofJason = b95.TofJason;
  b90.TofDifc = b95.TofDifc;
  b90.TofDifb = b95.TofDifb;
  b90.TofDifa = b95.TofDifa;
  b90.TofZero = b95.TofZero;
  b90.TofCt = b95.TofCt;
  b90.TofAt = b95.TofAt;
  b90.TofZeroT = b95.TofZeroT;
  b90.TofCe = b95.TofCe;
  b90.TofZeroE = b95.TofZeroE;
  b90.TofWCross = b95.TofWCross;
  b90.TofTCross = b95.TofTCross;
  b90.TofSigQ = b95.TofSigQ;
  b90.TofSig2 = b95.TofSig2;
  b90.TofSig1 = b95.TofSig1;
  b90.TofSig0 = b95.TofSig0;
  b90.TofGam2 = b95.TofGam2;
  b90.TofGam1 = b95.TofGam1;
  b90.TofGam0 = b95.TofGam0;
  b90.TofAlfa0 = b95.TofAlfa0;
  b90.TofAlfa1 = b95.TofAlfa1;
  b90.TofBeta0 = b95.TofBeta0;
  b90.TofBeta1 = b95.TofBeta1;
  b90.TofBetaQ = b95.TofBetaQ;
  b90.TofAlfa0T = b95.TofAlfa0T;
  b90.TofAlfa1T = b95.TofAlfa1T;
  b90.TofBeta0T = b95.TofBeta0T;
  b90.TofBeta1T = b95.TofBeta1T;
  b90.TofAlfa0E = b95.TofAlfa0E;
  b90.TofAlfa1E = b95.TofAlfa1E;
  b90.TofBeta0E = b95.TofBeta0E;
  b90.TofBeta1E = b95.TofBeta1E;
}

int NastavM90(int k) {
  if (k < 1) return 1;
  while (static_cast<int>(Struct.Refl.M90.size()) < k) {
    Struct.Refl.M90.emplace_back();
    SetBasicM90(Struct.Refl.M90.back());
    CompleteM90(Struct.Refl.M90.back(), static_cast<int>(Struct.Refl.M90.size()));
  }
  Struct.Refl.M90[k - 1].NDim = BasicNDim();
  return 0;
}

}  // namespace tarn
