// A refinement reflection file M90 read as the input of an import.
#include "datared/readers/tarn_m90.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "datared/import_msg.hpp"
#include "model/m95m90.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {
constexpr std::string_view kNoM90Block = "The file \"{}\" has no data block \"{}\".";
constexpr std::string_view kM90Empty =
    "The data block \"{}\" of the file \"{}\" holds no reflections.";
}  // namespace

int DRBasicTarnM90(const std::string& file, const std::string& block, ImpData& d,
                   ErrorRecord& err) {
  std::vector<M90Block> blocks;
  std::vector<std::vector<M90Refl>> refl;
  if (!FeFileExists(file))
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::CannotOpen), file));
  if (ReadM90File(file, blocks, refl)) return ImpFail(err, file, Struct.Refl.LastError.Text());
  size_t k = 0;
  if (!block.empty()) {
    while (k < blocks.size() && !EqIgnoreCase(Trim(blocks[k].Name), Trim(block))) ++k;
    if (k == blocks.size())
      return ImpFail(err, file, fmt::format(fmt::runtime(kNoM90Block), file, block));
  }
  if (blocks.empty() || refl[k].empty())
    return ImpFail(err, file,
                   fmt::format(fmt::runtime(kM90Empty),
                               blocks.empty() ? std::string("Block1") : blocks[k].Name, file));
  const M90Block& b = blocks[k];
  ImpData out;
  out.File = file;
  out.NDim = b.NDim;
  out.Hklf5 = b.Hklf5 != 0;
  if (b.Lambda > 0.) out.Lambda = b.Lambda;
  out.Refl.reserve(refl[k].size());
  for (const M90Refl& r : refl[k]) {
    ImpRefl x;
    std::copy(r.H, r.H + kReflMaxNDim, x.H);
    x.I = r.I;
    x.SigI = r.SigI;
    // Reflections written without a sigma are kept apart from real data by the
    // readers of every other format; an M90 may carry sigma 0 for them.
    if (!(x.SigI > 0.)) continue;
    if (out.Hklf5) x.Batch = r.ITw;
    x.HasDirCos = b.XdDirCos != 0;
    if (x.HasDirCos) std::copy(r.DirCos, r.DirCos + 6, x.DirCos);
    out.Refl.push_back(x);
  }
  if (out.Refl.size() < refl[k].size())
    out.Notes.push_back(fmt::format("{} reflections without a positive sigma were skipped.",
                                    refl[k].size() - out.Refl.size()));
  if (out.Refl.empty())
    return ImpFail(err, file, fmt::format(fmt::runtime(kM90Empty), b.Name, file));
  d = std::move(out);
  return 0;
}

int ImpReadTarnM90(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  return DRBasicTarnM90(req.File, req.Opt.M90Block, d, err);
}

}  // namespace tarn
