// The distance tool in batch on a published model: SH2185_Cu (P212121),
// imported from the .res embedded in its CIF, every non-H bond of the CIF's
// _geom_bond loop reproduced within one unit of its last published digit;
// imported from the CIF itself (coordinates with s.u.), our uncertainties
// from independent coordinate and cell s.u. set beside the published ones;
// after a refinement of 0 cycles, from the refinement's covariance matrix
// (bonds and angles).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "road.hpp"
#include "util/cif_syntax.hpp"

namespace tarn::test {
namespace {

struct Esd {
  double Value = 0., Su = 0., Unit = 0.;  // Unit: one in the last digit
};

Esd ParseEsd(const std::string& t) {
  Esd e;
  const size_t p = t.find('(');
  const std::string v = t.substr(0, p);
  e.Value = std::stod(v);
  const size_t dot = v.find('.');
  const int dec = dot == std::string::npos ? 0 : static_cast<int>(v.size() - dot - 1);
  e.Unit = std::pow(10., -dec);
  if (p != std::string::npos) e.Su = std::stod(t.substr(p + 1)) * e.Unit;
  return e;
}

// Bonds of the listing: "A B" -> value(su), for the coordination of every atom.
std::map<std::string, Esd> ListingBonds(const std::string& dis) {
  std::map<std::string, Esd> out;
  std::istringstream in(dis);
  std::string line, central;
  while (std::getline(in, line)) {
    if (line.rfind("Coordination of atom ", 0) == 0) {
      central = line.substr(21);
    } else if (line.empty()) {
      central.clear();
    } else if (!central.empty() && line.rfind("  ", 0) == 0) {
      std::istringstream w(line);
      std::string name, value;
      w >> name >> value;
      if (value.find('(') != std::string::npos && name != "Atom")
        out.emplace(central + " " + name, ParseEsd(value));
    }
  }
  return out;
}

// Angles of the listing: "B A C" (A the central atom) -> value(su), both orders.
std::map<std::string, Esd> ListingAngles(const std::string& dis) {
  std::map<std::string, Esd> out;
  std::istringstream in(dis);
  std::string line;
  bool angles = false;
  while (std::getline(in, line)) {
    if (line.empty() || line.rfind("Coordination of atom ", 0) == 0) {
      angles = false;
    } else if (line == "  Angles") {
      angles = true;
    } else if (angles) {
      std::istringstream w(line);
      std::string b, a, c, value;
      if (w >> b >> a >> c >> value && value.find('(') != std::string::npos) {
        out.emplace(b + " " + a + " " + c, ParseEsd(value));
        out.emplace(c + " " + a + " " + b, ParseEsd(value));
      }
    }
  }
  return out;
}

class DistRoad : public Sh2185Test {
 protected:
  void SetUp() override {
    Sh2185Test::SetUp();
    if (IsSkipped()) return;
    CifFile cif;
    ErrorRecord err;
    ASSERT_EQ(CifParse(Published, "published", cif, err), 0) << err.Text();
    const CifLoop* bonds = nullptr;
    for (const auto& b : cif.Blocks)
      if (!bonds) bonds = b.FindLoop("_geom_bond_atom_site_label_1");
    ASSERT_NE(bonds, nullptr);
    for (const auto& row : bonds->Rows) {
      std::vector<std::string> r;
      for (const auto& v : row) r.push_back(v.Text);
      if (r.size() >= 4 && r[0][0] != 'H' && r[1][0] != 'H' && r[3] == ".") published_.push_back(r);
    }
    ASSERT_GE(published_.size(), 30u);
    for (const auto& b : cif.Blocks)
      if (const CifLoop* at = b.FindLoop("_atom_site_label")) {
        const int l = at->Column("_atom_site_label"), g = at->Column("_atom_site_disorder_group");
        for (const auto& row : at->Rows)
          if (g >= 0 && row[static_cast<size_t>(g)].Text != ".")
            disordered_.insert(row[static_cast<size_t>(l)].Text);
      }
  }
  // Runs ".import-><kind>" of the file and ".run->dist"; returns our bonds.
  std::map<std::string, Esd> RunDist(const std::string& kind, const std::string& file,
                                     const std::string& text) {
    Dir.Write(file, text);
    EXPECT_EQ(Dir.Batch(".import->" + kind + "\n" + file + "\n.run->dist\n.end\n"), 0)
        << Dir.Output;
    return ListingBonds(Dir.Read(fs::path(file).stem().string() + ".dis"));
  }
  const Esd* Find(const std::map<std::string, Esd>& ours, const std::vector<std::string>& r) {
    for (const auto& key : {r[0] + " " + r[1], r[1] + " " + r[0]})
      if (auto it = ours.find(key); it != ours.end()) return &it->second;
    return nullptr;
  }
  std::vector<std::vector<std::string>> published_;
  std::set<std::string> disordered_;  // atoms of a disorder group
};

TEST_F(DistRoad, Sh2185CuBondsOfThePublishedModel) {
  const auto ours = RunDist("SHELX", "s.res", ShelxEmbeddedFile(Published, "_shelx_res_file"));
  int same = 0;
  for (const auto& r : published_) {
    const Esd pub = ParseEsd(r[2]);
    const Esd* o = Find(ours, r);
    ASSERT_NE(o, nullptr) << r[0] << "-" << r[1] << " is not listed";
    EXPECT_NEAR(o->Value, pub.Value, pub.Unit * 1.0001) << r[0] << "-" << r[1];
    same += std::fabs(o->Value - pub.Value) <= pub.Unit * 1.0001;
  }
  RecordProperty("bonds", static_cast<int>(published_.size()));
  RecordProperty("reproduced", same);
}

TEST_F(DistRoad, Sh2185CuUncertaintiesFromTheCifCoordinates) {
  const auto ours = RunDist("CIF", "s.cif", Published);
  // Independent coordinate s.u. against the full matrix of the refinement:
  // the same order of magnitude for every bond.
  for (const auto& r : published_) {
    const Esd pub = ParseEsd(r[2]);
    const Esd* o = Find(ours, r);
    ASSERT_NE(o, nullptr) << r[0] << "-" << r[1] << " is not listed";
    // Our value is rounded to our own uncertainty's last digit.
    EXPECT_NEAR(o->Value, pub.Value, std::max(pub.Unit, o->Unit) * 1.0001) << r[0] << "-" << r[1];
    if (std::getenv("TARN_DIST_TABLE"))
      std::printf("%-5s %-5s %-12s %.4f(%.4f)\n", r[0].c_str(), r[1].c_str(), r[2].c_str(),
                  o->Value, o->Su);
    EXPECT_GT(o->Su, 0.5 * pub.Su) << r[0] << "-" << r[1] << " " << r[2];
    EXPECT_LT(o->Su, 2.0 * pub.Su) << r[0] << "-" << r[1] << " " << r[2];
  }
}

// 0 cycles on the published model: the refinement leaves the covariance
// matrix of the model as it stands, and the distances take their s.u. from it.
TEST_F(DistRoad, Sh2185CuUncertaintiesFromTheRefinementCovariance) {
  WriteEmbedded(0);
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".Edit->Commands\ndist\nangles 1\nend dist\n" +
                      ".run->refine\n.run->dist\n.end\n"),
            0)
      << Dir.Output;
  const std::string dis = Dir.Read("s.dis");
  EXPECT_NE(dis.find("Uncertainties from the covariance matrix of the refinement"),
            std::string::npos);
  const auto ours = ListingBonds(dis);
  for (const auto& r : published_) {
    const Esd pub = ParseEsd(r[2]);
    const Esd* o = Find(ours, r);
    ASSERT_NE(o, nullptr) << r[0] << "-" << r[1] << " is not listed";
    if (std::getenv("TARN_DIST_TABLE"))
      std::printf("%-5s %-5s %-12s %.4f(%.4f)\n", r[0].c_str(), r[1].c_str(), r[2].c_str(),
                  o->Value, o->Su);
    EXPECT_NEAR(o->Value, pub.Value, std::max(pub.Unit, o->Unit) * 1.0001) << r[0] << "-" << r[1];
    // Both s.u. are rounded to one or two digits: 30 % and one unit of the
    // last. The disordered parts were refined with restraints that narrow
    // their s.u.; the run here has none.
    if (disordered_.count(r[0]) || disordered_.count(r[1])) continue;
    EXPECT_NEAR(o->Su, pub.Su, 0.3 * pub.Su + o->Unit) << r[0] << "-" << r[1] << " " << r[2];
  }
  // Angles between bonds of ordered atoms at their own positions.
  CifFile cif;
  ErrorRecord err;
  ASSERT_EQ(CifParse(Published, "published", cif, err), 0) << err.Text();
  const auto angles = ListingAngles(dis);
  int compared = 0;
  for (const auto& b : cif.Blocks)
    if (const CifLoop* l = b.FindLoop("_geom_angle")) {
      for (const auto& row : l->Rows) {
        std::vector<std::string> v;
        for (const auto& x : row) v.push_back(x.Text);
        if (v.size() < 6 || v[4] != "." || v[5] != ".") continue;
        bool skip = false;
        for (int k = 0; k < 3; ++k) skip = skip || v[k][0] == 'H' || disordered_.count(v[k]);
        if (skip) continue;
        const auto it = angles.find(v[0] + " " + v[1] + " " + v[2]);
        ASSERT_NE(it, angles.end()) << v[0] << "-" << v[1] << "-" << v[2] << " is not listed";
        const Esd pub = ParseEsd(v[3]), &o = it->second;
        const std::string what = v[0] + "-" + v[1] + "-" + v[2] + " " + v[3];
        EXPECT_NEAR(o.Value, pub.Value, std::max(pub.Unit, o.Unit) * 1.0001) << what;
        EXPECT_NEAR(o.Su, pub.Su, 0.3 * pub.Su + o.Unit) << what;
        ++compared;
      }
    }
  EXPECT_GE(compared, 20);
}

}  // namespace
}  // namespace tarn::test
