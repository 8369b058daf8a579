// The peak sections "Fourier maxima" and "Fourier minima" kept with M40.
//
// The M40 reader refuses text after the s.u. block, but it keeps the
// free-text block "commands" ... "end" at the head of the file verbatim and
// its writer writes it back, so the sections live there and survive every
// rewrite of M40 (the refinement's included). One record per peak:
//   label height x y z charge distance [nearest atom]
// followed, for a peak of a modulated map, by one line per displacement wave
// as the position-wave lines of an atom: sin x y z, cos x y z (F9.6 each).
#include <fmt/format.h>

#include "model/fourpeaks.hpp"
#include "model/m40.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

std::string PeakLine(const FouPeak& p) {
  std::string l = fmt::format("{:<8} {:10.4f} {:9.6f} {:9.6f} {:9.6f} {:9.4f} {:8.3f}", p.Label,
                              p.Height, p.X[0], p.X[1], p.X[2], p.Charge, p.Dist);
  if (!p.Atom.empty()) l += " " + p.Atom;
  for (size_t w = 0; w + 6 <= p.Wave.size(); w += 6) {
    l += "\n";
    for (size_t i = 0; i < 6; ++i) l += fmt::format("{:9.6f}", p.Wave[w + i]);
  }
  return l;
}

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

// A wave line: six reals in F9.6 fields, appended to wave.
bool WaveLine(std::string_view l, std::vector<double>& wave) {
  while (!l.empty() && (l.back() == ' ' || l.back() == '\r')) l.remove_suffix(1);
  if (l.size() != 54) return false;
  double v[6];
  for (size_t i = 0; i < 6; ++i) {
    auto x = ToReal(Trim(l.substr(9 * i, 9)));
    if (!x) return false;
    v[i] = *x;
  }
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
  for (size_t k = 0; k < cmds.size(); ++k) {
    const std::string& l = cmds[k];
    if (IsHeader(l, FouMaxHeader)) {
      sec = &peaks.Max;
    } else if (IsHeader(l, FouMinHeader)) {
      sec = &peaks.Min;
    } else if (sec && !sec->empty() && WaveLine(l, sec->back().Wave)) {
    } else if (sec) {
      FouPeak p;
      if (ParsePeak(l, p)) {
        badLine = static_cast<int>(k) + 1;
        return 1;
      }
      sec->push_back(p);
    } else {
      other.push_back(l);
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
