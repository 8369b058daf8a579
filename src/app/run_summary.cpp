#include "app/run_summary.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "app/startup.hpp"
#include "app/summary.hpp"
#include "app/toolkit.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

using json = nlohmann::ordered_json;

// One structure of the run: what the commands left in the record.
struct StructRecord {
  std::string Name, Path;
  json Commands = json::array();
  json Entry = json::object();  // cell, space group and the tools' results
};

struct RunRecord {
  std::string JsonPath;  // "-json PATH", absolute; empty: beside the batch file
  json Commands = json::array();  // commands run while no structure was open
  std::vector<StructRecord> Structures;
  std::vector<std::string> Notes;  // messages of the command being run
  std::string LastFailure;         // message of the last command that failed
};

RunRecord& Rec() {
  static RunRecord r;
  return r;
}

// A real for JSON: null when it is not a finite number.
json Num(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

// An R value of the refinement (percent, negative when absent) as a fraction.
json RFrac(double pct) {
  return pct >= 0. ? Num(pct / 100.) : json(nullptr);
}

// Path of the open structure without extension.
std::string StructurePath() {
  if (Sess.fln.empty() || Sess.fln[0] == '/') return Sess.fln;
  return WithSlash(Sess.CurrentDir) + Sess.fln;
}

json CellJson(const double* v) {
  json a = json::array();
  for (int k = 0; k < 6; ++k) a.push_back(Num(v[k]));
  return a;
}

// Cell and symmetry of the first phase.
void StructureData(json& e) {
  if (Struct.Basic.Phase.empty()) return;
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  e["cell"] = CellJson(ph.Cell);
  e["cell_su"] = CellJson(ph.CellSU);
  json sg;
  const PhaseSymmetry& ps = ph.Symmetry;
  sg["symbol"] = Trim(ph.SpGroup).empty() ? json(nullptr) : json(std::string(Trim(ph.SpGroup)));
  sg["lattice"] = ph.Lattice;
  json ops = json::array();
  for (int s = 0; s < ps.NSymm && s < ps.MaxSymm(); ++s) {
    std::string t;
    for (const auto& c : ps.Op[static_cast<size_t>(s)].Text) t += (t.empty() ? "" : ",") + c;
    ops.push_back(t);
  }
  sg["operators"] = ops;
  json cent = json::array();
  for (int v = 0; v < ps.NLattVec && v < ps.MaxLattVec(); ++v) {
    json c = json::array();
    for (int i = 0; i < ps.NDim; ++i) c.push_back(Num(ps.VT6[static_cast<size_t>(v)][i]));
    cent.push_back(c);
  }
  sg["centring"] = cent;
  e["space_group"] = sg;
}

json MergeJson(const EM9MergeSummary& s) {
  return {{"block", s.Block},
          {"n_measured", s.NRead},
          {"n_rejected", s.NRejected},
          {"n_absent", s.NExtinct},
          {"n_unique", s.NUnique},
          {"n_obs", s.NObs},
          {"R_int", Num(s.RintMulti)},
          {"R_int_obs", Num(s.RintObs)},
          {"R_int_all", Num(s.RintAll)},
          {"R_exp", Num(s.RexpAll)},
          {"R_exp_obs", Num(s.RexpObs)},
          {"completeness", s.Completeness >= 0. ? Num(s.Completeness) : json(nullptr)},
          {"sin_theta_over_lambda_max", Num(s.SinThLMax)},
          {"conditions", s.Conditions}};
}

json RefineJson(const RefRunSummary& r) {
  json changes = json::array();
  for (const auto& c : r.Changes)
    changes.push_back(
        {{"parameter", c.Label}, {"start", Num(c.Start)}, {"final", Num(c.Value)}, {"su", Num(c.Su)}});
  return {{"cycles", r.CyclesDone},
          {"R_obs", RFrac(r.Obs.R)},
          {"wR2_obs", RFrac(r.Obs.wR2)},
          {"R_all", RFrac(r.All.R)},
          {"wR2_all", RFrac(r.All.wR2)},
          {"GooF", r.Obs.Gof < kRFacGofNone ? Num(r.Obs.Gof) : json(nullptr)},
          {"n_obs", r.Obs.N},
          {"n_all", r.All.N},
          {"n_parameters", r.NPar},
          {"n_restraints", r.NRestraints},
          {"max_shift_su", Num(r.MaxChange)},
          {"blocked", r.Blocked},
          {"serious_warnings", r.Serious},
          {"changes", changes}};
}

json PeakJson(const FouPeak& p) {
  return {{"label", p.Label},
          {"x", {Num(p.X[0]), Num(p.X[1]), Num(p.X[2])}},
          {"height", Num(p.Height)},
          {"nearest_atom", p.Dist >= 0. ? json(p.Atom) : json(nullptr)},
          {"distance", p.Dist >= 0. ? Num(p.Dist) : json(nullptr)}};
}

json FourierJson(const TarnFourierResult& f) {
  json mx = json::array(), mn = json::array();
  for (const auto& p : f.Maxima) mx.push_back(PeakJson(p));
  for (const auto& p : f.Minima) mn.push_back(PeakJson(p));
  return {{"map", f.MapTitle}, {"n_reflections", f.NRefl}, {"max", Num(f.Max)},
          {"min", Num(f.Min)}, {"rms", Num(f.Rms)},        {"maxima", mx},
          {"minima", mn}};
}

json DistJson(const TarnDistResult& d) {
  json sh = json::array();
  for (const auto& c : d.Shortest)
    sh.push_back({{"atoms", {c.Atom1, c.Atom2}}, {"d", Num(c.D)}, {"su", Num(c.Su)}});
  return {{"n_bonds", d.NDistances}, {"shortest", sh}, {"flagged", d.Flagged}};
}

json CifJson(const CifRunResult& c) {
  return {{"files", c.Files}, {"complete", c.Problems.empty()}, {"problems", c.Problems}};
}

// The record of the structure open now; nullptr when none is open.
StructRecord* Current() {
  if (Sess.fln.empty()) return nullptr;
  const std::string path = StructurePath();
  auto& v = Rec().Structures;
  for (auto& s : v)
    if (s.Path == path) return &s;
  std::string dir, name;
  FeSplitPath(path, dir, name);
  v.push_back({name, path, json::array(), json::object()});
  return &v.back();
}

// The toolkit of a batch run with the error messages kept for the record.
class CaptureToolkit final : public FeToolkit {
 public:
  explicit CaptureToolkit(FeToolkit& in) : in_(in) {}
  void ShowMain(const FeMainView& v) override { in_.ShowMain(v); }
  FeEvent NextEvent() override { return in_.NextEvent(); }
  void Message(FeMsgKind kind, const std::string& header,
               const std::vector<std::string>& lines) override {
    if (kind == FeMsgKind::Error) {
      std::string m = header;
      for (const auto& l : lines) m += " " + l;
      Rec().Notes.push_back(m);
    }
    in_.Message(kind, header, lines);
  }
  bool YesNo(const std::string& h, const std::vector<std::string>& l, bool d) override {
    return in_.YesNo(h, l, d);
  }
  FeAnswer YesNoAll(const std::string& q) override { return in_.YesNoAll(q); }
  std::optional<std::string> ChooseFile(const std::string& p, const std::string& h,
                                        const std::string& f) override {
    return in_.ChooseFile(p, h, f);
  }
  std::optional<int> ChooseFromList(const std::string& h,
                                    const std::vector<std::string>& items) override {
    return in_.ChooseFromList(h, items);
  }
  bool EditForm(const std::string& h, std::vector<FeFormField>& f) override {
    return in_.EditForm(h, f);
  }
  void ShowListingFile(const std::string& p) override { in_.ShowListingFile(p); }
  void ListingLine(const std::string& l) override { in_.ListingLine(l); }
  void ProgressBegin(const std::string& t) override { in_.ProgressBegin(t); }
  void ProgressEnd() override { in_.ProgressEnd(); }
  FeEvent PollEvent() override { return in_.PollEvent(); }
  void ProgressFraction(double d) override { in_.ProgressFraction(d); }
  FeToolkit& Inner() { return in_; }

 private:
  FeToolkit& in_;
};

}  // namespace

struct TarnRunSummaryCapture::Impl {
  explicit Impl(FeToolkit& in) : Tk(in) {}
  CaptureToolkit Tk;
};

TarnRunSummaryCapture::TarnRunSummaryCapture() : impl_(std::make_unique<Impl>(Fe())) {
  FeSetToolkit(&impl_->Tk);
}

TarnRunSummaryCapture::~TarnRunSummaryCapture() {
  FeSetToolkit(&impl_->Tk.Inner());
}

void TarnRunSummarySetPath(const std::string& path) {
  Rec().JsonPath = path.empty() ? path : TarnAbsolute(path);
}

std::string TarnRunSummaryPath(const std::string& batch) {
  if (!Rec().JsonPath.empty()) return Rec().JsonPath;
  std::string dir, name;
  FeSplitPath(batch, dir, name);
  return dir + FeStripExt(name) + ".json";
}

void TarnRunSummaryBegin() {
  const std::string path = Rec().JsonPath;
  Rec() = RunRecord{};
  Rec().JsonPath = path;
  TarnClearResults();
}

void TarnRunSummaryNote(const std::string& message) {
  Rec().Notes.push_back(message);
}

void TarnRunSummaryCommand(const std::string& text, bool ok, const std::string& message) {
  RunRecord& r = Rec();
  std::string msg;
  if (!ok) {
    for (const auto& n : r.Notes) msg += (msg.empty() ? "" : " ") + n;
    if (!message.empty()) msg += (msg.empty() ? "" : " ") + message;
  }
  r.Notes.clear();
  if (!ok) r.LastFailure = msg;
  json cmd = {{"text", text}, {"status", ok ? "ok" : "error"}, {"message", msg}};
  StructRecord* s = Current();
  if (s == nullptr) {
    r.Commands.push_back(cmd);
    TarnClearResults();
    return;
  }
  s->Commands.push_back(cmd);
  json& e = s->Entry;
  StructureData(e);
  const TarnResults& res = TarnToolResults();
  if (res.Merge && !res.Merge->empty()) {
    e["merge"] = MergeJson(res.Merge->front());
    json blocks = json::array();
    for (const auto& m : *res.Merge) blocks.push_back(MergeJson(m));
    e["merge_blocks"] = blocks;
  }
  if (res.Refine) e["refine"] = RefineJson(*res.Refine);
  if (res.Fourier) e["fourier"] = FourierJson(*res.Fourier);
  if (res.Dist) e["distances"] = DistJson(*res.Dist);
  if (res.Cif) e["cif"] = CifJson(*res.Cif);
  for (const auto& f : res.Plots) {
    const std::string path = f.empty() || f[0] == '/' ? f : WithSlash(Sess.CurrentDir) + f;
    json& plots = e["plots"];
    if (!plots.is_array()) plots = json::array();
    if (std::find(plots.begin(), plots.end(), path) == plots.end()) plots.push_back(path);
  }
  TarnClearResults();
}

std::string TarnRunSummaryText(int exitStatus, const std::string& failure) {
  const RunRecord& r = Rec();
  json structures = json::array();
  for (const auto& s : r.Structures) {
    json e = {{"name", s.Name}, {"path", s.Path}, {"commands", s.Commands}};
    e.update(s.Entry);
    structures.push_back(e);
  }
  json j = {{"schema_version", TarnRunSummarySchema},
            {"program", Sess.ProgramName},
            {"program_version", Sess.Version},
            {"batch_file", Sess.BatchFile},
            {"exit_status", exitStatus},
            {"message", exitStatus == 0 ? std::string()
                        : r.LastFailure.empty() ? failure
                                                : r.LastFailure},
            {"commands", r.Commands},
            {"structures", structures}};
  // Text from files that is not UTF-8 is written with replacement characters.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

int TarnRunSummaryWrite(const std::string& batch, int exitStatus, const std::string& failure) {
  const std::string path = TarnRunSummaryPath(batch);
  if (FeWriteFileAtomic(path, TarnRunSummaryText(exitStatus, failure)) != 0) {
    FeChybne(fmt::format("The run summary \"{}\" could not be written.", path));
    return 1;
  }
  return 0;
}

}  // namespace tarn
