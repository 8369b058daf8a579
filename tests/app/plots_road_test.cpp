// The plots of the SH2185_Cu road: merge, intensity statistics, refinement
// and Fourier section, each an SVG and a PNG of 1200 x 800 pixels beside the
// listings and named in the run summary; one PNG is decoded and must show
// more than its background.
#include <nlohmann/json.hpp>
#include <zlib.h>

#include "road.hpp"
#include "util/files.hpp"

namespace tarn::test {
namespace {

unsigned Be32(const std::string& s, size_t p) {
  unsigned v = 0;
  for (size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<unsigned char>(s[p + k]);
  return v;
}

// The pixels of an 8-bit PNG (grey, RGB, palette or RGBA), one string of
// bytes per pixel, row after row; empty when the file cannot be read.
std::vector<std::string> PngPixels(const std::string& png, unsigned& w, unsigned& h) {
  w = Be32(png, 16), h = Be32(png, 20);
  const int depth = png[24], type = png[25];
  const size_t bpp = type == 2 ? 3 : type == 6 ? 4 : type == 4 ? 2 : 1;
  if (depth != 8) return {};
  std::string idat;
  for (size_t p = 8; p + 12 <= png.size();) {
    const unsigned len = Be32(png, p);
    if (png.compare(p + 4, 4, "IDAT") == 0) idat += png.substr(p + 8, len);
    p += 12 + len;
  }
  const size_t stride = w * bpp;
  std::string raw((stride + 1) * h, '\0');
  uLongf n = raw.size();
  if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &n,
                 reinterpret_cast<const Bytef*>(idat.data()), idat.size()) != Z_OK)
    return {};
  // Undo the row filters (None, Sub, Up, Average, Paeth).
  std::vector<unsigned char> cur(stride), prev(stride, 0);
  std::vector<std::string> px;
  for (unsigned y = 0; y < h; ++y) {
    const unsigned char f = static_cast<unsigned char>(raw[y * (stride + 1)]);
    for (size_t x = 0; x < stride; ++x) {
      const int a = x >= bpp ? cur[x - bpp] : 0, b = prev[x], c = x >= bpp ? prev[x - bpp] : 0;
      int pr = a;
      if (f == 2) pr = b;
      if (f == 3) pr = (a + b) / 2;
      if (f == 4) {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        pr = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      if (f == 0) pr = 0;
      cur[x] = static_cast<unsigned char>(static_cast<unsigned char>(raw[y * (stride + 1) + 1 + x]) + pr);
    }
    for (unsigned x = 0; x < w; ++x) px.emplace_back(reinterpret_cast<const char*>(&cur[x * bpp]), bpp);
    prev = cur;
  }
  return px;
}

class PlotsRoad : public Sh2185Test {};

TEST_F(PlotsRoad, EveryToolWritesItsPlotsAsSvgAndPng) {
  if (GetPathTo("gnuplot").empty()) GTEST_SKIP() << "gnuplot is not installed: no plot to check";
  WriteEmbedded(1);
  ASSERT_EQ(Dir.Batch(kShelxRoad +
                      ".File->Reflection file->Run statistic test - Wilson plot\n"
                      ".Edit->Commands\nfourier\n  maptype 6\nend fourier\n"
                      ".run->refine\n.run->fourier\n.end\n"),
            0)
      << Dir.Output;
  const auto summary = nlohmann::json::parse(Dir.Read("job.json"));
  const auto& listed = summary["structures"][0]["plots"];
  for (const char* plot : {"merge", "wilson", "nz", "fofc", "npp", "map"}) {
    SCOPED_TRACE(plot);
    const std::string base = std::string("s_") + plot;
    EXPECT_NE(Dir.Read(base + ".svg").find("viewBox=\"0 0 1200 800\""), std::string::npos);
    const std::string png = Dir.Read(base + ".png");
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(Be32(png, 16), 1200u);
    EXPECT_EQ(Be32(png, 20), 800u);
    for (const char* ext : {".svg", ".png"})
      EXPECT_NE(std::find(listed.begin(), listed.end(), (Dir / (base + ext)).string()), listed.end());
  }
  // The refinement's Fo^2/Fc^2 plot: thousands of points, lines and text
  // differ from the background colour of the corner.
  unsigned w = 0, h = 0;
  const auto px = PngPixels(Dir.Read("s_fofc.png"), w, h);
  ASSERT_EQ(px.size(), size_t{1200} * 800);
  const long drawn = std::count_if(px.begin(), px.end(), [&](const std::string& p) { return p != px[0]; });
  EXPECT_GT(drawn, 5000) << "the plot is blank";
}

}  // namespace
}  // namespace tarn::test
