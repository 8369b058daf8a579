// The peak sections "Fourier maxima" and "Fourier minima" kept with M40.
//
// The M40 reader refuses text after the s.u. block, but it keeps the
// free-text block "commands" ... "end" at the head of the file verbatim and
// its writer writes it back, so the sections live there and survive every
// rewrite of M40 (the refinement's included). A peak is written as an atom
// record of M40 (two lines, the values in F9.6 fields, keys from column 61):
//   atom line:  label (A8), type 0 (no atom type), 1 (isotropic), 0; height,
//               x, y, z; flags 000; wave counts 0, number of wave lines, 0
//   ADP line:   charge, distance (-1: no atoms), four zeros; ten zero keys;
//               from column 72 the nearest atom with its symmetry part
// followed, for a peak of a modulated map, by one position-wave line per
// harmonic: sin x y z, cos x y z, six zero keys. A value that does not fit
// F9.6 (a Patterson height) keeps the field's nine columns with fewer
// decimals. Records of the older free layout
//   label height x y z charge distance [nearest atom]
// (wave lines of six F9.6 fields after them) are still read.
#include "model/m40_peaks.hpp"

#include <fmt/format.h>

#include "model/m40.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr size_t kPeakNameCol = 71;  // 0-based start of the nearest atom on the ADP line

std::string PeakLine(const FouPeak& p) {
  const int nwave = static_cast<int>(p.Wave.size() / 6);
  std::string l = fmt::format("{:<8.8}{:3d}{:3d}{:3d} ", p.Label, 0, 1, 0);
  for (double v : {p.Height, p.X[0], p.X[1], p.X[2]}) PutF96(l, v);
  l += fmt::format("      000{:3d}{:3d}{:3d}\n", 0, nwave, 0);
  for (double v : {p.Charge, p.Dist, 0., 0., 0., 0.}) PutF96(l, v);
  l += "      0000000000";
  if (!p.Atom.empty()) l += " " + p.Atom;
  for (int w = 0; w < nwave; ++w) {
    l += "\n";
    for (size_t i = 0; i < 6; ++i) PutF96(l, p.Wave[6 * static_cast<size_t>(w) + i]);
    l += "      000000";
  }
  return l;
}

// n reals in F9.6 fields from column 1.
bool F96Fields(std::string_view l, int n, double* v) {
  if (l.size() < 9 * static_cast<size_t>(n)) return false;
  for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
    const auto x = ToReal(Trim(l.substr(9 * i, 9)));
    if (!x) return false;
    v[i] = *x;
  }
  return true;
}

// The atom line of a peak record: label, height, position and the number of
// wave lines; false when the line is not in that layout.
bool PeakAtomLine(std::string_view l, FouPeak& p, int& nwave) {
  if (l.size() < 72) return false;
  for (size_t f = 0; f < 3; ++f)
    if (!ToInt(Trim(l.substr(8 + 3 * f, 3))) && !Trim(l.substr(8 + 3 * f, 3)).empty())
      return false;
  double v[4];
  if (!F96Fields(l.substr(18), 4, v)) return false;
  const auto w = ToInt(Trim(l.substr(66, 3)));
  if (!w || *w < 0) return false;
  p = FouPeak{};
  p.Label = std::string(Trim(l.substr(0, 8)));
  p.Height = v[0];
  p.X = {v[1], v[2], v[3]};
  nwave = static_cast<int>(*w);
  return true;
}

// The ADP line of a peak record: charge, distance and the nearest atom.
bool PeakAdpLine(std::string_view l, FouPeak& p) {
  double v[6];
  if (!F96Fields(l, 6, v)) return false;
  p.Charge = v[0];
  p.Dist = v[1];
  if (l.size() > kPeakNameCol) p.Atom = std::string(Trim(l.substr(kPeakNameCol)));
  return true;
}

// A record of the older layout: label height x y z charge distance [atom].
int ParsePeak(std::string_view line, FouPeak& p) {
  const auto w = SplitWords(line);
  if (w.size() < 7 || w.size() > 8) return 1;
  double v[6];
  for (int k = 0; k < 6; ++k) {
    auto x = ToReal(w[static_cast<size_t>(k + 1)]);
    if (!x) return 1;
    v[k] = *x;
  }
  p = FouPeak{};
  p.Label = w[0];
  p.Height = v[0];
  p.X = {v[1], v[2], v[3]};
  p.Charge = v[4];
  p.Dist = v[5];
  if (w.size() == 8) p.Atom = w[7];
  return 0;
}

// A wave line of the older layout: exactly six F9.6 fields, appended to wave.
bool WaveLine(std::string_view l, std::vector<double>& wave) {
  while (!l.empty() && (l.back() == ' ' || l.back() == '\r')) l.remove_suffix(1);
  if (l.size() != 54) return false;
  double v[6];
  if (!F96Fields(l, 6, v)) return false;
  wave.insert(wave.end(), v, v + 6);
  return true;
}

bool IsHeader(std::string_view l, std::string_view h) {
  return EqIgnoreCase(Trim(l), h);
}

}  // namespace

int FouSplitPeaks(const std::vector<std::string>& cmds, FouPeakLists& peaks,
                  std::vector<std::string>& other, int& badLine) {
  peaks = FouPeakLists{};
  other.clear();
  badLine = 0;
  std::vector<FouPeak>* sec = nullptr;
  bool oldWaves = false;  // the last record is of the older layout
  for (size_t k = 0; k < cmds.size(); ++k) {
    const std::string& l = cmds[k];
    FouPeak p;
    int nwave = 0;
    if (IsHeader(l, FouMaxHeader)) {
      sec = &peaks.Max;
    } else if (IsHeader(l, FouMinHeader)) {
      sec = &peaks.Min;
    } else if (!sec) {
      other.push_back(l);
    } else if (PeakAtomLine(l, p, nwave)) {
      bool ok = k + 1 < cmds.size() && PeakAdpLine(cmds[++k], p);
      for (int w = 0; ok && w < nwave; ++w) {
        double v[6];
        ok = k + 1 < cmds.size() && F96Fields(cmds[++k], 6, v);
        if (ok) p.Wave.insert(p.Wave.end(), v, v + 6);
      }
      if (!ok) {
        badLine = static_cast<int>(k) + 1;
        return 1;
      }
      sec->push_back(p);
      oldWaves = false;
    } else if (oldWaves && !sec->empty() && WaveLine(l, sec->back().Wave)) {
    } else {
      if (ParsePeak(l, p)) {
        badLine = static_cast<int>(k) + 1;
        return 1;
      }
      sec->push_back(p);
      oldWaves = true;
    }
  }
  return 0;
}

std::vector<std::string> FouJoinPeaks(const std::vector<std::string>& other,
                                      const FouPeakLists& peaks) {
  std::vector<std::string> out = other;
  if (!peaks.Max.empty()) {
    out.emplace_back(FouMaxHeader);
    for (const auto& p : peaks.Max)
      for (const auto& l : SplitOn(PeakLine(p), "\n")) out.push_back(l);
  }
  if (!peaks.Min.empty()) {
    out.emplace_back(FouMinHeader);
    for (const auto& p : peaks.Min)
      for (const auto& l : SplitOn(PeakLine(p), "\n")) out.push_back(l);
  }
  return out;
}

std::string FouPutPeaksInM40(std::string_view m40, const FouPeakLists& peaks) {
  const auto lines = SplitOn(m40, "\n");
  size_t first = 0;
  while (first < lines.size() && Trim(lines[first]).empty()) ++first;
  std::vector<std::string> cmds;
  size_t rest = 0;  // first line after the commands block
  if (first < lines.size() && EqIgnoreCase(Trim(lines[first]), "commands")) {
    size_t k = first + 1;
    for (; k < lines.size() && !EqIgnoreCase(Trim(lines[k]), "end"); ++k) {
      std::string l = lines[k];
      if (!l.empty() && l.back() == '\r') l.pop_back();
      cmds.push_back(l);
    }
    rest = k + 1;
  }
  FouPeakLists old;
  std::vector<std::string> other;
  int bad = 0;
  if (FouSplitPeaks(cmds, old, other, bad)) {
    // A damaged section is replaced as a whole: drop everything from its header.
    other.clear();
    for (const auto& l : cmds) {
      if (IsHeader(l, FouMaxHeader) || IsHeader(l, FouMinHeader)) break;
      other.push_back(l);
    }
  }
  const auto body = FouJoinPeaks(other, peaks);
  std::string out;
  if (!body.empty()) {
    out += "commands\n";
    for (const auto& l : body) out += l + "\n";
    out += "end\n";
  }
  for (size_t k = rest; k < lines.size(); ++k) {
    out += lines[k];
    if (k + 1 < lines.size()) out += "\n";
  }
  return out;
}

int IOFourPeaks(int mode, const std::string& m40File, FouPeakLists& peaks, Structure* st) {
  std::string text;
  if (FeReadFile(m40File, text)) return 1;
  if (mode == M40Read) {
    AtomModel m;
    if (M40ReadText(text, m40File, m)) return 1;
    std::vector<std::string> other;
    int bad = 0;
    return FouSplitPeaks(m.Commands, peaks, other, bad);
  }
  const std::string out = FouPutPeaksInM40(text, peaks);
  // The new file must read as the same model.
  AtomModel m;
  if (M40ReadText(out, m40File, m)) return 1;
  if (FeWriteFileAtomic(m40File, out)) return 1;
  if (st) {
    st->Model.HasCommands = m.HasCommands;
    st->Model.Commands = m.Commands;
  }
  return 0;
}

}  // namespace tarn
