// Export to SHELX and back: the .ins/.hkl of a structure, imported again
// with ".import->SHELX", give the same atoms and R factors (NaCl and
// SH2185_Cu, the published models without cycles).
#include <cmath>
#include <sstream>

#include "road.hpp"
#include "util/strings.hpp"

namespace tarn::test {
namespace {

// The DELU and RIGU pairs of the refine block of an M50 text, as
// "kind su A B" with A, B in order, sorted.
std::vector<std::string> RigidPairs(const std::string& m50) {
  std::vector<std::string> out;
  std::istringstream in(m50);
  for (std::string line; std::getline(in, line);) {
    const auto w = SplitWords(line);
    if (w.size() < 3 || w[0] != "adpfix" || (w[1] != "delu" && w[1] != "rigu")) continue;
    const std::string rest = line.substr(line.find(w[2]) + w[2].size());
    for (const std::string& item : SplitOn(rest, ";")) {
      auto ab = SplitWords(item);
      if (ab.size() != 2) continue;
      std::sort(ab.begin(), ab.end());
      out.push_back(w[1] + " " + w[2] + " " + ab[0] + " " + ab[1]);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The road on s.res/s.hkl, ".Export->SHELX" to out/x, the road on out/x.
void RoundTrip(ProgramDir& dir, const std::string& res, const std::string& hkl) {
  dir.Write("s.res", WithCycles(res, 0));
  dir.Write("s.hkl", hkl);
  const std::string back =
      ".import->SHELX\nout/x.ins\n.File->Reflection file->Import\nSHELX on I\nout/x.hkl\n"
      ".File->Reflection file->Create refinement reflection file\n.run->refine\n";
  fs::create_directories(dir / "out");
  ASSERT_EQ(dir.Batch(kShelxRoad +
                      ".run->refine\n.Export->SHELX\nout/x\n.Export->SHELX averaged\nout/a\n"
                      ".Export->XD\nout/xd\n" +
                      back + ".end\n"),
            0)
      << dir.Output;
  // The XD file holds the merged reflections of the averaged SHELX file.
  std::istringstream xd(dir.Read("out/xd.hkl")), av(dir.Read("out/a.hkl"));
  std::string head;
  std::getline(xd, head);
  EXPECT_EQ(head, "s F^2 NDAT 7");
  int h[3], g, n = 0;
  double i, si;
  while (xd >> h[0] >> h[1] >> h[2] >> g >> i >> si) {
    // 3I4, 2F8: large values fill their field.
    std::string l;
    ASSERT_TRUE(std::getline(av, l));
    ASSERT_GE(l.size(), 28u);
    const int k[3] = {std::stoi(l.substr(0, 4)), std::stoi(l.substr(4, 4)),
                      std::stoi(l.substr(8, 4))};
    const double j = std::stod(l.substr(12, 8)), sj = std::stod(l.substr(20, 8));
    EXPECT_TRUE(h[0] == k[0] && h[1] == k[1] && h[2] == k[2] && g == 1) << "record " << n;
    EXPECT_NEAR(i, j, 0.0051 + 1e-6 * j) << "record " << n;
    EXPECT_NEAR(si, sj, 0.0051 + 1e-6 * sj) << "record " << n;
    ++n;
  }
  EXPECT_GT(n, 0);
  EXPECT_TRUE(xd.eof());
  EXPECT_EQ(RigidPairs(dir.Read("s.m50")), RigidPairs(dir.Read("out/x.m50")));
  const RFactors a = LastRFactors(dir.Read("s.ref")), b = LastRFactors(dir.Read("out/x.ref"));
  EXPECT_EQ(a.NAll, b.NAll);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(a.R[k], b.R[k], 0.01) << "R factor " << k << ", percent";
  AtomModel ma, mb;
  ASSERT_EQ(M40ReadText(dir.Read("s.m40"), "s.m40", ma), 0);
  ASSERT_EQ(M40ReadText(dir.Read("out/x.m40"), "x.m40", mb), 0);
  ASSERT_EQ(ma.Atom.size(), mb.Atom.size());
  for (const AtomRec& x : ma.Atom) {
    const auto it = std::find_if(mb.Atom.begin(), mb.Atom.end(),
                                 [&](const AtomRec& y) { return y.Name == x.Name; });
    ASSERT_NE(it, mb.Atom.end()) << x.Name;
    EXPECT_EQ(it->Type, x.Type) << x.Name;
    ASSERT_EQ(it->Par.size(), x.Par.size()) << x.Name;
    // Coordinates and occupancy to the printed digits; U to 1e-5 A^2 (beta scaled).
    for (int i = 0; i < x.Par.size(); ++i)
      EXPECT_NEAR(it->Par.Val[i], x.Par.Val[i],
                  i < 4 ? 1e-6 : 2e-5 * (1. + std::fabs(x.Par.Val[i])))
          << x.Name << " value " << i;
  }
}

using ExportShelxNaCl = ProgramTest;

TEST_F(ExportShelxNaCl, RoundTrip) {
  const fs::path d = kNaClDir;
  if (!fs::exists(d / "NaCl.res")) GTEST_SKIP() << "NaCl data absent";
  RoundTrip(Dir, ReadText(d / "NaCl.res"), ReadText(d / "NaCl.hkl"));
}

using ExportShelx = Sh2185Test;

TEST_F(ExportShelx, Sh2185RoundTrip) {
  RoundTrip(Dir, ShelxEmbeddedFile(Published, "_shelx_res_file"),
            ShelxEmbeddedFile(Published, "_shelx_hkl_file"));
  const std::string ins = Dir.Read("out/x.ins");
  for (const char* part :
       {"LATT -1\n", "SYMM 1/2-X,-Y,1/2+Z\n", "SFAC C H N O\n", "AFIX 43\n", "PART 2\n",
        "-21.00000", "HKLF 4\n", "FLAT 0.01 C17A C16 C15 C14 C13 C18A\n",
        "RIGU 0.004 0.004 C18B C13 C14 C17B C16 C15\n",
        "DELU 0.01 0.01 C13 C18B C14 C2AA C18A C17B C0AA C16 C15 C17A C1AA\n",
        "SIMU 0.02 0.02 99 C18B C17B\n", "EADP C18B C18A\n"})
    EXPECT_NE(ins.find(part), std::string::npos) << part << "\n" << ins;
}

}  // namespace
}  // namespace tarn::test
