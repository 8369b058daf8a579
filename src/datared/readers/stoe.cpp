// Stoe IPDS reflection files: SHELX HKLF 4 or 5 by the file's extension.
#include "datared/readers/stoe.hpp"

#include <filesystem>

#include "datared/readers/shelx.hpp"
#include "util/strings.hpp"

namespace tarn {

int DRBasicIPStoe(const std::string& file, int ndim, int prefer_ndim, ImpData& d,
                  ErrorRecord& err) {
  const bool hklf5 = EqIgnoreCase(std::filesystem::path(file).extension().string(), ".hklf5");
  return ReadShelxHkl(file, hklf5 ? 5 : 4, ndim, prefer_ndim, d, err);
}

int ImpReadStoe(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  return DRBasicIPStoe(req.File, req.Opt.NDim, req.PreferNDim, d, err);
}

}  // namespace tarn
