#include "app/toolkit_term.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <ostream>

#include "model/session.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// "&Open\tCtrl+O" -> "Open".
std::string Plain(std::string_view label) {
  std::string r;
  for (char c : label) {
    if (c == '\t') break;
    if (c != '&') r += c;
  }
  return r;
}

std::string Quote(const std::string& s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

constexpr const char* kHelp =
    "Type an action code (e.g. 51202), \"menu CODE\" (e.g. menu 40033), \"dialog CODE\",\n"
    "a label path such as \"Refinement/Run refinement\" or \"Structure/Open\",\n"
    "\"show\" to show the main window again, or \"quit\".";

// SIGINT presses while a progress window is open. The handler only counts;
// the third press restores the default action and re-raises the signal so
// that a run that no longer polls can still be stopped.
volatile std::sig_atomic_t interrupts = 0;
constexpr int kInterruptsToKill = 3;
struct sigaction savedAction {};

extern "C" void OnInterrupt(int sig) {
  interrupts = interrupts + 1;
  if (interrupts >= kInterruptsToKill) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

}  // namespace

FeTerminalToolkit::FeTerminalToolkit(std::istream& in, std::ostream& out, bool pager)
    : in_(in), out_(out), pager_(pager) {}

bool FeTerminalToolkit::ReadLine(std::string& line) {
  out_.flush();
  if (!std::getline(in_, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void FeTerminalToolkit::PrintView() {
  const FeMainView& v = view_;
  out_ << "==== " << v.Title << " ====\n";
  out_ << "Structure: " << (v.Structure.empty() ? "none" : v.Structure) << "\n";
  if (v.Phases.size() > 1 && v.KPhase >= 1 && v.KPhase <= static_cast<int>(v.Phases.size()))
    out_ << "Phase: " << v.Phases[v.KPhase - 1] << "\n";
  if (v.DataBlocks.size() > 1 && v.KDatBlock >= 1 &&
      v.KDatBlock <= static_cast<int>(v.DataBlocks.size()))
    out_ << "Data block: " << v.DataBlocks[v.KDatBlock - 1] << "\n";
  out_ << "Actions:\n";
  for (const auto& it : v.Tree) {
    if (!it.Visible) continue;
    std::string code = it.Code != 0 ? fmt::format("{:5d}", it.Code) : std::string(5, ' ');
    std::string indent = it.Level == 0 ? "  " : "      ";
    out_ << indent << code << "  " << it.Label
         << (it.Code != 0 && !it.Enabled ? "  (disabled)" : "") << "\n";
  }
  out_ << "Menu:\n";
  std::string menu;
  for (const auto& m : v.Menu) {
    if (m.Menu != menu) {
      menu = m.Menu;
      out_ << "  " << Plain(menu) << "\n";
    }
    out_ << "    menu " << m.Code << "  " << Plain(m.Label) << (m.Checked ? "  [x]" : "")
         << (m.Enabled ? "" : "  (disabled)") << "\n";
  }
  for (const auto& s : v.Status) out_ << "[" << s << "] ";
  out_ << "\n" << kHelp << "\n";
}

void FeTerminalToolkit::ShowMain(const FeMainView& view) {
  view_ = view;
  // The whole window is printed at start and when another structure has
  // been opened; after an action only the prompt follows its summary, so
  // that the result stays on the screen ("show" prints the window again).
  const std::string key = view.Title + "|" + view.Structure;
  if (key != shownKey_) {
    shownKey_ = key;
    PrintView();
  }
  out_ << "> ";
}

FeEvent FeTerminalToolkit::ParseLine(const std::string& raw) const {
  std::string line(Trim(raw));
  if (line.empty()) return {EventIgnore, 0, 0, 0};
  if (EqIgnoreCase(line, "quit") || EqIgnoreCase(line, "exit")) return {EventClose, 0, 0, 0};
  auto words = SplitWords(line);
  if (words.size() == 2 && (EqIgnoreCase(words[0], "menu") || EqIgnoreCase(words[0], "dialog"))) {
    auto n = ToInt(words[1]);
    int kind = EqIgnoreCase(words[0], "menu") ? EventMenu : EventToolDlg;
    return {kind, n ? static_cast<int>(*n) : 0, 0, 0};
  }
  if (auto n = ToInt(line)) return {EventButton, static_cast<int>(*n), 0, 0};
  std::string want = Plain(line);
  std::string head;
  for (const auto& it : view_.Tree) {
    if (it.Level == 0) head = it.Label;
    std::string path = it.Level == 0 ? it.Label : head + "/" + it.Label;
    if (it.Code != 0 && EqIgnoreCase(Plain(path), want)) return {EventButton, it.Code, 0, 0};
  }
  for (const auto& m : view_.Menu)
    if (EqIgnoreCase(Plain(m.Menu) + "/" + Plain(m.Label), want)) return {EventMenu, m.Code, 0, 0};
  // Not an item: the dispatcher says so.
  return {EventButton, 0, 0, 0};
}

FeEvent FeTerminalToolkit::NextEvent() {
  std::string line;
  for (;;) {
    if (!ReadLine(line)) {
      out_ << "\n";
      return {EventClose, 0, 0, 0};
    }
    auto t = Trim(line);
    if (EqIgnoreCase(t, "show")) {
      PrintView();
      out_ << "> ";
      continue;
    }
    if (EqIgnoreCase(t, "help")) {
      out_ << kHelp << "\n> ";
      continue;
    }
    return ParseLine(line);
  }
}

void FeTerminalToolkit::Message(FeMsgKind kind, const std::string& header,
                                const std::vector<std::string>& lines) {
  ClearBar();
  const char* tag = kind == FeMsgKind::Warning ? "Warning: "
                    : kind == FeMsgKind::Error ? "Error: "
                                               : "";
  out_ << tag << header << "\n";
  for (const auto& l : lines) out_ << "  " << l << "\n";
  out_.flush();
}

bool FeTerminalToolkit::YesNo(const std::string& header, const std::vector<std::string>& lines,
                              bool dflt) {
  for (const auto& l : lines) out_ << "  " << l << "\n";
  out_ << header << (dflt ? " [Y/n] " : " [y/N] ");
  std::string line;
  if (Sess.BatchMode) {
    // Nothing is read in batch mode: the default answer is taken.
    out_ << (dflt ? "y" : "n") << "\n";
    return dflt;
  }
  for (;;) {
    if (!ReadLine(line)) {
      out_ << (dflt ? "y" : "n") << "\n";
      return dflt;
    }
    auto t = Trim(line);
    if (t.empty()) return dflt;
    if (EqIgnoreCase(t, "y") || EqIgnoreCase(t, "yes")) return true;
    if (EqIgnoreCase(t, "n") || EqIgnoreCase(t, "no")) return false;
    out_ << "Please answer y or n: ";
  }
}

FeAnswer FeTerminalToolkit::YesNoAll(const std::string& question) {
  out_ << question << " [y/N/a] ";
  std::string line;
  if (Sess.BatchMode) {
    out_ << "n\n";
    return FeAnswer::No;
  }
  for (;;) {
    if (!ReadLine(line)) {
      out_ << "n\n";
      return FeAnswer::No;
    }
    auto t = Trim(line);
    if (t.empty() || EqIgnoreCase(t, "n") || EqIgnoreCase(t, "no")) return FeAnswer::No;
    if (EqIgnoreCase(t, "y") || EqIgnoreCase(t, "yes")) return FeAnswer::Yes;
    if (EqIgnoreCase(t, "a") || EqIgnoreCase(t, "all")) return FeAnswer::All;
    out_ << "Please answer y, n or a: ";
  }
}

std::optional<std::string> FeTerminalToolkit::ChooseFile(const std::string& prompt,
                                                         const std::string& hint,
                                                         const std::string& filter) {
  if (!hint.empty()) out_ << hint << "\n";
  if (!filter.empty() && filter != "*") out_ << "(files " << filter << "; empty line cancels)\n";
  // The answer must not run into the prompt ("Open : " has its own separator).
  out_ << prompt;
  if (!prompt.empty() && prompt.back() != ' ') out_ << (prompt.back() == ':' ? " " : " : ");
  std::string line;
  if (Sess.BatchMode || !ReadLine(line)) {
    out_ << "\n";
    return std::nullopt;
  }
  auto t = Trim(line);
  if (t.empty()) return std::nullopt;
  // A relative path means what it meant in the terminal the user typed it
  // in: it is taken from the directory the program was started in, not from
  // the structure's directory the program has changed to since.
  std::string path(t);
  if (path[0] != '/' && !Sess.StartDir.empty()) path = WithSlash(Sess.StartDir) + path;
  return path;
}

std::optional<int> FeTerminalToolkit::ChooseFromList(const std::string& header,
                                                     const std::vector<std::string>& items) {
  out_ << header << "\n";
  for (size_t k = 0; k < items.size(); ++k) out_ << fmt::format("{:4d}  {}\n", k + 1, items[k]);
  std::string line;
  if (Sess.BatchMode) return std::nullopt;
  for (;;) {
    out_ << "Number (empty line cancels): ";
    if (!ReadLine(line)) {
      out_ << "\n";
      return std::nullopt;
    }
    auto t = Trim(line);
    if (t.empty()) return std::nullopt;
    auto n = ToInt(t);
    if (n && *n >= 1 && *n <= static_cast<long long>(items.size())) return static_cast<int>(*n - 1);
  }
}

bool FeTerminalToolkit::EditForm(const std::string& header, std::vector<FeFormField>& fields) {
  out_ << header << "  (empty line keeps a value, \".\" clears it)\n";
  std::vector<FeFormField> edited = fields;
  std::string line;
  if (Sess.BatchMode) return false;
  for (auto& f : edited) {
    out_ << f.Label << " [" << f.Value << "]: ";
    if (!ReadLine(line)) {
      out_ << "\n";
      return false;
    }
    auto t = Trim(line);
    if (t == ".")
      f.Value.clear();
    else if (!t.empty())
      f.Value = std::string(t);
  }
  fields = std::move(edited);
  return true;
}

void FeTerminalToolkit::ShowListingFile(const std::string& path) {
  const char* pager = std::getenv("PAGER");
  if (pager_ && pager != nullptr && !Trim(pager).empty()) {
    out_.flush();
    if (std::system((std::string(pager) + " " + Quote(path)).c_str()) == 0) return;
  }
  std::ifstream in(path);
  if (!in) {
    out_ << "The file \"" << path << "\" cannot be read.\n";
    return;
  }
  out_ << "---- " << path << " ----\n";
  std::string line;
  while (std::getline(in, line)) out_ << line << "\n";
  out_ << "---- end of " << path << " ----\n";
}

void FeTerminalToolkit::ClearBar() {
  if (!barShown_) return;
  out_ << "\r\033[K";
  barShown_ = false;
}

void FeTerminalToolkit::ProgressFraction(double done) {
  if (!barOn_ || progressDepth_ == 0) return;
  const double t =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - progressStart_).count();
  if (t < barDelay_) return;
  constexpr int kWidth = 30;
  const double f = std::clamp(done, 0., 1.);
  const int n = static_cast<int>(f * kWidth + 0.5);
  out_ << fmt::format("\r[{}{}] {:3.0f}%  {:.1f} s", std::string(static_cast<size_t>(n), '#'),
                      std::string(static_cast<size_t>(kWidth - n), '.'), 100. * f, t);
  out_.flush();
  barShown_ = true;
}

void FeTerminalToolkit::ListingLine(const std::string& line) {
  ClearBar();
  out_ << line << "\n";
  out_.flush();
}

void FeTerminalToolkit::ProgressBegin(const std::string& title) {
  if (progressDepth_++ > 0) return;
  progressStart_ = std::chrono::steady_clock::now();
  // Without a title the run only shows its bar and cannot be interrupted
  // between cycles: Ctrl-C keeps its usual meaning.
  sigintCaught_ = !title.empty();
  if (!sigintCaught_) return;
  interrupts = 0;
  interruptsSeen_ = 0;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, &savedAction);
  out_ << title << " (Ctrl-C: end after this cycle; twice: cancel)\n";
  out_.flush();
}

void FeTerminalToolkit::ProgressEnd() {
  if (progressDepth_ == 0 || --progressDepth_ > 0) return;
  ClearBar();
  if (!sigintCaught_) return;
  sigintCaught_ = false;
  sigaction(SIGINT, &savedAction, nullptr);
  interrupts = 0;
  interruptsSeen_ = 0;
}

FeEvent FeTerminalToolkit::PollEvent() {
  if (progressDepth_ == 0) return FeEvent{};
  const int n = interrupts;
  if (n <= interruptsSeen_) return FeEvent{};
  interruptsSeen_ = n;
  // SubKind 1: the key press is the confirmation, no question is read.
  if (n == 1) {
    out_ << "\nCtrl-C: the run ends after this cycle (Ctrl-C again cancels it).\n";
    out_.flush();
    return FeEvent{EventButton, ProgressEndCycle, 1, 0};
  }
  out_ << "\nCtrl-C: the run is cancelled.\n";
  out_.flush();
  return FeEvent{EventButton, ProgressCancel, 1, 0};
}

}  // namespace tarn
