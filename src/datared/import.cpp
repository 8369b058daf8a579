// Import of one reflection data set into M95 and loading of M95 into the
// reflection arrays.
#include "datared/import.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "datared/import_msg.hpp"
#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Tolerance for an index transformed by a real matrix to count as integral.
constexpr double kTrIntTol = 1e-4;

// The current phase's basic data; nullptr when there is none.
const PhaseBasic* CurrentPhase() {
  if (Sess.KPhase >= 1 && Sess.KPhase <= static_cast<int>(Struct.Basic.Phase.size()))
    return &Struct.Basic.Phase[Sess.KPhase - 1];
  return nullptr;
}

}  // namespace

int EM9ReadFormat(int code, const std::string& file, const ImpOptions& opt, ImpData& d,
                  ErrorRecord& err) {
  const ImpFormatEntry* entry = ImpFormatOfCode(code);
  if (!entry || !entry->Readable()) return ImpFail(err, file, std::string(impmsg::NotSupported));
  ImpRequest req;
  req.Format = entry;
  req.File = file;
  req.Opt = opt;
  // The structure's dimension is the preferred reading of a SHELX-style file.
  if (const PhaseBasic* ph = CurrentPhase()) req.PreferNDim = ph->NDim;
  ImpData out;
  if (entry->Records(req, out, err)) return 1;
  if (entry->Header && entry->Header(req, out, err)) return 1;
  d = std::move(out);
  return 0;
}

int DRReadRefTrIntInd(const std::vector<double>& tr, int ndim, const int* h, int* hout) {
  if (static_cast<int>(tr.size()) != ndim * ndim) {
    std::copy(h, h + ndim, hout);
    return 0;
  }
  for (int i = 0; i < ndim; ++i) {
    double s = 0.;
    for (int j = 0; j < ndim; ++j) s += tr[ndim * i + j] * h[j];
    const double r = std::round(s);
    if (std::abs(s - r) > kTrIntTol || std::abs(r) > kImpMaxIndex) return 1;
    hout[i] = static_cast<int>(r);
  }
  return 0;
}

void DRSetBlockFromData(int code, const ImpData& d, const ImpOptions& opt, M95Block& b) {
  SetBasicM95(b);
  b.SourceFile = d.File;
  b.DifCode = code;
  b.NDim95 = d.NDim;
  b.Lambda = d.Lambda;
  b.RadType = 1;
  // Integrated intensities of every supported format carry the Lorentz and
  // polarisation corrections; absorption only where the program applies it.
  b.CorrLp = 1;
  b.CorrAbs = (code == ImpShelxINoAbs || code == ImpXds || d.NoAbsCorr) ? 0 : 1;
  if (d.Cell.size() == 6) b.Cell = d.Cell;
  if (d.HasOrMat) b.OrMat.assign(d.OrMat, d.OrMat + 9);
  b.Hklf5 = d.Hklf5 || d.TwinDomains ? 1 : 0;
  b.TwRead = d.Hklf5 || d.TwinDomains ? 1 : 0;
  b.XdDirCos = !d.Refl.empty() && d.Refl.front().HasDirCos ? 1 : 0;
  b.TrMat = opt.TrMat;
  b.Correspond = opt.DatBlock;
  // Real indices were transformed before their resolution.
  if (opt.RealIndices) {
    b.TrMat.clear();
    b.QVec = opt.QVec;
    b.MMax = opt.MMax;
  }
  // Modulation vectors of the file itself (satellites given as main + vector).
  if (!d.QVec.empty()) {
    b.QVec = d.QVec;
    b.MMax.assign(d.QVec.size() / 3, 1);
  }
  if (static_cast<int>(b.TrMat.size()) != b.NDim95 * b.NDim95) b.TrMat.clear();
}

namespace {

// Record no (1-based) of the block from input reflection x.
int DRReadRefOne(const ImpData& d, const M95Block& b, const ImpRefl& x, int no, M95Refl& r,
                 ErrorRecord& err) {
  r = M95Refl{};
  r.No = no;
  if (DRReadRefTrIntInd(b.TrMat, b.NDim95, x.H, r.H))
    return ImpReadError(err, d.File, x.Line, "expected indices that transform into integers");
  if (d.OnF) {
    r.I = x.I * std::abs(x.I);  // keeps the sign of a negative F
    r.SigI = 2. * std::abs(x.I) * x.SigI + x.SigI * x.SigI;
  } else {
    r.I = x.I;
    r.SigI = x.SigI;
  }
  if (d.Hklf5) {
    r.ITw = x.Batch;  // signed: negative components precede their reflection's last
  } else if (x.Batch > 0) {
    r.ISc = x.Batch;
  }
  if (x.Domain != 0) r.ITw = x.Domain;
  if (x.HasDirCos) std::copy(x.DirCos, x.DirCos + 6, r.DirCos);
  r.FrameInRun = x.Frame;
  return 0;
}

// Existing blocks of m95 (none when the file is absent) with the new block
// appended; the new block's records come from d, converted one by one while
// the file is written.
int AppendM95From(const std::string& m95, const M95Block& b, const ImpData& d, ErrorRecord& err) {
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> old;
  if (std::filesystem::exists(m95) && ReadM95File(m95, blocks, old))
    return ImpFail(err, m95, Struct.Refl.LastError.Text());
  blocks.push_back(b);
  std::vector<size_t> counts(blocks.size());
  for (size_t k = 0; k < old.size(); ++k) counts[k] = old[k].size();
  counts.back() = d.Refl.size();
  bool bad_record = false;
  const size_t nold = old.size();
  const int rc = WriteM95FileFrom(m95, blocks, counts, [&](size_t k, size_t i, M95Refl& r) {
    if (k < nold) {
      r = old[k][i];
      return 0;
    }
    bad_record = DRReadRefOne(d, b, d.Refl[i], static_cast<int>(i) + 1, r, err) != 0;
    return bad_record ? 1 : 0;
  });
  if (rc != 0) {
    if (bad_record) return 1;  // err holds the conversion's message
    return ImpFail(err, m95, fmt::format(fmt::runtime(impmsg::WriteFailed), m95));
  }
  for (size_t k = 0; k < blocks.size(); ++k) blocks[k].NRef = static_cast<int>(counts[k]);
  Struct.Refl.M95.swap(blocks);
  return 0;
}

}  // namespace

int DRReadRef(const ImpData& d, const M95Block& b, std::vector<M95Refl>& out, ErrorRecord& err) {
  std::vector<M95Refl> res(d.Refl.size());
  for (size_t i = 0; i < d.Refl.size(); ++i)
    if (DRReadRefOne(d, b, d.Refl[i], static_cast<int>(i) + 1, res[i], err)) return 1;
  out.swap(res);
  return 0;
}

int EM9AppendM95(const std::string& m95, const M95Block& b, std::vector<M95Refl> refl,
                 ErrorRecord& err) {
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> all;
  if (std::filesystem::exists(m95) && ReadM95File(m95, blocks, all))
    return ImpFail(err, m95, Struct.Refl.LastError.Text());
  blocks.push_back(b);
  all.push_back(std::move(refl));
  if (WriteM95File(m95, blocks, all))
    return ImpFail(err, m95, fmt::format(fmt::runtime(impmsg::WriteFailed), m95));
  for (size_t k = 0; k < blocks.size(); ++k) blocks[k].NRef = static_cast<int>(all[k].size());
  Struct.Refl.M95.swap(blocks);
  return 0;
}

int EM9CompleteM95(const std::string& m95, ErrorRecord& err) {
  if (iom95(kIoRead, m95)) return ImpFail(err, m95, Struct.Refl.LastError.Text());
  for (size_t k = 0; k < Struct.Refl.M95.size(); ++k)
    CompleteM95(Struct.Refl.M95[k], static_cast<int>(k) + 1);
  if (iom95(kIoWrite, m95)) return ImpFail(err, m95, Struct.Refl.LastError.Text());
  return 0;
}

std::string ImpCellWarning(const std::string& file, const std::vector<double>& cell) {
  const PhaseBasic* ph = CurrentPhase();
  if (!ph || cell.size() != 6) return {};
  // The default cell of basic data never read stands for "unknown".
  static constexpr double kUnknown[6] = {1, 1, 1, 90, 90, 90};
  if (std::equal(ph->Cell, ph->Cell + 6, kUnknown)) return {};
  bool differs = false;
  for (int i = 0; i < 3; ++i)
    differs = differs || std::abs(cell[i] - ph->Cell[i]) > kImpCellTolLength * ph->Cell[i] ||
              std::abs(cell[i + 3] - ph->Cell[i + 3]) > kImpCellTolAngle;
  if (!differs) return {};
  auto text = [](const double* c) {
    return fmt::format("{:.4f} {:.4f} {:.4f} {:.3f} {:.3f} {:.3f}", c[0], c[1], c[2], c[3], c[4],
                       c[5]);
  };
  return fmt::format(fmt::runtime(impmsg::CellDiffers), file, text(cell.data()), text(ph->Cell));
}

int EM9ImportFile(int code, const std::string& file, const ImpOptions& opt, const std::string& m95,
                  ImpReport& rep, ErrorRecord& err) {
  ImpData d;
  if (EM9ReadFormat(code, file, opt, d, err)) return 1;
  M95Block b;
  DRSetBlockFromData(code, d, opt, b);
  // The block is completed from the basic data before it is written, so that
  // a failure of the completion cannot leave a half-finished M95.
  CompleteM95(b, opt.DatBlock > 0 ? opt.DatBlock : static_cast<int>(Struct.Refl.M95.size()) + 1);
  // The records go from the input list straight into the file: a record that
  // does not convert abandons the temporary file and M95 stays as it was.
  if (AppendM95From(m95, b, d, err)) return 1;
  rep = ImpReport{};
  rep.NRef = Struct.Refl.M95.back().NRef;
  rep.Block = static_cast<int>(Struct.Refl.M95.size());
  rep.Notes = std::move(d.Notes);
  if (std::string w = ImpCellWarning(file, d.Cell); !w.empty()) rep.Warnings.push_back(w);
  return 0;
}

int EM9ImportByLabel(std::string_view label, const std::string& file, const ImpOptions& opt,
                     const std::string& m95, ImpReport& rep, ErrorRecord& err) {
  const ImpFormatEntry* entry = ImpFormatOfLabel(label);
  if (!entry) {
    std::string msg = fmt::format(fmt::runtime(impmsg::UnknownLabel), Trim(label));
    for (const std::string& l : ImpReadableLabels()) msg += "\n  " + l;
    ImpFail(err, file, msg);
    err.What = std::string(Trim(label));
    return 1;
  }
  if (!entry->Readable()) return ImpFail(err, file, std::string(impmsg::NotSupported));
  if (!FeFileExists(file))
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::CannotOpen), file));
  return EM9ImportFile(entry->Code, file, opt, m95, rep, err);
}

namespace {

// The columns of one M95 block that the reflection arrays take.
struct BlockColumns {
  int NDim = 3;
  std::vector<int> H;  // NDim indices per record
  std::vector<double> I, SigI;
  std::vector<int> Flag, Run, Tw;
  size_t Size() const { return I.size(); }
  int Index(size_t r, int i) const { return i < NDim ? H[r * NDim + i] : 0; }
};

}  // namespace

int DRSetRefArrays(const std::string& m95, ErrorRecord& err) {
  // Records are read one by one into the columns needed (not whole records).
  std::vector<M95Block> blocks;
  std::vector<BlockColumns> all;
  if (ReadM95FileTo(m95, blocks, [&](size_t k, const M95Block& b, const M95Refl& r) {
        if (k >= all.size()) all.resize(k + 1);
        BlockColumns& c = all[k];
        c.NDim = b.NDim95;
        c.H.insert(c.H.end(), r.H, r.H + b.NDim95);
        c.I.push_back(r.I);
        c.SigI.push_back(r.SigI);
        c.Flag.push_back(r.IFlag);
        c.Run.push_back(r.Run);
        c.Tw.push_back(r.ITw);
        return 0;
      }))
    return ImpFail(err, m95, Struct.Refl.LastError.Text());
  all.resize(blocks.size());
  int ndim = 3;
  size_t n = 0;
  for (size_t k = 0; k < blocks.size(); ++k) {
    ndim = std::max(ndim, blocks[k].NDim95);
    n += all[k].Size();
  }
  IndPackSpec pack;
  pack.N = ndim;
  int lo[kReflMaxNDim], hi[kReflMaxNDim];
  std::fill(lo, lo + kReflMaxNDim, 0);
  std::fill(hi, hi + kReflMaxNDim, 0);
  for (const BlockColumns& c : all)
    for (size_t r = 0; r < c.Size(); ++r)
      for (int i = 0; i < ndim; ++i) {
        lo[i] = std::min(lo[i], c.Index(r, i));
        hi[i] = std::max(hi[i], c.Index(r, i));
      }
  for (int i = 0; i < ndim; ++i) {
    pack.Offset[i] = -lo[i];
    pack.Range[i] = hi[i] - lo[i] + 1;
  }
  // Reciprocal metric of the current phase for theta: sin(th)/lambda = |h*|/2.
  const PhaseBasic* ph = CurrentPhase();
  const bool metric = ph && ph->MetTensI[0] > 0.;
  ReallocRefArrays(static_cast<int>(n));
  Struct.Refl.NRef = static_cast<int>(n);
  Struct.Refl.Pack = pack;
  size_t m = 0;
  for (size_t k = 0; k < blocks.size(); ++k) {
    const double lambda = blocks[k].Lambda;
    const BlockColumns& c = all[k];
    for (size_t r = 0; r < c.Size(); ++r) {
      int hr[kReflMaxNDim] = {};
      for (int i = 0; i < ndim; ++i) hr[i] = c.Index(r, i);
      Struct.Refl.HCondAr[m] = IndPack(hr, pack);
      Struct.Refl.RIAr[m] = c.I[r];
      Struct.Refl.RSAr[m] = c.SigI[r];
      Struct.Refl.ICullAr[m] = c.Flag[r];
      Struct.Refl.RunCCDAr[m] = c.Run[r];
      Struct.Refl.RefBlockAr[m] = static_cast<int>(k) + 1;
      Struct.Refl.TwAr[m] = c.Tw[r];
      double th = 0.;
      if (metric && lambda > 0.) {
        // Satellites: h* = h + sum m_i q_i (q in reciprocal-lattice units).
        double h[3] = {double(hr[0]), double(hr[1]), double(hr[2])};
        for (int i = 3; i < blocks[k].NDim95 && i - 3 < static_cast<int>(ph->Qi.size()); ++i)
          for (int j = 0; j < 3; ++j) h[j] += hr[i] * ph->Qi[i - 3][j];
        double s2 = 0.;
        for (int a = 0; a < 3; ++a)
          for (int q = 0; q < 3; ++q) s2 += h[a] * ph->MetTensI[3 * a + q] * h[q];
        const double x = lambda * std::sqrt(std::max(s2, 0.)) / 2.;
        th = x >= 1. ? 90. : std::asin(x) * 180. / M_PI;
      }
      Struct.Refl.ThetaArr[m] = th;
      ++m;
    }
  }
  return 0;
}

}  // namespace tarn
