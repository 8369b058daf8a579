// Bruker SAINT integration files (.raw) and the Bruker entries of the table.
#include "datared/readers/saint.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "datared/import_msg.hpp"
#include "datared/readers/shelx.hpp"
#include "util/fortran_format.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr std::string_view kTwinOpen =
    "the last record of an overlap must have a positive twin component";

std::string Cols(const FortranField& f) {
  return fmt::format("columns {}-{}", f.Col + 1, f.Col + f.Width);
}

// The fields of a SAINT record that are imported; the others are skipped as
// columns: status and observed x, y (17 columns) before the frame number, the
// 146 columns of predicted position, corrections, angles, counts and keys
// before the twin component.
constexpr std::string_view kSaintTail = "2F8.0,I4,6F8.5,17X,F8.2,146X,I4";

int SaintFields(int nind, std::vector<FortranField>& f) {
  std::string err;
  return ParseFortranFormat(fmt::format("({}I4,{})", nind, kSaintTail), f, err);
}

// True when the first record has a real number in columns 13-20 (I after three
// indices) rather than the integer fields of satellite indices.
bool SaintThreeIndices(std::string_view line) {
  const std::string_view f = line.size() > 12 ? line.substr(12, 8) : std::string_view{};
  return f.find_first_of(".eEdD") != std::string_view::npos;
}

}  // namespace

int ReadSaintRawText(std::string_view text, const std::string& file, int ndim, int prefer_ndim,
                     ImpData& d, ErrorRecord& err) {
  const auto lines = ImpLines(text);
  size_t first = 0;
  while (first < lines.size() && (Trim(lines[first]).empty() || lines[first][0] == '!')) ++first;
  if (first == lines.size())
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  const int nind = SaintThreeIndices(lines[first]) ? 3 : 6;
  if (nind == 3 && ndim > 3)
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NDimMismatch), 3, ndim));
  std::vector<FortranField> all;
  if (SaintFields(nind, all)) return ImpReadError(err, file, 0, "a valid record layout");
  std::vector<FortranField> fields;  // the data fields (I and real), in order
  for (const auto& x : all)
    if (x.Kind != 'X') fields.push_back(x);
  // Data fields: indices, I, sigma, batch, 6 cosines, frame, twin component.
  const int fi = nind, fs = nind + 1, fb = nind + 2, fc = nind + 3, ff = nind + 9, ft = nind + 10;
  const char* names[] = {"I", "sigma(I)", "a batch number"};
  ImpData out;
  out.File = file;
  out.NoAbsCorr = true;
  int lastsat = 0;  // last satellite column that is not zero anywhere (1..3)
  std::vector<double> v;
  for (size_t k = first; k < lines.size(); ++k) {
    const std::string_view line = lines[k];
    const long no = static_cast<long>(k) + 1;
    if (Trim(line).empty() || line[0] == '!') continue;
    int present = 0;
    const int bad = ReadFortranRecord(line, all, v, present);
    if (bad) {
      const int i = bad - 1;
      std::string what;
      if (i < nind)
        what = "an integer index";
      else if (i < fc)
        what = names[i - fi];
      else if (i < ff)
        what = "a direction cosine";
      else if (i == ff)
        what = "the observed frame number";
      else
        what = "an integer twin component";
      return ImpReadError(err, file, no, fmt::format("expected {} in {}", what, Cols(fields[i])));
    }
    if (present <= ff)
      return ImpReadError(err, file, no,
                          fmt::format("expected a record that reaches the observed frame number "
                                      "in {}",
                                      Cols(fields[ff])));
    ImpRefl r;
    r.Line = no;
    for (int i = 0; i < nind; ++i) {
      if (std::abs(v[i]) > kImpMaxIndex)
        return ImpReadError(
            err, file, no,
            fmt::format("expected an index of at most {} in {}", kImpMaxIndex, Cols(fields[i])));
      r.H[i] = static_cast<int>(v[i]);
      if (i >= 3 && r.H[i] != 0) lastsat = std::max(lastsat, i - 2);
    }
    r.I = v[fi];
    r.SigI = v[fs];
    if (!(r.SigI > 0.))
      return ImpReadError(err, file, no,
                          fmt::format("expected sigma(I) > 0 in {}", Cols(fields[fs])));
    r.Batch = static_cast<int>(v[fb]);
    std::copy(v.begin() + fc, v.begin() + ff, r.DirCos);
    r.HasDirCos = true;
    r.Frame = v[ff];
    if (present > ft && v[ft] != 0.) {
      r.Domain = static_cast<int>(v[ft]);
      out.TwinDomains = true;
    }
    out.Refl.push_back(r);
  }
  if (out.Refl.empty())
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  if (out.TwinDomains && out.Refl.back().Domain < 0)
    return ImpReadError(err, file, out.Refl.back().Line, std::string(kTwinOpen));
  // Dimension: three indices, or 3 + the satellite indices in use.
  if (nind == 3) {
    out.NDim = 3;
  } else if (ndim >= 3 && ndim <= 6) {
    out.NDim = ndim;
  } else if (prefer_ndim >= 3 && prefer_ndim <= 6 && lastsat <= prefer_ndim - 3) {
    out.NDim = prefer_ndim;
  } else {
    out.NDim = 3 + std::max(lastsat, 1);
  }
  if (lastsat > out.NDim - 3)
    for (const ImpRefl& r : out.Refl)
      for (int i = out.NDim; i < 6; ++i)
        if (r.H[i] != 0)
          return ImpReadError(err, file, r.Line,
                              fmt::format("expected satellite index {} to be 0 for {} indices "
                                          "in {}",
                                          i - 2, out.NDim, Cols(fields[i])));
  d = std::move(out);
  return 0;
}

int ReadSaintRaw(const std::string& file, int ndim, int prefer_ndim, ImpData& d, ErrorRecord& err) {
  std::string text;
  if (ImpReadText(file, text, err)) return 1;
  return ReadSaintRawText(text, file, ndim, prefer_ndim, d, err);
}

int ImpReadBruker(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  const std::string ext = ToLower(std::filesystem::path(req.File).extension().string());
  const bool raw = ext == ".raw" || ext == ".ram";
  if ((req.Format && req.Format->Code == ImpBrukerCCDRaw) || raw)
    return ReadSaintRaw(req.File, req.Opt.NDim, req.PreferNDim, d, err);
  return ReadShelxHkl(req.File, 4, req.Opt.NDim, req.PreferNDim, d, err);
}

}  // namespace tarn
